#include "kel.h"

int main(void) {
    kel_start("realloc");
    char *p = malloc(16);
    memset(p, 'x', 16);
    p = realloc(p, 4096);
    memset(p, 'y', 4096);
    return 0;
}
