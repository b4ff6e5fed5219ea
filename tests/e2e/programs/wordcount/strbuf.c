#include <stdlib.h>
#include <string.h>

#include "strbuf.h"

/* Room for `more` bytes and the terminating NUL; the block may move. */
static int sb_reserve(struct strbuf *sb, size_t more)
{
	size_t cap = sb->cap;
	char *bigger;

	if (sb->len + more + 1 <= cap)
		return 0;
	while (sb->len + more + 1 > cap)
		cap *= 2;
	bigger = realloc(sb->buf, cap);
	if (bigger == NULL)
		return -1;
	sb->buf = bigger;
	sb->cap = cap;
	return 0;
}

int sb_init(struct strbuf *sb, size_t cap)
{
	sb->buf = malloc(cap);
	sb->len = 0;
	sb->cap = cap;
	if (sb->buf == NULL)
		return -1;
	memset(sb->buf, 0, cap);
	return 0;
}

int sb_append(struct strbuf *sb, const char *s, size_t n)
{
	char *cursor;

	if (sb_reserve(sb, n) != 0)
		return -1;
	cursor = sb->buf + sb->len;
	memcpy(cursor, s, n);
	cursor[n] = '\0';
	sb->len += n;
	return 0;
}

int sb_insert(struct strbuf *sb, size_t at, const char *s, size_t n)
{
	if (sb_reserve(sb, n) != 0)
		return -1;
	/* The tail and its NUL move up by n. */
	memmove(sb->buf + at + n, sb->buf + at, sb->len - at + 1);
	memcpy(sb->buf + at, s, n);
	sb->len += n;
	return 0;
}

int sb_pad(struct strbuf *sb, size_t column)
{
	const char *newline = strrchr(sb->buf, '\n');
	size_t start = newline != NULL ? (size_t)(newline - sb->buf) + 1 : 0;
	size_t used = sb->len - start;

	if (used >= column)
		return 0;
	if (sb_reserve(sb, column - used) != 0)
		return -1;
	memset(sb->buf + sb->len, ' ', column - used);
	sb->len += column - used;
	sb->buf[sb->len] = '\0';
	return 0;
}

void sb_release(struct strbuf *sb)
{
	free(sb->buf);
	sb->buf = NULL;
	sb->len = sb->cap = 0;
}
