/*
 * The multi-threaded workload: THREADS threads churn their own heaps of 1,000
 * slots at once through bench/interpreter_heap.xml's functions. Each
 * iteration makes one call on a slot picked at random: an empty slot gets a
 * block (realloc(NULL, n)), a fresh block is used (memset) or, one time in
 * eight, grows (realloc) and stays fresh, a used one is released (free).
 * Whatever is held at the end is used and released, so keltrace finds
 * nothing in its trace.
 *
 *   threads_heap ITERATIONS THREADS   (per thread; defaults 200000 8)
 *   prints "calls C" to standard error
 */
#include "kel.h"
#include <pthread.h>
#include <stdio.h>

#define SLOTS 1000

static unsigned long long iterations = 200000;

static void *churn(void *arg)
{
	unsigned long long seed = 88172645463325252ULL ^ (unsigned long long)(size_t)arg * 0x9E3779B97F4A7C15ULL;
	unsigned long long i, calls = 0;
	void *block[SLOTS] = {0};
	size_t size[SLOTS];
	unsigned char used[SLOTS] = {0};

	for (i = 0; i < iterations; ++i) {
		unsigned long long r;
		size_t s;

		seed ^= seed << 13;
		seed ^= seed >> 7;
		seed ^= seed << 17;
		r = seed;
		s = (size_t)(r % SLOTS);
		if (block[s] == NULL) {
			size[s] = 16 + (size_t)((r >> 32) % 64);
			block[s] = realloc(NULL, size[s]);
			used[s] = 0;
		} else if (!used[s]) {
			if ((r >> 20) % 8 == 0) {
				/* grows, and stays unused: a new block */
				size[s] += 64;
				block[s] = realloc(block[s], size[s]);
			} else {
				memset(block[s], 0, 8);
				used[s] = 1;
			}
		} else {
			free(block[s]);
			block[s] = NULL;
		}
		++calls;
	}
	for (i = 0; i < SLOTS; ++i) {
		if (block[i] != NULL) {
			if (!used[i]) {
				memset(block[i], 0, 8);
				++calls;
			}
			free(block[i]);
			++calls;
		}
	}
	return (void *)(size_t)calls;
}

int main(int argc, char **argv)
{
	int threads = argc > 2 ? atoi(argv[2]) : 8, t;
	pthread_t id[64];
	unsigned long long calls = 0;

	if (argc > 1)
		iterations = strtoull(argv[1], NULL, 10);
	if (threads < 1 || threads > 64)
		return 2;
	kel_start(argv[0]);
	for (t = 0; t < threads; ++t)
		if (pthread_create(&id[t], NULL, churn, (void *)(size_t)t) != 0)
			return 1;
	for (t = 0; t < threads; ++t) {
		void *n;
		pthread_join(id[t], &n);
		calls += (unsigned long long)(size_t)n;
	}
	fprintf(stderr, "calls %llu\n", calls);
	return 0;
}
