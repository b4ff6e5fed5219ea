/*
 * The mapped trace writer (kel_mapped_writer.h). Two layouts of the mapping,
 * chosen at build time, so that the benchmark can set them side by side:
 *
 *   default: one large reservation of address space (KEL_MAP_SPAN) mapped on
 *   the file once; the file is extended by ftruncate in KEL_MAP_STEP steps
 *   as the offset passes its end. The mapping never moves, so threads copy
 *   into it without a lock.
 *
 *   -DKEL_MAP_WINDOW: a window of KEL_MAP_STEP bytes that is unmapped and
 *   mapped again further on when a record passes its end. A copy in the old
 *   window must be over before it is unmapped, which needs a count of the
 *   copies under way per window; this variant has none and is for
 *   single-threaded measurement only.
 */
#ifndef _DEFAULT_SOURCE
#define _DEFAULT_SOURCE
#endif
#include "kel_mapped_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef KEL_MAP_STEP
#define KEL_MAP_STEP	(8UL << 20)
#endif
#ifndef KEL_MAP_SPAN
#if defined(__LP64__) || defined(_WIN64)
#define KEL_MAP_SPAN	(64ULL << 30)
#else
#define KEL_MAP_SPAN	(1ULL << 30)
#endif
#endif

/* Set in the reservation counter by the normal end: every later fetch-add
 * sees it and gives up, and the end learns the exact length in the same
 * atomic operation. */
#define KEL_MAP_STOPPED	(1ULL << 63)

/* What parent and child share when they write one trace: in an anonymous
 * shared page, so that a fork without per-process traces keeps one counter. */
typedef struct {
	unsigned long long	reserved;	/* end of the last reserved slot (+ KEL_MAP_STOPPED) */
	unsigned long long	file_size;	/* the file's length: slots below it may be written */
	int	grow_lock;
	int	abandoned;	/* slots given up: the normal end compacts */
} kel_map_state;

static kel_map_state	*kel_map_shared;
static char	*kel_map_base;
static int	kel_map_fd = -1;
static int	kel_map_per_process;
static const char	*(*kel_map_child_path)(unsigned long pid);
static const char	*kel_map_head;
static size_t	kel_map_head_size;
static int	kel_map_atfork_set;
#ifdef KEL_MAP_WINDOW
static unsigned long long	kel_map_window;	/* file offset of kel_map_base */
#endif

static void	kel_map_lock(void){
while(__atomic_exchange_n(&kel_map_shared->grow_lock, 1, __ATOMIC_ACQUIRE)) sched_yield();
}

static void	kel_map_unlock(void){
__atomic_store_n(&kel_map_shared->grow_lock, 0, __ATOMIC_RELEASE);
}

/* Makes [0, end) writable: the file extended past end, in whole steps. */
static int	kel_map_grow(unsigned long long end){
int	ok = 1;
kel_map_lock();
if(end > __atomic_load_n(&kel_map_shared->file_size, __ATOMIC_ACQUIRE)){
	unsigned long long	size = (end + KEL_MAP_STEP - 1) / KEL_MAP_STEP * KEL_MAP_STEP;
	unsigned long long	old = __atomic_load_n(&kel_map_shared->file_size, __ATOMIC_RELAXED);
	if(size > KEL_MAP_SPAN || ftruncate(kel_map_fd, (off_t)size) != 0) ok = 0;
	else	{
#if defined(MADV_POPULATE_WRITE) && !defined(KEL_MAP_WINDOW) && !defined(KEL_MAP_NO_POPULATE)
		/* The new pages made and mapped in one call, instead of one page
		 * fault per page as the records reach them. */
		(void)madvise(kel_map_base + old, (size_t)(size - old), MADV_POPULATE_WRITE);
#else
		(void)old;
#endif
		__atomic_store_n(&kel_map_shared->file_size, size, __ATOMIC_RELEASE);
		}
	}
kel_map_unlock();
return ok;
}

static int	kel_map_attach(const char *path){
kel_map_state	*state;
kel_map_fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
if(kel_map_fd < 0) return -1;
state = mmap(NULL, sizeof(*state), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
if(state == MAP_FAILED) return -1;
memset(state, 0, sizeof(*state));
kel_map_shared = state;
#ifdef KEL_MAP_WINDOW
kel_map_window = 0;
kel_map_base = mmap(NULL, KEL_MAP_STEP, PROT_READ | PROT_WRITE, MAP_SHARED, kel_map_fd, 0);
#else
kel_map_base = mmap(NULL, (size_t)KEL_MAP_SPAN, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, kel_map_fd, 0);
#endif
if(kel_map_base == MAP_FAILED){
	kel_map_base = NULL;
	return -1;
	}
if(kel_map_head_size){
	char	*slot = kel_map_reserve(kel_map_head_size);
	if(slot == NULL) return -1;
	kel_map_copy(slot, kel_map_head, kel_map_head_size);
	}
return 0;
}

/* The child of a fork with per-process traces: the inherited mapping is the
 * parent's file, so it is dropped (in this address space only) and the child
 * starts its own trace. Runs in the forking thread, the child's only one. */
static void	kel_map_after_fork(void){
if(!kel_map_per_process || kel_map_base == NULL) return;
#ifdef KEL_MAP_WINDOW
munmap(kel_map_base, KEL_MAP_STEP);
#else
munmap(kel_map_base, (size_t)KEL_MAP_SPAN);
#endif
munmap(kel_map_shared, sizeof(*kel_map_shared));
close(kel_map_fd);
kel_map_base = NULL;
kel_map_shared = NULL;
kel_map_fd = -1;
if(kel_map_attach(kel_map_child_path((unsigned long)getpid())) != 0) kel_map_base = NULL;
}

int	kel_map_open(const char *path, const char *head, size_t head_size, int per_process,
	const char *(*child_path)(unsigned long pid)){
if(kel_map_base != NULL){
	/* A trace closed before: its mapping was kept for late threads; a new
	 * start replaces it. */
#ifdef KEL_MAP_WINDOW
	munmap(kel_map_base, KEL_MAP_STEP);
#else
	munmap(kel_map_base, (size_t)KEL_MAP_SPAN);
#endif
	munmap(kel_map_shared, sizeof(*kel_map_shared));
	kel_map_base = NULL;
	kel_map_shared = NULL;
	}
kel_map_head = head;
kel_map_head_size = head_size;
kel_map_per_process = per_process && child_path != NULL;
kel_map_child_path = child_path;
if(kel_map_per_process && !kel_map_atfork_set){
	if(pthread_atfork(NULL, NULL, kel_map_after_fork) != 0) return -1;
	kel_map_atfork_set = 1;
	}
return kel_map_attach(path);
}

char	*kel_map_reserve(size_t size){
unsigned long long	at, end;
if(kel_map_base == NULL) return NULL;
at = __atomic_fetch_add(&kel_map_shared->reserved, (unsigned long long)size, __ATOMIC_RELAXED);
if(at & KEL_MAP_STOPPED) return NULL;
end = at + size;
if(end > __atomic_load_n(&kel_map_shared->file_size, __ATOMIC_ACQUIRE) && !kel_map_grow(end)) return NULL;
#ifdef KEL_MAP_WINDOW
if(end > kel_map_window + KEL_MAP_STEP){
	/* The new window starts at the page that holds the slot, so the slot
	 * (at most a step long) fits in it whole. */
	unsigned long long	page = (unsigned long long)sysconf(_SC_PAGESIZE);
	char	*window;
	munmap(kel_map_base, KEL_MAP_STEP);
	kel_map_window = at / page * page;
	if(!kel_map_grow(kel_map_window + KEL_MAP_STEP)) return NULL;
	window = mmap(NULL, KEL_MAP_STEP, PROT_READ | PROT_WRITE, MAP_SHARED, kel_map_fd, (off_t)kel_map_window);
	if(window == MAP_FAILED){
		kel_map_base = NULL;
		return NULL;
		}
	kel_map_base = window;
	}
return kel_map_base + (at - kel_map_window);
#else
return kel_map_base + at;
#endif
}

void	kel_map_copy(char *slot, const char *text, size_t size){
size_t	i = 0;
/* Eight bytes at a time, in order: the empty asm keeps the compiler from
 * merging the stores into a memcpy that may write the end first. */
for(; i + 8 <= size; i += 8){
	unsigned long long	word;
	memcpy(&word, text + i, 8);
	memcpy(slot + i, &word, 8);
	__asm__ __volatile__("" ::: "memory");
	}
for(; i < size; i++){
	slot[i] = text[i];
	__asm__ __volatile__("" ::: "memory");
	}
}

void	kel_map_abandon(char *slot, size_t filled){
while(filled > 0){
	slot[--filled] = 0;
	__asm__ __volatile__("" ::: "memory");
	}
__atomic_store_n(&kel_map_shared->abandoned, 1, __ATOMIC_RELAXED);
}

/* Removes the zero bytes of abandoned slots (a trace's text has none);
 * returns the new length. */
static unsigned long long	kel_map_compact(unsigned long long size){
unsigned long long	from, to = 0;
#ifdef KEL_MAP_WINDOW
/* Remapped whole, once, at the end. */
munmap(kel_map_base, KEL_MAP_STEP);
kel_map_window = 0;
kel_map_base = mmap(NULL, (size_t)size, PROT_READ | PROT_WRITE, MAP_SHARED, kel_map_fd, 0);
if(kel_map_base == MAP_FAILED){
	kel_map_base = NULL;
	return size;
	}
#endif
for(from = 0; from < size; from++){
	if(kel_map_base[from] != 0) kel_map_base[to++] = kel_map_base[from];
	}
return to;
}

void	kel_map_close(const char *tail, size_t tail_size){
unsigned long long	end;
char	*slot;
if(kel_map_base == NULL || kel_map_fd < 0) return;
slot = kel_map_reserve(tail_size);
if(slot != NULL) kel_map_copy(slot, tail, tail_size);
end = __atomic_fetch_or(&kel_map_shared->reserved, KEL_MAP_STOPPED, __ATOMIC_ACQ_REL);
end &= ~KEL_MAP_STOPPED;
/* A slot given up at the very end of a grow failure may lie past the file. */
if(end > __atomic_load_n(&kel_map_shared->file_size, __ATOMIC_ACQUIRE))
	end = __atomic_load_n(&kel_map_shared->file_size, __ATOMIC_ACQUIRE);
if(__atomic_load_n(&kel_map_shared->abandoned, __ATOMIC_RELAXED)) end = kel_map_compact(end);
if(ftruncate(kel_map_fd, (off_t)end) == 0)
	__atomic_store_n(&kel_map_shared->file_size, end, __ATOMIC_RELEASE);
close(kel_map_fd);
kel_map_fd = -1;
}
