/* The heap traffic of the HTML report's browser test: a churn of short-lived
 * blocks, then a live set that climbs and falls. */
#include "kel.h"
#include "work.h"

static void *held[300];

/* 3 records a round: malloc, memset, free. */
void churn(int rounds)
{
	for (int i = 0; i < rounds; ++i) {
		char *p = malloc(32);
		memset(p, i, 32);
		free(p);
	}
}

/* 3 records a block: every block allocated, then used, then released. */
void hold_and_release(int blocks)
{
	for (int i = 0; i < blocks; ++i)
		held[i] = malloc(64);
	for (int i = 0; i < blocks; ++i)
		memset(held[i], 0, 64);
	for (int i = 0; i < blocks; ++i)
		free(held[i]);
}
