/* Streams from popen, open_memstream and fdopen, written with fprintf and
 * read with fscanf, and fileno. With PLANT_BUGS the popen stream is never
 * closed, a descriptor is closed after the stream that owned it, and fileno
 * is called on a stream after its fclose. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "kel.h"

int main(void) {
    FILE *cmd, *mem, *in, *out;
    char *text = NULL;
    size_t size = 0;
    int fds[2];
    int value = 0;

    cmd = popen("echo 42", "r");
    if (cmd == NULL) return 1;
    if (fscanf(cmd, "%d", &value) != 1) return 1;
#ifndef PLANT_BUGS
    if (pclose(cmd) != 0) return 1;
#endif

    mem = open_memstream(&text, &size);
    if (mem == NULL) return 1;
    fprintf(mem, "value %d", value);
    fclose(mem);
    printf("%s (%lu)\n", text, (unsigned long)size);
    free(text);

    if (pipe(fds) != 0) return 1;
    out = fdopen(fds[1], "w");
    in = fdopen(fds[0], "r");
    if (out == NULL || in == NULL) return 1;
    fprintf(out, "%d\n", value + 1);
    fclose(out);
#ifdef PLANT_BUGS
    close(fds[1]);  /* the stream owned it, and fclose closed it */
#endif
    if (fscanf(in, "%d", &value) != 1) return 1;
    printf("%d %d\n", value, fileno(in) >= 0);
    fclose(in);
#ifdef PLANT_BUGS
    printf("%d\n", fileno(in));
#endif
    return 0;
}
