/* A duplicate left open, a pipe with one end closed. */
#include <unistd.h>

int main(void) {
    int ends[2];
    int copy = dup(0);
    if (copy < 0 || pipe(ends) != 0) return 1;
    close(ends[0]);
    return 0;
}
