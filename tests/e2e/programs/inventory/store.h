/* A tiny inventory: names on the heap, a label made with sprintf, and a
 * save to a stdio stream. Split over two files as a real program would be. */
#ifndef STORE_H
#define STORE_H

#include <stddef.h>

struct store {
	char **names;
	size_t count;
};

int store_add(struct store *s, const char *name);
char *store_label(const struct store *s, size_t i);
int store_save(const struct store *s, const char *path);
void store_clear(struct store *s);
#ifdef PLANT_BUGS
void store_forget_scratch(void);
#endif

#endif
