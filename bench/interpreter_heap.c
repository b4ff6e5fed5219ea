/*
 * The benchmark's second workload, shaped like a scripting-language
 * interpreter traced through its allocator: every block comes from
 * realloc(NULL, n) (about one in eight later grows through realloc and
 * moves), a few are used (memset), the live set climbs to about OBJECTS
 * blocks while some are released and replaced on the way, and everything
 * still held is released when the program ends. So the trace names about
 * OBJECTS distinct handles, and most releases are of blocks never used.
 * One block in 10,000 is lost instead of released.
 *
 *   interpreter_heap OBJECTS   prints "calls C leaked L unused U" to standard
 *                              error, U: blocks released without having been used
 */
#include "kel.h"
#include <stdio.h>

struct object {
	void *block;
	size_t size;
	int used;
};

static unsigned long long seed = 88172645463325252ULL;

static unsigned long long next(void)
{
	seed ^= seed << 13;
	seed ^= seed >> 7;
	seed ^= seed << 17;
	return seed;
}

int main(int argc, char **argv)
{
	unsigned long long objects = argc > 1 ? strtoull(argv[1], NULL, 10) : 1000000ULL;
	unsigned long long calls = 0, leaked = 0, unused = 0, made = 0, live = 0, i;
	struct object *heap;

	heap = calloc(objects ? objects : 1, sizeof *heap); /* not traced: kel.h redefines only realloc, memset, free */
	if (heap == NULL)
		return 1;
	kel_start(argv[0]);
	while (live < objects) {
		unsigned long long r = next();
		struct object *o;

		if (live > 16 && r % 10 == 0) {
			/* A temporary dies: released, and its place taken at once. */
			o = &heap[(r >> 8) % live];
			if (++made % 10000 == 0) {
				++leaked;
			} else {
				unused += !o->used;
				free(o->block);
				++calls;
			}
		} else {
			o = &heap[live++];
		}
		o->size = 16 + (size_t)((r >> 32) % 64);
		o->block = realloc(NULL, o->size);
		o->used = 0;
		++calls;
		if ((r >> 20) % 8 == 0) {
			/* A table that grows: a new, larger block. */
			o->size += 64;
			o->block = realloc(o->block, o->size);
			++calls;
		}
		if ((r >> 24) % 25 == 0) {
			memset(o->block, 0, 8);
			o->used = 1;
			++calls;
		}
	}
	/* The interpreter shuts down: every object still held is released. */
	for (i = 0; i < live; ++i) {
		unused += !heap[i].used;
		free(heap[i].block);
		++calls;
	}
	fprintf(stderr, "calls %llu leaked %llu unused %llu\n", calls, leaked, unused);
	return 0;
}
