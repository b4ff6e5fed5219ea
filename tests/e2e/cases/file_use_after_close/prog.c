#include "kel.h"

int main(void) {
    kel_start("file");
    FILE *f = fopen("out.txt", "w");
    fputs("hello\n", f);
    fclose(f);
    ferror(f);
    return 0;
}
