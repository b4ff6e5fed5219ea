#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "store.h"
#include "kel.h"

int main(void)
{
	struct store s = {NULL, 0};
	char line[32];
	char *label;
	void *huge;
	FILE *full;
	int failed;

	kel_start("inventory");

	/* A stack buffer, used through a traced function. */
	memset(line, 0, sizeof line);
	/* The inherited standard output, written through a traced function. */
	fputs("inventory\n", stdout);

	/* A failed allocation, and free(NULL) as C allows it. */
	huge = malloc(SIZE_MAX);
	if (huge != NULL)
		return 2;
	free(huge);

	store_add(&s, "bolts");
	store_add(&s, "nuts");
	store_add(&s, "washers");
	label = store_label(&s, 1);
	fputs(label, stdout);
	free(label);
	if (store_save(&s, "inventory.txt") != 0)
		return 3;

	/* A stream on a full device: fputs only fills the buffer, fclose fails. */
	full = fopen("/dev/full", "w");
	if (full == NULL)
		return 4;
	fputs("does not fit\n", full);
	failed = fclose(full) != 0 && errno == ENOSPC;
	if (!failed)
		return 5;

	store_clear(&s);

#ifdef PLANT_BUGS
	{
		char *twice = malloc(16);

		memset(twice, 0, 16);
		free(twice);
		free(twice);	/* Planted: a double free. */
	}
	store_forget_scratch();
#endif
	return 0;
}
