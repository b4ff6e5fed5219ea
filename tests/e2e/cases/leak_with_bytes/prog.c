#include "kel.h"

int main(void) {
    kel_start("leak");
    char *kept = malloc(100);
    char *used = malloc(16);
    memset(used, 0, 16);
    free(used);
    (void)kept;
    return 0;
}
