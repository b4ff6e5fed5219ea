/* Built without kel.h: one block leaked, one freed twice. */
#include <stdlib.h>

int main(void) {
    char *leaked = malloc(10);
    char *twice = malloc(24);
    char *other = malloc(24);
    free(twice);
    free(other);
    free(twice);
    (void)leaked;
    return 0;
}
