/* File descriptors from open (without a mode) and creat, used by read,
 * write and fstat. With PLANT_BUGS a closed descriptor is written once more. */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fdtools.h"

long copy_file(const char *from, const char *to)
{
	char buf[8];
	struct stat st;
	long copied = 0;
	ssize_t n;
	int in = open(from, O_RDONLY);
	int out;

	if (in < 0)
		return -1;
	out = creat(to, 0644);
	if (out < 0) {
		close(in);
		return -1;
	}
	while ((n = read(in, buf, sizeof buf)) > 0) {
		write(out, buf, (size_t)n);
		copied += n;
	}
	if (fstat(out, &st) != 0 || st.st_size != copied)
		copied = -1;
	close(out);
#ifdef PLANT_BUGS
	write(out, "\n", 1);
#endif
	close(in);
	return copied;
}
