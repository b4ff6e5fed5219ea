/* Words and their counts in alphabetical order: an array of structs that
 * grows with realloc and is edited in place, entry by entry. */
#ifndef TABLE_H
#define TABLE_H

#include <stddef.h>

struct entry {
	char word[24];
	unsigned count;
};

struct table {
	struct entry *items;
	size_t used, cap;
};

int table_init(struct table *t, size_t cap);
/* Counts the word of n bytes at `word` (which need not end in a NUL). */
int table_count(struct table *t, const char *word, size_t n);
/* A copy of entry i. */
struct entry table_at(const struct table *t, size_t i);
void table_release(struct table *t);

#endif
