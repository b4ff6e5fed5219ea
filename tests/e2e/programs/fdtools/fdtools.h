#ifndef FDTOOLS_H
#define FDTOOLS_H

/* Copies the file `from` to `to`; returns the bytes copied, or -1. */
long copy_file(const char *from, const char *to);
/* Sends `text` over a local stream socket at `path` to itself; returns the
 * bytes received, or -1. */
long echo_once(const char *path, const char *text);

#endif
