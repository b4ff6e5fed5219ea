/* A file opened and closed, a duplicate left open, a pipe with one end
   closed. */
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    int ends[2];
    int file = open(argv[argc - 1], O_RDONLY);
    if (file < 0 || close(file) != 0) return 1;
    int copy = dup(0);
    if (copy < 0 || pipe(ends) != 0) return 1;
    close(ends[0]);
    return 0;
}
