/* Keeps notes in a temporary file, copies them to notes.txt through an
 * fdopen stream, and writes a report (report.c). With PLANT_BUGS the report
 * stream is left open (report.c) and a closed stream is asked for its error
 * state (below). */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "report.h"

int main(void)
{
	char line[64];
	FILE *tmp = tmpfile();
	FILE *out;
	int notes = 0;

	if (tmp == NULL)
		return 1;
	fputs("buy milk\n", tmp);
	fputs("call ada\n", tmp);
	fputc('\n', tmp);
	rewind(tmp);

	out = fdopen(open("notes.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644), "w");
	if (out == NULL)
		return 1;
	while (fgets(line, sizeof line, tmp) != NULL) {
		if (line[0] == '\n')
			continue;
		fwrite(line, 1, strlen(line), out);
		notes++;
	}
	fclose(tmp);
	fclose(out);
	if (fopen("missing/notes.txt", "r") != NULL)
		return 1;
	fputs("notes copied\n", stdout);
	if (write_report(notes) != 0)
		return 1;
#ifdef PLANT_BUGS
	ferror(out);
#endif
	return 0;
}
