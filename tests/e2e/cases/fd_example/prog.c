#include <fcntl.h>
#include <unistd.h>

#include "kel.h"

int main(void)
{
	char buf[8];
	int fd;

	kel_start("fd");
	write(1, "fd demo\n", 8);
	fd = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
	write(fd, "hello\n", 6);
	close(fd);
	fd = open("out.txt", O_RDONLY, 0);
	read(fd, buf, sizeof buf);
	open("missing/none.txt", O_RDONLY, 0);
	return 0;
}
