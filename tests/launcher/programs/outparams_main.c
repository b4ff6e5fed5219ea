/* Frees what the library returns: no finding. */
#include <stdio.h>
#include <stdlib.h>

char *lib_format(const char *fmt, ...);
char *lib_first_line(const char *path);
char *lib_copy(const char *s);

int main(int argc, char **argv) {
    char *formatted = lib_format("%s has %d lines", "input", 3);
    char *line = lib_first_line(argc > 1 ? argv[1] : argv[0]);
    char *copy = lib_copy("copied");
    printf("%s\n%s", formatted, line);
    free(formatted);
    free(line);
    free(copy);
    return 0;
}
