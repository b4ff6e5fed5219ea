/* Writes a file, copies it (copy.c), echoes a word over a local socket
 * (echo.c) and reports on a duplicate of the standard output. With
 * PLANT_BUGS that duplicate is never closed. */
#include <fcntl.h>
#include <unistd.h>

#include "fdtools.h"

int main(void)
{
	int fd = open("in.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
	int log;

	if (fd < 0)
		return 1;
	write(1, "start\n", 6);
	write(fd, "descriptors\n", 12);
	close(fd);
	if (open("missing/in.txt", O_RDONLY) >= 0)
		return 1;
	log = dup(1);
	if (log < 0 || copy_file("in.txt", "out.txt") != 12 || echo_once("echo.sock", "ping") != 4)
		return 1;
	write(log, "copied and echoed\n", 18);
#ifndef PLANT_BUGS
	close(log);
#endif
	return 0;
}
