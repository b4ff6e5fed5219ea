/*
 * The program the bundled example traces. Built with the library that kelgen
 * writes from example.xml:
 *
 *   kelgen example.xml kel.h kel.c
 *   gcc -pthread -Wall -Wextra -o example example.c kel.c
 *   ./example            (writes kel_trace.out)
 *
 * Two workers share the heap and stdio under the trace mutex. The program has
 * two resource bugs for the analysis to find: the counters from calloc() are
 * never freed, and the report stream is never closed.
 */
#include "kel.h"

static void *worker(void *arg)
{
	char *line = strdup((const char *)arg);
	char *buffer = malloc(32);

	buffer = realloc(buffer, 64);
	memset(buffer, 0, 64);
	free(buffer);
	free(line);
	return NULL;
}

int main(void)
{
	pthread_t threads[2];
	int *counters;
	char *title;
	FILE *log, *report;
	int i;

	kel_start("example");

	counters = calloc(8, sizeof *counters);
	for (i = 0; i < 2; i++)
		pthread_create(&threads[i], NULL, worker, "worker");
	for (i = 0; i < 2; i++)
		pthread_join(threads[i], NULL);

	title = strdup("KEL example");
	log = fopen("example.log", "w");
	if (log != NULL) {
		fputs(title, log);
		fputs("\n", log);
		fclose(log);
	}
	free(title);

	report = fopen("example.report", "w");
	if (report != NULL)
		fputs("2 workers done\n", report);
	return 0;
}
