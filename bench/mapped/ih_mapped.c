/*
 * bench/interpreter_heap.xml's three wrappers (realloc, memset, free) written
 * by hand over the mapped writer, with the records the generated runtime
 * writes, byte for byte: what a generated kel.c with the mapped writer would
 * hold. Built with the kel.h that kelgen writes from that template, and with
 * head.inc: the trace's first lines as one C string (run.sh makes it).
 *
 * -DKEL_PER_PROCESS: the trace is interpreter_trace-PID.out, and a child made
 * by fork writes its own.
 */
#define KEL_NO_REDEF
#ifndef _DEFAULT_SOURCE
#define _DEFAULT_SOURCE
#endif
#include "kel.h"
#include "kel_mapped_writer.h"

static const char	kel_head[] =
#include "head.inc"
	;

typedef struct {
	size_t	used;
	char	text[512];
} kel_record;

static void	kel_put(kel_record *r, const char *text, size_t size){
/* The benchmark's call sites are short: a longer record is cut here
 * (DESIGN.md, integration). */
if(size > sizeof(r->text) - r->used) size = sizeof(r->text) - r->used;
memcpy(r->text + r->used, text, size);
r->used += size;
}

#define KEL_PUT_TEXT(r, literal)	kel_put((r), (literal), sizeof(literal) - 1)

static void	kel_put_line(kel_record *r, const char *text){
kel_put(r, text, strlen(text));
kel_put(r, "\n", 1);
}

static void	kel_put_dec(kel_record *r, unsigned long value){
char	digits[24];
size_t	i = sizeof(digits) - 1;
digits[i] = '\n';
do	{
	digits[--i] = (char)('0' + value % 10);
	value /= 10;
	} while(value != 0);
kel_put(r, digits + i, sizeof(digits) - i);
}

static void	kel_put_hex(kel_record *r, keluint64 value){
static const char	xdigits[] = "0123456789ABCDEF";
char	digits[17];
int	i;
for(i = 15; i >= 0; i--){
	digits[i] = xdigits[value & 15];
	value >>= 4;
	}
digits[16] = '\n';
kel_put(r, digits, sizeof(digits));
}

/* An allocation's or an operation's record: placed after the call. */
static void	kel_record_after(const kel_record *r){
char	*slot = kel_map_reserve(r->used);
if(slot != NULL) kel_map_copy(slot, r->text, r->used);
}

/* A release's record: its place taken before the call, with room for the
 * outcome the call has when it succeeds (ok_size bytes). */
static char	*kel_record_before(const kel_record *r, size_t ok_size){
char	*slot = kel_map_reserve(r->used + ok_size);
if(slot != NULL) kel_map_copy(slot, r->text, r->used);
return slot;
}

/* The outcome after the call: into the slot when it has the size reserved;
 * otherwise (the call failed, so nothing was released and the place does not
 * matter) the slot is given up and the whole record goes to the end. */
static void	kel_record_outcome(char *slot, kel_record *r, size_t before, size_t ok_size){
if(slot == NULL) return;
if(r->used - before == ok_size){
	kel_map_copy(slot + before, r->text + before, ok_size);
	return;
	}
kel_map_abandon(slot, before);
kel_record_after(r);
}

#ifdef KEL_PER_PROCESS
static char	kel_path[64];
static const char	*kel_trace_path(unsigned long pid){
snprintf(kel_path, sizeof(kel_path), "interpreter_trace-%lu.out", pid);
return kel_path;
}
#endif

void	kel_start(const char *appname){
(void)appname;
#ifdef KEL_SAME_HEAP
/* For comparing traces with the default runtime's: the heap blocks its stdio
 * stream takes at this point, a FILE and its buffer, taken here too, so that
 * the allocator reuses and moves blocks the same way in both programs. */
{
	FILE	*same = tmpfile();
	if(same != NULL) fputc('\n', same);
}
#endif
#ifdef KEL_PER_PROCESS
if(kel_map_open(kel_trace_path((unsigned long)getpid()), kel_head, sizeof(kel_head) - 1, 1, kel_trace_path) != 0) exit(-1);
#else
if(kel_map_open("interpreter_trace.out", kel_head, sizeof(kel_head) - 1, 0, NULL) != 0) exit(-1);
#endif
if(atexit(kel_stop) != 0) exit(-1);
}

void	kel_stop(void){
static const char	done[] = "KEL TRACING DONE\n";
kel_map_close(done, sizeof(done) - 1);
}

/* "OK\n" and "OK " + 16 digits + "\n" */
#define IH_REALLOC_OK	(3 + 3 + 17)
/* "void\n-\n" */
#define IH_FREE_OK	7

void*	ih_realloc(void* ptr, size_t size, const char *ih_file, size_t ih_line){
	void* ih_stored_retcode;
	kel_record kel_rec;
	size_t before;
	char *slot;

	kel_rec.used = 0;
	KEL_PUT_TEXT(&kel_rec, "mem\nrealloc\n");
	kel_put_line(&kel_rec, ih_file);
	kel_put_dec(&kel_rec, (unsigned long)ih_line);
	if(ptr == NULL) KEL_PUT_TEXT(&kel_rec, "mem BAD ");
	else KEL_PUT_TEXT(&kel_rec, "mem OK ");
	kel_put_hex(&kel_rec, (keluint64)(ptr));
	kel_put_hex(&kel_rec, (keluint64)(size));
	before = kel_rec.used;
	/* A bad handle releases nothing: the call is an allocation, placed
	 * after it. */
	slot = ptr == NULL ? NULL : kel_record_before(&kel_rec, IH_REALLOC_OK);
	ih_stored_retcode = realloc(ptr, size);
	if(ih_stored_retcode == NULL) KEL_PUT_TEXT(&kel_rec, "BAD\nBAD ");
	else KEL_PUT_TEXT(&kel_rec, "OK\nOK ");
	kel_put_hex(&kel_rec, (keluint64)(ih_stored_retcode));
	if(ptr == NULL) kel_record_after(&kel_rec);
	else kel_record_outcome(slot, &kel_rec, before, IH_REALLOC_OK);
	return (ih_stored_retcode);
}

void*	ih_memset(void* s, int c, size_t n, const char *ih_file, size_t ih_line){
	void* ih_stored_retcode;
	kel_record kel_rec;

	kel_rec.used = 0;
	KEL_PUT_TEXT(&kel_rec, "mem\nmemset\n");
	kel_put_line(&kel_rec, ih_file);
	kel_put_dec(&kel_rec, (unsigned long)ih_line);
	if(s == NULL) KEL_PUT_TEXT(&kel_rec, "mem BAD ");
	else KEL_PUT_TEXT(&kel_rec, "mem OK ");
	kel_put_hex(&kel_rec, (keluint64)(s));
	ih_stored_retcode = memset(s, c, n);
	KEL_PUT_TEXT(&kel_rec, "-\n-\n");
	kel_record_after(&kel_rec);
	return (ih_stored_retcode);
}

void	ih_free(void* ptr, const char *ih_file, size_t ih_line){
	kel_record kel_rec;
	size_t before;
	char *slot;

	kel_rec.used = 0;
	KEL_PUT_TEXT(&kel_rec, "mem\nfree\n");
	kel_put_line(&kel_rec, ih_file);
	kel_put_dec(&kel_rec, (unsigned long)ih_line);
	if(ptr == NULL) KEL_PUT_TEXT(&kel_rec, "mem BAD ");
	else KEL_PUT_TEXT(&kel_rec, "mem OK ");
	kel_put_hex(&kel_rec, (keluint64)(ptr));
	before = kel_rec.used;
	slot = kel_record_before(&kel_rec, IH_FREE_OK);
	free(ptr);
	KEL_PUT_TEXT(&kel_rec, "void\n-\n");
	kel_record_outcome(slot, &kel_rec, before, IH_FREE_OK);
}
