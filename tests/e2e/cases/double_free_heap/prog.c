#include "kel.h"

int main(void) {
    kel_start("twice");
    char *p = malloc(8);
    memset(p, 0, 8);
    free(p);
    free(p);
    return 0;
}
