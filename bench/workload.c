/*
 * The benchmark's workload: a heap of about 1,000 live blocks, churned.
 * Every iteration makes exactly one heap call on a slot picked at random: an
 * empty slot gets a block (malloc), a fresh block is used (memset), a used one
 * is freed (free). Every 1,000th block is leaked instead of freed, and its
 * slot is refilled at once. The blocks still held at the end are freed.
 *
 * Built twice from this one source: with the library that kelgen writes
 * (-DKEL_TRACED, the trace goes to workload_trace.out), and plain, traced by
 * glibc's mtrace() (MALLOC_TRACE=file, LD_PRELOAD=libc_malloc_debug.so.0).
 *
 *   workload ITERATIONS      prints "calls C leaked L unused U" to standard error,
 *                            U: blocks freed at the end without having been used
 */
#ifdef KEL_TRACED
#include "kel.h"
#else
#include <mcheck.h>
#include <stdlib.h>
#include <string.h>
#endif
#include <stdio.h>

#define SLOTS 1500

int main(int argc, char **argv)
{
	static void *block[SLOTS];
	static unsigned char used[SLOTS];
	unsigned long long iterations = argc > 1 ? strtoull(argv[1], NULL, 10) : 1000000ULL;
	unsigned long long calls = 0, leaked = 0, unused = 0, ended = 0, i;
	unsigned long long seed = 88172645463325252ULL;

#ifdef KEL_TRACED
	kel_start(argv[0]);
#else
	mtrace();
#endif
	for (i = 0; i < iterations; ++i) {
		unsigned s;
		size_t size;

		seed ^= seed << 13;
		seed ^= seed >> 7;
		seed ^= seed << 17;
		s = (unsigned)(seed % SLOTS);
		size = 16 + (size_t)((seed >> 32) % 240);
		if (block[s] == NULL) {
			block[s] = malloc(size);
			used[s] = 0;
		} else if (!used[s]) {
			memset(block[s], 0, 16);
			used[s] = 1;
		} else if (++ended % 1000 == 0) {
			/* Lost: the pointer is overwritten by the next block. */
			++leaked;
			block[s] = malloc(size);
			used[s] = 0;
		} else {
			free(block[s]);
			block[s] = NULL;
		}
		++calls;
	}
	/* The working set is released at the end: only the lost blocks leak. */
	for (i = 0; i < SLOTS; ++i)
		if (block[i] != NULL) {
			unused += !used[i];
			free(block[i]);
			++calls;
		}
	fprintf(stderr, "calls %llu leaked %llu unused %llu\n", calls, leaked, unused);
	return 0;
}
