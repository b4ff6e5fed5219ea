/* A phone book on the heap: the entries grow with reallocarray, each name
 * is a strdup copy and each number a strndup copy. */
#include <stdlib.h>
#include <string.h>

#include "book.h"

struct book *book_new(void)
{
	return calloc(1, sizeof(struct book));
}

int book_add(struct book *b, const char *name, const char *number)
{
	if (b->count == b->capacity) {
		size_t capacity = b->capacity ? 2 * b->capacity : 2;
		struct entry *grown = reallocarray(b->entries, capacity, sizeof(struct entry));

		if (grown == NULL)
			return -1;
		b->entries = grown;
		b->capacity = capacity;
	}
	b->entries[b->count].name = strdup(name);
	b->entries[b->count].number = strndup(number, 8);
	b->count++;
	return 0;
}

const char *book_find(const struct book *b, const char *name)
{
	size_t i;

	for (i = 0; i < b->count; i++)
		if (strcmp(b->entries[i].name, name) == 0)
			return b->entries[i].number;
	return NULL;
}

void book_remove(struct book *b, const char *name)
{
	size_t i;

	for (i = 0; i < b->count; i++)
		if (strcmp(b->entries[i].name, name) == 0)
			break;
	if (i == b->count)
		return;
#ifndef PLANT_BUGS
	free(b->entries[i].name);
#endif
	free(b->entries[i].number);
	memmove(b->entries + i, b->entries + i + 1, (b->count - i - 1) * sizeof(struct entry));
	b->count--;
}

void book_free(struct book *b)
{
	size_t i;

	for (i = 0; i < b->count; i++) {
		free(b->entries[i].name);
		free(b->entries[i].number);
	}
	free(b->entries);
	free(b);
}
