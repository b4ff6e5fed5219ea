#include <pthread.h>
#include "kel.h"

static void *work(void *arg) {
    (void)arg;
    for (int i = 0; i < 200; ++i) {
        char *p = malloc(64);
        memset(p, i, 64);
        p = realloc(p, 128);
        memset(p, i, 128);
        free(p);
    }
    return NULL;
}

int main(void) {
    kel_start("threads");
    pthread_t t[4];
    for (int i = 0; i < 4; ++i) pthread_create(&t[i], NULL, work, NULL);
    for (int i = 0; i < 4; ++i) pthread_join(t[i], NULL);
    return 0;
}
