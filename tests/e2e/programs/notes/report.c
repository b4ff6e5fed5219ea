#include <stdio.h>

#include "report.h"

int write_report(int notes)
{
	FILE *f = fopen("report.txt", "w");

	if (f == NULL)
		return -1;
	fprintf(f, "%d notes\n", notes);
	f = freopen("report.txt", "a", f);
	if (f == NULL)
		return -1;
	fputs("done\n", f);
#ifdef PLANT_BUGS
	if (notes > 0)
		return 0;
#endif
	return fclose(f);
}
