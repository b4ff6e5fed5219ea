/* A library built without kel.h whose results the C library allocated. */
#define _GNU_SOURCE
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static char *format_list(const char *fmt, va_list ap) {
    char *text = NULL;
    return vasprintf(&text, fmt, ap) < 0 ? NULL : text;
}

char *lib_format(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char *text = format_list(fmt, ap);
    va_end(ap);
    return text;
}

char *lib_first_line(const char *path) {
    FILE *f = fopen(path, "r");
    char *line = NULL;
    size_t size = 0;
    if (f == NULL) return NULL;
    if (getline(&line, &size, f) < 0) line[0] = 0;
    fclose(f);
    return line;
}

char *lib_copy(const char *s) { return strdup(s); }
