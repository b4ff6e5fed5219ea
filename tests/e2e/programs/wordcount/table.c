#include <stdlib.h>
#include <string.h>

#include "table.h"

int table_init(struct table *t, size_t cap)
{
	t->items = calloc(cap, sizeof *t->items);
	t->used = 0;
	t->cap = cap;
	return t->items != NULL ? 0 : -1;
}

/* <0, 0 or >0 as the entry's word sorts before, equal to or after the word. */
static int compare(const struct entry *e, const char *word, size_t n)
{
	int c = strncmp(e->word, word, n);

	if (c != 0)
		return c;
	return e->word[n] == '\0' ? 0 : 1;
}

int table_count(struct table *t, const char *word, size_t n)
{
	struct entry *slot;
	size_t i = 0;
	int c = 1;

	if (n >= sizeof t->items[0].word)
		n = sizeof t->items[0].word - 1;
	while (i < t->used && (c = compare(&t->items[i], word, n)) < 0)
		++i;
	if (i < t->used && c == 0) {
		t->items[i].count++;
		return 0;
	}
	if (t->used == t->cap) {
		struct entry *bigger = realloc(t->items, 2 * t->cap * sizeof *bigger);

		if (bigger == NULL)
			return -1;
		t->items = bigger;
		/* The new half starts cleared. */
		memset(t->items + t->cap, 0, t->cap * sizeof *t->items);
		t->cap *= 2;
	}
	slot = &t->items[i];
	if (i < t->used)
		memmove(slot + 1, slot, (t->used - i) * sizeof *slot);
	memset(slot, 0, sizeof *slot);
	memcpy(slot->word, word, n);
	slot->count = 1;
	t->used++;
	return 0;
}

struct entry table_at(const struct table *t, size_t i)
{
	struct entry copy;

	memcpy(&copy, &t->items[i], sizeof copy);
	return copy;
}

void table_release(struct table *t)
{
	free(t->items);
	t->items = NULL;
	t->used = t->cap = 0;
}
