#include "kel.h"

int main(void) {
    kel_start("crash");
    char *lost = malloc(24);
    FILE *f = fopen("out.txt", "w");
    fputs("partial\n", f);
    *(volatile int *)0 = 1;
    free(lost);
    fclose(f);
    return 0;
}
