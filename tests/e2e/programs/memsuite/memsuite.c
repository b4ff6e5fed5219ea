/* Struct members named after the C library's allocator (a library's memory
 * interface), which kel.h's function-like macros would rewrite: the file is
 * built with -DKEL_NO_REDEF, and the linker route traces the calls that
 * reach the C library. One block is never freed. */
#include <stdlib.h>
#include <string.h>

#include "kel.h"

struct mem {
    void *(*calloc)(size_t n, size_t size);
    void *(*realloc)(void *block, size_t size);
    void (*free)(void *block);
};

static void *grow(const struct mem *m, void *block, size_t size) { return m->realloc(block, size); }

int main(void) {
    const struct mem sys = {calloc, realloc, free};
    const struct mem *m = &sys;
    char *line, *lost;
    kel_start("memsuite");
    line = m->calloc(1, 16);
    line = grow(m, line, 64);
    memset(line, 'x', 63);
    m->free(line);
    lost = malloc(40);
    memset(lost, 0, 40);
    return 0;
}
