/*
 * The program that scripts/demo.sh traces and analyses. Built with the
 * library that kelgen writes from example.xml; it has four resource bugs on
 * purpose, one of each kind the analysis reports:
 *
 *   - a block that is never freed (a leak),
 *   - a used block grown with realloc and then never freed,
 *   - a FILE opened and closed without ever being used,
 *   - a block freed twice; the C library aborts the program there, as it
 *     would without KEL, so the trace ends inside that call.
 */
#include "kel.h"

int main(void)
{
	char *names, *buffer, *once;
	FILE *unused;

	kel_start("demo");

	names = malloc(100);

	buffer = malloc(16);
	memset(buffer, 0, 16);
	buffer = realloc(buffer, 4096);

	unused = fopen("demo.txt", "w");
	if (unused != NULL)
		fclose(unused);

	once = malloc(8);
	memset(once, 0, 8);
	free(once);
	free(once);

	(void)names;
	return 0;
}
