#ifndef BOOK_H
#define BOOK_H

#include <stddef.h>

struct entry {
	char *name;
	char *number;
};

struct book {
	struct entry *entries;
	size_t count;
	size_t capacity;
};

struct book *book_new(void);
int book_add(struct book *b, const char *name, const char *number);
const char *book_find(const struct book *b, const char *name);
void book_remove(struct book *b, const char *name);
void book_free(struct book *b);

#endif
