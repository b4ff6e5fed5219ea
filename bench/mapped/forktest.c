/*
 * fork with per-process traces over the mapped writer (ih_mapped.c built
 * with -DKEL_PER_PROCESS): the parent traces a few calls, forks, and both
 * trace calls of their own and end normally. Each must have its own complete
 * trace: the parent's with no record of the child's calls, the child's with
 * its head and none of the parent's. Run in an empty folder; checked by
 * killtest.sh.
 *
 *   forktest   prints "parent PID child PID" to standard output
 */
#include "kel.h"
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

int main(void)
{
	void *before, *mine;
	pid_t pid;
	int status;

	kel_start("forktest");
	before = realloc(NULL, 32); /* both processes' blocks */
	pid = fork();
	if (pid < 0)
		return 2;
	if (pid == 0) {
		mine = realloc(NULL, 48); /* the child's call */
		memset(mine, 0, 8);
		free(mine);
		free(before);
		return 0;
	}
	waitpid(pid, &status, 0);
	mine = realloc(NULL, 64); /* the parent's call */
	memset(mine, 0, 8);
	free(mine);
	memset(before, 0, 8);
	free(before);
	printf("parent %ld child %ld\n", (long)getpid(), (long)pid);
	return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
