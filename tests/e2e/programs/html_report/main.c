/* A traced program for the HTML report's browser test: three domains (heap
 * blocks, FILE streams, the slots of its own pool) over 3,911 records. */
#include "kel.h"
#include "work.h"

int main(void)
{
	void *nothing;
	FILE *log;
	struct slot *s;

	kel_start("html_report");
	churn(1000);                    /* 3000 records */
	hold_and_release(300);          /* 900 */

	nothing = malloc(0);            /* 2: zero-alloc, never-used */
	free(nothing);

	log = fopen("html_report.log", "w");    /* 2: never-used (suppressed) */
	if (log != NULL)
		fclose(log);

	s = slot_take();                /* 4: a slot given back twice */
	slot_fill(s, 1);
	slot_give(s);
	slot_give(s);

	leak_names(3);                  /* 3: leaked */
	return 0;
}
