/* The same findings built with kel.h and traced by kelrun: a leak of a
   malloc and one of a strdup, among blocks used and released cleanly. */
#include <stdlib.h>
#include <string.h>

int main(void) {
    char *leaked = malloc(33);
    char *name = strdup("seven");
    char *zeros = calloc(4, 8);
    char *grown = malloc(8);
    char *moved = realloc(grown, 1 << 20);
    memset(zeros, 1, 32);
    free(zeros);
    free(moved);
    (void)leaked;
    (void)name;
    return 0;
}
