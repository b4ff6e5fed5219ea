#include <unistd.h>
#include "kel.h"

int main(void) {
    kel_start("fork");
    char *block = malloc(32);
    fork();
    free(block);
    return 0;
}
