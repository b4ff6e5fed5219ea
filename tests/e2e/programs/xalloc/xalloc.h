/* A project's own allocation wrappers: they never return NULL. */
#ifndef XALLOC_H
#define XALLOC_H
#include <stddef.h>

void *xmalloc(size_t size);
char *xstrdup(const char *s);
void xfree(void *p);

#endif
