/* Blocks that come back through an argument (posix_memalign, asprintf,
 * vasprintf, getline, getdelim), aligned_alloc, wcsdup,
 * canonicalize_file_name, get_current_dir_name, and realpath and getcwd with
 * and without a buffer of the caller's. kel.h comes last, after the
 * program's own _GNU_SOURCE and headers. With PLANT_BUGS it writes to the
 * posix_memalign block after its free, frees the asprintf text twice, and
 * leaks the aligned_alloc block, the getline and getdelim buffers and the
 * wcsdup copy. */
#define _GNU_SOURCE
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

#include "kel.h"

static char *format(const char *fmt, ...) {
    char *text = NULL;
    va_list ap;
    va_start(ap, fmt);
    if (vasprintf(&text, fmt, ap) < 0) text = NULL;
    va_end(ap);
    return text;
}

static int countLines(const char *path, int delim) {
    FILE *f = fopen(path, "r");
    char *line = NULL;
    size_t size = 0;
    int lines = 0;
    if (f == NULL) return -1;
    if (delim == '\n') {
        while (getline(&line, &size, f) != -1) lines++;
    } else {
        while (getdelim(&line, &size, delim, f) != -1) lines++;
    }
    fclose(f);
#ifndef PLANT_BUGS
    free(line);
#endif
    return lines;
}

int main(void) {
    void *aligned = NULL;
    char *text = NULL;
    char *joined;
    char *resolved;
    wchar_t *wide;
    char own[PATH_MAX];
    void *page;
    FILE *f;
    int i;

    if (posix_memalign(&aligned, 64, 256) != 0) return 1;
    memset(aligned, 0, 256);
    free(aligned);
#ifdef PLANT_BUGS
    memset((char *)aligned + 64, 1, 16);  /* past what the allocator keeps there */
#endif

    if (asprintf(&text, "%s-%d", "item", 42) < 0) return 1;
    joined = format("%s/%s", text, "tail");
    if (joined == NULL) return 1;
    printf("%s %s\n", text, joined);
    free(joined);
    free(text);
#ifdef PLANT_BUGS
    free(text);
#endif

    page = aligned_alloc(4096, 8192);
    if (page == NULL) return 1;
#ifndef PLANT_BUGS
    free(page);
#endif

    resolved = realpath(".", NULL);
    if (resolved == NULL) return 1;
    if (realpath(".", own) == NULL) return 1;
    printf("%d\n", strcmp(resolved, own) == 0);
    free(resolved);
    resolved = canonicalize_file_name(".");
    if (resolved == NULL) return 1;
    free(resolved);
    resolved = getcwd(NULL, 0);
    if (resolved == NULL || getcwd(own, sizeof own) == NULL) return 1;
    free(resolved);
    resolved = getcwd(NULL, PATH_MAX);
    if (resolved == NULL) return 1;
    free(resolved);
    resolved = get_current_dir_name();
    if (resolved == NULL) return 1;
    free(resolved);

    f = fopen("lines.txt", "w");
    if (f == NULL) return 1;
    for (i = 1; i <= 40; i++) {
        /* Lines of 40, 80, ... 1600 characters: the buffers grow. */
        int j;
        for (j = 0; j < 40 * i; j++) fputc(j % 50 == 49 ? ',' : 'x', f);
        fputc('\n', f);
    }
    fclose(f);
    printf("%d\n", countLines("lines.txt", '\n'));
    printf("%d\n", countLines("lines.txt", ','));
    /* An empty file: getline allocates its buffer and still returns -1. */
    f = fopen("empty.txt", "w");
    if (f == NULL) return 1;
    fclose(f);
    printf("%d\n", countLines("empty.txt", '\n'));
    wide = wcsdup(L"kel");
    if (wide == NULL) return 1;
#ifndef PLANT_BUGS
    free(wide);
#endif
    return 0;
}
