/* One stream read and closed, one left open. */
#include <stdio.h>

int main(int argc, char **argv) {
    char line[64];
    FILE *read = fopen(argv[argc - 1], "r");
    FILE *left = fopen(argv[argc - 1], "r");
    if (read == NULL || left == NULL || fgets(line, sizeof(line), read) == NULL) return 1;
    fclose(read);
    return 0;
}
