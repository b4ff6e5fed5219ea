#include "kel.h"

int main(void) {
    kel_start("zero");
    void *freed = malloc(0);
    void *kept = malloc(0);
    free(freed);
    (void)kept;
    return 0;
}
