/* The parent forks twice: one child runs this program again ("exec"), which
   allocates 0x1092 bytes; the other allocates 0x777 bytes and exits. */
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "exec") == 0) {
        free(malloc(0x1092));
        return 0;
    }
    char *kept = malloc(0x55);
    pid_t runner = fork();
    if (runner == 0) {
        execl(argv[0], argv[0], "exec", (char *)NULL);
        _exit(127);
    }
    pid_t worker = fork();
    if (worker == 0) {
        free(malloc(0x777));
        exit(0);
    }
    waitpid(runner, NULL, 0);
    waitpid(worker, NULL, 0);
    free(kept);
    return 0;
}
