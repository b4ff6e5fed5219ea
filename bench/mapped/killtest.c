/*
 * The mapped writer's crash test. Each round forks a traced program (THREADS
 * threads churning the heap through interpreter_heap.xml's wrappers over the
 * mapped writer) that writes one byte to a pipe after every traced call has
 * returned, and ends it:
 *   kill:  SIGKILL from here once it has reported a random number of calls;
 *   abort: the program calls abort() after a random number of calls;
 *   segv:  the program writes through a null pointer after a random number
 *          of calls (in a traced call's caller).
 * Then the trace must hold at least as many complete records as calls were
 * reported, and, after the head, nothing but the forms a cut trace may have
 * (DESIGN.md): complete records, a record's first bytes followed by zero
 * bytes (a call under way, or a copy cut short), and runs of zero bytes.
 *
 *   killtest MODE ROUNDS THREADS SEED   (built by killtest.sh)
 *   prints one line per failed round and a summary; exits 1 when one failed
 */
#define _DEFAULT_SOURCE
#include "kel.h"
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define SLOTS 500

static int progress_fd;
static unsigned long long crash_after; /* calls of thread 0; 0: never */
static int crash_mode;                 /* 1 abort, 2 segv */
static int *volatile nowhere;          /* the segfault's address */

static void reported(void)
{
	char one = 1;

	if (write(progress_fd, &one, 1) != 1)
		_exit(3);
}

static void *churn(void *arg)
{
	unsigned long long seed = 88172645463325252ULL + (unsigned long long)(size_t)arg * 7919;
	unsigned long long calls = 0;
	void *block[SLOTS] = {0};

	for (;;) {
		unsigned long long r;
		size_t s;

		seed ^= seed << 13;
		seed ^= seed >> 7;
		seed ^= seed << 17;
		r = seed;
		s = (size_t)(r % SLOTS);
		if (block[s] == NULL)
			block[s] = realloc(NULL, 16 + (size_t)((r >> 32) % 64));
		else if ((r >> 20) % 4 == 0)
			block[s] = realloc(block[s], 200);
		else if ((r >> 20) % 4 == 1)
			memset(block[s], 0, 8);
		else {
			free(block[s]);
			block[s] = NULL;
		}
		reported();
		if (arg == NULL && ++calls == crash_after) {
			if (crash_mode == 1)
				abort();
			*nowhere = 1;
		}
	}
	return NULL;
}

static void child(int threads)
{
	pthread_t id;
	int t;

	kel_start("killtest");
	for (t = 1; t < threads; ++t)
		if (pthread_create(&id, NULL, churn, (void *)(size_t)t) != 0)
			_exit(3);
	churn(NULL);
}

static const char *line_end(const char *p, const char *end)
{
	while (p < end && *p != '\n' && *p != 0)
		++p;
	return p;
}

/* Is [p, q) "WORD HEX16" with WORD one of the given, or "HEX16" for words NULL? */
static int is_hex16(const char *p, const char *q)
{
	int i;

	if (q - p != 16)
		return 0;
	for (i = 0; i < 16; ++i)
		if (!((p[i] >= '0' && p[i] <= '9') || (p[i] >= 'A' && p[i] <= 'F')))
			return 0;
	return 1;
}

static int is_line(const char *p, const char *q, const char *text)
{
	return (size_t)(q - p) == strlen(text) && memcmp(p, text, (size_t)(q - p)) == 0;
}

static int is_verdict(const char *p, const char *q, const char *prefix)
{
	size_t n = strlen(prefix);

	if ((size_t)(q - p) > n && memcmp(p, prefix, n) == 0) {
		p += n;
		if (q - p == 19 && memcmp(p, "OK ", 3) == 0)
			return is_hex16(p + 3, q);
		if (q - p == 20 && memcmp(p, "BAD ", 4) == 0)
			return is_hex16(p + 4, q);
	}
	return 0;
}

/* One record at p: returns its end when it is complete and well formed, p
 * itself when it is cut (a line ends in a zero byte or at the end of the
 * file), NULL when it is malformed. */
static const char *record(const char *p, const char *end)
{
	const char *line[8], *stop[8];
	int n, i, want = 0;
	const char *q = p;

	for (n = 0; n < 8; ++n) {
		line[n] = q;
		stop[n] = line_end(q, end);
		if (stop[n] == end || *stop[n] == 0)
			break;
		q = stop[n] + 1;
		if (n == 1) {
			if (is_line(line[1], stop[1], "realloc"))
				want = 8;
			else if (is_line(line[1], stop[1], "memset") || is_line(line[1], stop[1], "free"))
				want = 7;
			else
				return NULL;
		}
		if (want && n + 1 == want)
			break;
	}
	/* Every line seen so far must be right, complete or not. */
	for (i = 0; i <= n && i < 8; ++i) {
		int whole = stop[i] < end && *stop[i] == '\n';
		const char *a = line[i], *b = stop[i];

		if (!whole)
			break;
		if ((i == 0 && !is_line(a, b, "mem")) || (i == 2 && a == b) ||
		    (i == 3 && (a == b || strspn(a, "0123456789") != (size_t)(b - a))) ||
		    (i == 4 && !is_verdict(a, b, "mem ")))
			return NULL;
		if (want == 8 && ((i == 5 && !is_hex16(a, b)) ||
				  (i == 6 && !is_line(a, b, "OK") && !is_line(a, b, "BAD")) ||
				  (i == 7 && !is_verdict(a, b, ""))))
			return NULL;
		if (want == 7 && ((i == 5 && !is_line(a, b, "-") && !is_line(a, b, "void")) ||
				  (i == 6 && !is_line(a, b, "-"))))
			return NULL;
	}
	if (want && n + 1 == want && stop[n] < end && *stop[n] == '\n')
		return stop[n] + 1;
	return p;
}

/* Checks the trace; returns a complaint or NULL. */
static const char *check(const char *path, unsigned long long reported_calls, int threads, char *why,
			 size_t size_why)
{
	static const char head[] = "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
	static const char head_end[] = "</template>\n";
	unsigned long long complete = 0, cut = 0;
	struct stat st;
	char *text, *p, *end;
	FILE *f = fopen(path, "rb");

	if (f == NULL || fstat(fileno(f), &st) != 0)
		return "no trace";
	text = malloc((size_t)st.st_size + 1);
	if (text == NULL || fread(text, 1, (size_t)st.st_size, f) != (size_t)st.st_size)
		return "cannot read the trace";
	fclose(f);
	end = text + st.st_size;
	*end = 0;
	if (strncmp(text, head, sizeof(head) - 1) != 0 || (p = strstr(text, head_end)) == NULL) {
		free(text);
		return "the head is missing";
	}
	p += sizeof(head_end) - 1;
	while (p < end) {
		const char *next;

		if (*p == 0) {
			++p;
			continue;
		}
		next = record(p, end);
		if (next == NULL) {
			snprintf(why, size_why, "malformed record at byte %ld", (long)(p - text));
			free(text);
			return why;
		}
		if (next == p) {
			/* Cut: its first bytes, then zeros (or the end of the file). */
			++cut;
			p = (char *)line_end(p, end);
			while (p < end && *p != 0) {
				p = (char *)line_end(p + 1, end);
			}
			continue;
		}
		++complete;
		p = (char *)next;
	}
	free(text);
	if (complete < reported_calls) {
		snprintf(why, size_why, "%llu complete records, %llu calls reported", complete, reported_calls);
		return why;
	}
	if (cut > (unsigned long long)threads) {
		snprintf(why, size_why, "%llu cut records with %d threads", cut, threads);
		return why;
	}
	return NULL;
}

int main(int argc, char **argv)
{
	const char *mode = argc > 1 ? argv[1] : "kill";
	int rounds = argc > 2 ? atoi(argv[2]) : 100, threads = argc > 3 ? atoi(argv[3]) : 1, round, failed = 0;
	unsigned long long seed = argc > 4 ? strtoull(argv[4], NULL, 10) : 1;
	int want_signal = strcmp(mode, "abort") == 0 ? SIGABRT : strcmp(mode, "segv") == 0 ? SIGSEGV : SIGKILL;

	srand((unsigned)seed);
	for (round = 0; round < rounds; ++round) {
		unsigned long long target = 1 + (unsigned long long)rand() % 20000, got = 0;
		char buf[4096], why[160];
		const char *complaint;
		int fd[2], status;
		ssize_t n;
		pid_t pid;

		unlink("interpreter_trace.out");
		if (pipe(fd) != 0)
			return 2;
		crash_mode = want_signal == SIGABRT ? 1 : want_signal == SIGSEGV ? 2 : 0;
		crash_after = crash_mode ? target : 0;
		pid = fork();
		if (pid < 0)
			return 2;
		if (pid == 0) {
			close(fd[0]);
			progress_fd = fd[1];
			signal(SIGPIPE, SIG_DFL);
			child(threads);
			_exit(0);
		}
		close(fd[1]);
		while ((n = read(fd[0], buf, sizeof(buf))) > 0) {
			got += (unsigned long long)n;
			if (want_signal == SIGKILL && got >= target && kill(pid, SIGKILL) == 0)
				target = ~0ULL;
		}
		close(fd[0]);
		waitpid(pid, &status, 0);
		if (!WIFSIGNALED(status) || WTERMSIG(status) != want_signal) {
			printf("round %d: the program did not end by signal %d (status %d)\n", round, want_signal, status);
			++failed;
			continue;
		}
		complaint = check("interpreter_trace.out", got, threads, why, sizeof(why));
		if (complaint != NULL) {
			printf("round %d (%llu calls reported): %s\n", round, got, complaint);
			++failed;
		}
	}
	printf("killtest %s: %d rounds, %d threads, %d failed\n", mode, rounds, threads, failed);
	return failed ? 1 : 0;
}
