/* Fills a phone book, removes one entry, looks one up, and prints it. With
 * PLANT_BUGS the removed entry's name leaks (book.c) and a freed block is
 * cleared once more (below). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "book.h"

int main(void)
{
	char line[32];
	struct book *b = book_new();
	char *scratch;

	if (b == NULL)
		return 1;
	memset(line, 0, sizeof line);
	book_add(b, "ada", "555-0100");
	book_add(b, "brian", "555-0199");
	book_add(b, "carla", "555-0123");
	book_remove(b, "brian");

	scratch = malloc(16);
	if (scratch == NULL)
		return 1;
	memcpy(scratch, "carla: ", 8);
	snprintf(line, sizeof line, "%s%s", scratch, book_find(b, "carla"));
	puts(line);
	free(scratch);
#ifdef PLANT_BUGS
	memset(scratch, 0, 16);
#endif
	free(NULL);
	book_free(b);
	return 0;
}
