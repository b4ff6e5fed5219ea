/* Descriptors in pairs (pipe, pipe2, socketpair) and descriptors that dup2
 * and dup3 put in place: onto a free number, onto an open descriptor (which
 * they close first) and onto the standard output (not traced: 0, 1 and 2
 * are never tracked). With PLANT_BUGS the read end of a pipe is leaked and
 * a descriptor that dup2 replaced is closed twice. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kel.h"

static int through(const int ends[2], const char *text) {
    char buf[64];
    ssize_t n;
    if (write(ends[1], text, strlen(text)) < 0) return -1;
    n = read(ends[0], buf, sizeof buf);
    return (int)n;
}

int main(void) {
    int p[2], q[2], sv[2];
    int a, b, saved;

    if (pipe(p) != 0 || pipe2(q, O_CLOEXEC) != 0) return 1;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 1;
    printf("%d %d %d\n", through(p, "pipe"), through(q, "pipe2"), through(sv, "pair"));
    close(sv[0]);
    close(sv[1]);
    close(q[0]);
    close(q[1]);

    a = open("a.txt", O_CREAT | O_WRONLY | O_TRUNC, 0644);
    b = open("b.txt", O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (a < 0 || b < 0) return 1;
    if (dup2(a, b) != b) return 1;     /* b was open: closed, then reused */
    if (dup2(a, 40) != 40) return 1;   /* a free number */
    if (dup3(a, 41, O_CLOEXEC) != 41) return 1;
    if (dup2(a, a) != a) return 1;     /* a no-op */
    write(b, "b\n", 2);
    close(40);
    close(41);
    close(b);
#ifdef PLANT_BUGS
    close(b);
#endif
    close(a);

    saved = dup(1);
    if (saved < 0) return 1;
    fflush(stdout);
    if (dup2(p[1], 1) != 1) return 1;  /* the standard output into the pipe */
    printf("into the pipe\n");
    fflush(stdout);
    if (dup2(saved, 1) != 1) return 1;
    close(saved);
    printf("%d\n", through(p, "x") > 0);
#ifndef PLANT_BUGS
    close(p[0]);
#endif
    close(p[1]);
    return 0;
}
