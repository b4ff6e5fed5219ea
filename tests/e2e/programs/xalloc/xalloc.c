/* The wrappers themselves. This file does not include kel.h, so the
 * malloc, strdup and free calls inside them are not traced: the template
 * traces xmalloc, xstrdup and xfree at their callers' lines instead. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "xalloc.h"

void *xmalloc(size_t size) {
    void *p = malloc(size);
    if (p == NULL) {
        fputs("out of memory\n", stderr);
        exit(1);
    }
    return p;
}

char *xstrdup(const char *s) {
    char *copy = xmalloc(strlen(s) + 1);
    return strcpy(copy, s);
}

void xfree(void *p) { free(p); }
