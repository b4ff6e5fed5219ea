/* realloc moves A, allocated first, onto the address of B, allocated after
 * it and already freed: glibc hands out B's chunk from the fastbin once the
 * tcache bin of that size is full. Legal C (valgrind: no error, no leak).
 * The exit status says whether the move happened as planned. */
#include <stdio.h>
#include <stdlib.h>
int main(void) {
    void *t[7], *a, *g, *b, *c;
    int i;
    a = malloc(0x20);                     /* A: allocated first */
    g = malloc(8);                        /* keeps A from growing in place */
    for (i = 0; i < 7; i++) t[i] = malloc(0x38);
    b = calloc(1, 0x38);                  /* B: allocated after A */
    for (i = 0; i < 7; i++) free(t[i]);   /* fill the tcache bin */
    free(b);                              /* B goes to the fastbin */
    c = realloc(a, 0x38);                 /* moves A to B's old address */
    printf("b=%p c=%p same=%d\n", b, c, b == c);
    free(c);                              /* correct: the only free of c */
    free(g);
    return b == c ? 0 : 2;
}
