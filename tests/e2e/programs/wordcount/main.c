/* Counts the words of a text and prints them in a padded table. It works
 * through pointers into its buffers throughout: a cursor walks the text,
 * words are copied out of its middle, entries are structs inside an array.
 * With PLANT_BUGS an entry is cleared once more, through a pointer into the
 * array, after the array was freed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "strbuf.h"
#include "table.h"

static const char *const parts[] = {"the quick brown fox ", "jumps over the lazy dog ", "and the dog sleeps"};

int main(void)
{
	struct strbuf text, out;
	struct table words;
	const char *cursor, *end;
	char number[16];
	size_t i;

	if (sb_init(&text, 8) != 0 || table_init(&words, 2) != 0 || sb_init(&out, 16) != 0)
		return 1;
	for (i = 0; i < sizeof parts / sizeof parts[0]; ++i)
		if (sb_append(&text, parts[i], strlen(parts[i])) != 0)
			return 1;
	/* A prompt in front of what is there. */
	if (sb_insert(&text, 0, "> ", 2) != 0)
		return 1;

	for (cursor = text.buf + 2; *cursor != '\0'; cursor = *end != '\0' ? end + 1 : end) {
		end = strchr(cursor, ' ');
		if (end == NULL)
			end = cursor + strlen(cursor);
		if (end > cursor && table_count(&words, cursor, (size_t)(end - cursor)) != 0)
			return 1;
	}

	for (i = 0; i < words.used; ++i) {
		struct entry e = table_at(&words, i);

		snprintf(number, sizeof number, "%u\n", e.count);
		if (sb_append(&out, e.word, strlen(e.word)) != 0 || sb_pad(&out, 8) != 0 ||
		    sb_append(&out, number, strlen(number)) != 0)
			return 1;
	}
	fputs(out.buf, stdout);

#ifdef PLANT_BUGS
	struct entry *second = &words.items[1];
#endif
	table_release(&words);
#ifdef PLANT_BUGS
	memset(second, 0, sizeof *second);
#endif
	sb_release(&out);
	sb_release(&text);
	return 0;
}
