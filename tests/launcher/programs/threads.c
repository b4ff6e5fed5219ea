/* 8 threads allocating, copying, resizing and freeing. */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#define ROUNDS 500

static void *work(void *arg) {
    (void)arg;
    for (int i = 0; i < ROUNDS; i++) {
        char *block = malloc(16 + i % 64);
        char *copy = strdup("thread");
        block = realloc(block, 256);
        free(copy);
        free(block);
    }
    return NULL;
}

int main(void) {
    pthread_t threads[8];
    for (int i = 0; i < 8; i++) pthread_create(&threads[i], NULL, work, NULL);
    for (int i = 0; i < 8; i++) pthread_join(threads[i], NULL);
    return 0;
}
