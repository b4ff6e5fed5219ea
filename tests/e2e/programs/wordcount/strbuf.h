/* A growable text buffer written through pointers into it: appends copy to
 * buf + len, an insert moves the tail up, padding fills with memset. */
#ifndef STRBUF_H
#define STRBUF_H

#include <stddef.h>

struct strbuf {
	char *buf;
	size_t len, cap;
};

int sb_init(struct strbuf *sb, size_t cap);
int sb_append(struct strbuf *sb, const char *s, size_t n);
int sb_insert(struct strbuf *sb, size_t at, const char *s, size_t n);
/* Pads the last line with blanks up to `column`. */
int sb_pad(struct strbuf *sb, size_t column);
void sb_release(struct strbuf *sb);

#endif
