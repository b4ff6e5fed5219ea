/* Copies of zero bytes to the end of a full buffer, as a converter does when
 * its output is exhausted: legal, and they touch no memory. The buffer lies at
 * the start of a larger block freed before, so its end is still inside that
 * freed block. The exit status says whether glibc placed it there. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
int main(void) {
    static const char src[] = "x";
    char *big, *guard, *buf, *end;
    char *volatile nowhere = NULL;
    int placed;
    big = malloc(0x500);          /* too large for the tcache: freed into a bin */
    guard = malloc(16);           /* keeps big from merging with the top */
    free(big);
    buf = malloc(0x100);          /* carved from the start of big's chunk */
    placed = buf == big;
    end = buf + 0x100;
    memcpy(end, src, 0);
    memmove(end, src, 0);
    memset(end, 0, 0);
#ifdef PLANT_BUGS
    memcpy(end, src, 1);          /* one byte past the end: inside big */
    memset(nowhere, 0, 0);        /* NULL, even for 0 bytes */
#endif
    (void)nowhere;
    printf("placed=%d\n", placed);
    free(buf);
    free(guard);
    return placed ? 0 : 2;
}
