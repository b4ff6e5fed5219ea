/* The C library's allocator kept by its address, in a table of function
 * pointers (a parser's memory suite), next to direct calls. kel.h's macros
 * rewrite the direct calls only; the linker route sees the others too.
 * With PLANT_LEAK one block from each route is never freed. */
#include <stdlib.h>
#include <string.h>

#include "kel.h"

struct suite {
    void *(*get)(size_t size);
    void (*put)(void *block);
};

int main(void) {
    const struct suite mem = {malloc, free};
    char *kept, *block, *again;
    kel_start("pointers");
    kept = malloc(16);
    block = malloc(48);
    memset(block, 0, 48);
    mem.put(block);
    again = malloc(48);
    memset(again, 0, 48);
    memset(kept, 0, 16);
    free(again);
    block = mem.get(32);
    memset(block, 0, 32);
    free(block);
    free(kept);
#ifdef PLANT_LEAK
    block = mem.get(24);
    kept = malloc(8);
    (void)kept;
#endif
    return 0;
}
