#include <stdio.h>
#include <string.h>

#include "store.h"
#include "kel.h"

int store_add(struct store *s, const char *name)
{
	size_t len = strlen(name) + 1;
	/* realloc(NULL, n) the first time: an allocation afresh. */
	char **grown = realloc(s->names, (s->count + 1) * sizeof *grown);
	char *copy;

	if (grown == NULL)
		return -1;
	s->names = grown;
	copy = malloc(len);
	if (copy == NULL)
		return -1;
	/* Filled by untraced code only. */
	memcpy(copy, name, len);
	s->names[s->count++] = copy;
	return 0;
}

char *store_label(const struct store *s, size_t i)
{
	char *label = malloc(64);

	if (label != NULL)
		sprintf(label, "%zu: %s\n", i + 1, s->names[i]);
	return label;
}

int store_save(const struct store *s, const char *path)
{
	FILE *out = fopen(path, "w");
	size_t i;

	if (out == NULL)
		return -1;
	for (i = 0; i < s->count; i++)
		fputs(s->names[i], out);
	return fclose(out);
}

void store_clear(struct store *s)
{
	size_t i;

	for (i = 0; i < s->count; i++)
		free(s->names[i]);
	free(s->names);
	s->names = NULL;
	s->count = 0;
}

#ifdef PLANT_BUGS
void store_forget_scratch(void)
{
	char *scratch = malloc(24);

	memset(scratch, 'x', 24);
	/* Planted: never freed. */
}
#endif
