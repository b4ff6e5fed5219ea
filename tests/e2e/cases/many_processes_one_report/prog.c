#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

/* Every process keeps one block it never frees. */
static void keep(size_t size) {
    char *kept = malloc(size);
    memset(kept, 0, size);
}

/* Two children run the program again, as a test harness runs its tests:
   each new process starts its own trace. */
int main(int argc, char **argv) {
    int i;
    if (argc > 1) {
        keep(16);
        return 0;
    }
    for (i = 0; i < 2; ++i) {
        pid_t child = fork();
        if (child == 0) {
            execl("/proc/self/exe", argv[0], "child", (char *)NULL);
            _exit(127);
        }
        waitpid(child, NULL, 0);
    }
    keep(16);
    return 0;
}
