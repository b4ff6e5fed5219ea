// The per-field, the buffered and the mapped record writers, and the
// runtimes that the buffered and mapped writers' lines call.
#include "gen_records.h"

#include "gen_literal.h"

#include "gen_lines.h"
#include "gen_settings.h"
#include "trace_protocol.h"

namespace {

// ---------------------------------------------------------------- per field

// A generated test: a true condition traces "BAD", a false one "OK". `fields`
// are the kel_trace arguments before the verdict (count first), `rest` what
// follows it.
void writeVerdict(std::ostream& out, const std::string& condition, const std::string& fields,
                  const std::string& rest) {
    line(out, "\tif(", condition, "){");
    line(out, "\t\tkel_trace(", fields, quoted(kelproto::kBAD), rest);
    line(out, "\t}");
    line(out, "\telse\t{");
    line(out, "\t\tkel_trace(", fields, quoted(kelproto::kOK), rest);
    line(out, "\t}");
}

class PerFieldWriter final : public RecordWriter {
public:
    void writeRuntime(const Template&, std::ostream&) const override {}
    void writeLocals(std::ostream&) const override {}

    void writeStart(std::ostream& out, const std::string& domain, const std::string& tor,
                    const std::string& prefix) const override {
        line(out, "\t", kelTrace1(domain));
        line(out, "\t", kelTrace1(tor));
        line(out, "\tkel_trace(1, ", prefix, "file);");
        line(out, "\tkel_trace(1, kelsize_t2str(", prefix, "line));");
    }

    void writeValidation(std::ostream& out, const std::string& domain, const std::string& condition,
                         const std::string& value) const override {
        writeVerdict(out, condition, "3, " + quoted(domain) + ", ", ", keluint64tostr1(" + asHex(value) + "));");
    }

    void writeSize(std::ostream& out, const std::string& value) const override {
        line(out, "\tkel_trace(1, keluint64tostr1(", asHex(value), "));");
    }

    void writeBeforeCall(std::ostream&) const override {}

    void writeMarkers(std::ostream& out, std::initializer_list<const char*> texts) const override {
        for (const char* text : texts) line(out, "\t", kelTrace1(text));
    }

    void writeResultVerdict(std::ostream& out, const std::string& condition) const override {
        writeVerdict(out, condition, "1, ", ");");
    }

    void writeHandleLine(std::ostream& out, const std::string& condition, const std::string& handle) const override {
        writeVerdict(out, condition, "2, ", ", keluint64tostr1(" + asHex(handle) + "));");
    }

    void writeEnd(std::ostream&) const override {}
};

// ---------------------------------------------------------------- buffered
//
// A buffered wrapper formats its record into a kel_record on its own stack
// and hands it to the target in one write (two where the part before the
// traced call must reach the target first). kel_trace stays for kel_start,
// kel_stop and the fork trap.

// Big enough for any usual record; a longer one is written out in pieces.
constexpr int kRecordBufferSize = 512;

bool hasWrappers(const Template& t) {
    bool any = false;
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) { any = any || !isAliased(tor); });
    return any;
}

// The lines of a wrapper that carry a hex16 field, as the wrapper writers
// decide them.
bool writesHex(const Template& t, const Domain& d, const Tor& tor) {
    for (std::size_t i = 1; i < tor.validateDom_before.size(); ++i)
        if (!tor.validateDom_before[i].empty() && findDomainIndex(t, tor.validateDom_before[i]) != -1) return true;
    return !sizeValues(d, tor).empty() || tor.is_handle_arg_out;
}

// kel_put_hex is written only when a wrapper calls it: an unused static
// function would warn under -Wall.
bool recordsWriteHex(const Template& t) {
    bool any = false;
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            forEachWrapper(tor, [&](const Tor& arity, const std::string&) { any = any || writesHex(t, d, arity); });
        });
    return any;
}

// kel_record_out: one write of a record's bytes, checked as kel_trace checks
// its writes. A failed write ends the program with -1: fwrite's result (0)
// would report the failure as success.
void writeRecordOut(const Template& t, std::ostream& out) {
    const bool win32 = compiler(t) == Compiler::win32;
    line(out, "static void\tkel_record_out(const char *text, size_t size){");
    if (t.remote_mode) {
        line(out, win32 ? "int\tsent;" : "ssize_t\tsent;");
        if (t.auto_start) line(out, "if(kel_started != 1) return;");
        // send() may take a part of a long record, or be interrupted.
        line(out, "while(size > 0){");
        line(out, "\tsent = send(kel_socket, text, ", win32 ? "(int)size" : "size", ", 0);");
        if (!win32) line(out, "\tif(sent < 0 && errno == EINTR) continue;");
        if (t.trap_on_io_err)
            line(out, "\tif(sent <= 0){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}");
        else
            line(out, "\tif(sent <= 0) return;");
        line(out, "\ttext += sent;");
        line(out, "\tsize -= (size_t)sent;");
        line(out, "\t}");
    } else {
        if (t.auto_start) line(out, "if(kel_started != 1) return;");
        // fwrite() of nothing returns 0, which the check would take for a failure.
        line(out, "if(size == 0) return;");
        if (t.trap_on_io_err)
            line(out, "if(fwrite(text, size, 1, kel_tracefile) != 1){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}");
        else
            line(out, "fwrite(text, size, 1, kel_tracefile);");
    }
    line(out, "}");
    line(out);
}

// kel_put and its forms: append to the record. A piece that does not fit
// sends the record so far out first, and one larger than the whole buffer
// goes out directly, so no file name is too long.
void writeRecordPut(const Template& t, std::ostream& out) {
    line(out, "static void\tkel_put(kel_record *r, const char *text, size_t size){");
    line(out, "if(size > sizeof(r->text) - r->used){");
    line(out, "\tkel_record_out(r->text, r->used);");
    line(out, "\tr->used = 0;");
    line(out, "\tif(size > sizeof(r->text)){");
    line(out, "\t\tkel_record_out(text, size);");
    line(out, "\t\treturn;");
    line(out, "\t\t}");
    line(out, "\t}");
    line(out, "memcpy(r->text + r->used, text, size);");
    line(out, "r->used += size;");
    line(out, "}");
    line(out);
    line(out, "#define KEL_PUT_TEXT(r, literal)\tkel_put((r), (literal), sizeof(literal) - 1)");
    line(out);
    line(out, "static void\tkel_put_line(kel_record *r, const char *text){");
    line(out, "kel_put(r, text, strlen(text));");
    line(out, "kel_put(r, \"\\n\", 1);");
    line(out, "}");
    line(out);
    // The line number as kelsize_t2str writes it, with its line feed.
    line(out, "static void\tkel_put_dec(kel_record *r, unsigned long value){");
    line(out, "char\tdigits[24];");
    line(out, "size_t\ti = sizeof(digits) - 1;");
    line(out, "digits[i] = '\\n';");
    line(out, "do\t{");
    line(out, "\tdigits[--i] = (char)('0' + value % 10);");
    line(out, "\tvalue /= 10;");
    line(out, "\t} while(value != 0);");
    line(out, "kel_put(r, digits + i, sizeof(digits) - i);");
    line(out, "}");
    line(out);
    if (recordsWriteHex(t)) {
        // hex16 as keluint64tostr1 writes it; it always ends its line.
        line(out, "static void\tkel_put_hex(kel_record *r, keluint64 value){");
        line(out, "static const char\txdigits[] = \"0123456789ABCDEF\";");
        line(out, "char\tdigits[17];");
        line(out, "int\ti;");
        line(out, "for(i = 15; i >= 0; i--){");
        line(out, "\tdigits[i] = xdigits[value & 15];");
        line(out, "\tvalue >>= 4;");
        line(out, "\t}");
        line(out, "digits[16] = '\\n';");
        line(out, "kel_put(r, digits, sizeof(digits));");
        line(out, "}");
        line(out);
    }
}

// kel_record_call runs just before the traced call, kel_record_end after the
// record's last line. Whatever the per-field runtime has handed to the target
// before the call is handed over here too: a program that dies inside the
// call leaves the same trace.
void writeRecordEnds(const Template& t, std::ostream& out) {
    const bool flush = !t.remote_mode && t.force_flush;
    if (flush) {
        line(out, "static void\tkel_record_flush(void){");
        if (t.auto_start) line(out, "if(kel_started != 1) return;");
        if (t.trap_on_io_err)
            line(out, "if(fflush(kel_tracefile) != 0){kelerrlog(\"fflush()\", __FILE__, __LINE__); exit(-1);}");
        else
            line(out, "fflush(kel_tracefile);");
        line(out, "}");
        line(out);
    }
    line(out, "static void\tkel_record_call(kel_record *r){");
    if (defersRecordStart(t)) {
        line(out, "kel_pending = r;");
    } else {
        line(out, "kel_record_out(r->text, r->used);");
        line(out, "r->used = 0;");
        if (flush) line(out, "kel_record_flush();");
    }
    line(out, "}");
    line(out);
    line(out, "static void\tkel_record_end(kel_record *r){");
    if (defersRecordStart(t)) line(out, "kel_pending = NULL;");
    line(out, "kel_record_out(r->text, r->used);");
    if (flush) line(out, "kel_record_flush();");
    line(out, "}");
    line(out);
}

// A template name as its own C literal followed by the line feed's: an escape
// at the name's end cannot swallow what follows.
std::string nameLine(const std::string& name) { return quoted(name) + " \"\\n\""; }

// A verdict appended to the record: `name`, when not empty, is the field
// before the verdict (a validation line); `after` ends the literal.
void writePutVerdict(std::ostream& out, const std::string& condition, const std::string& name, const char* after) {
    const std::string before = name.empty() ? "\"" : quoted(name) + " \" ";
    line(out, "\tif(", condition, "){");
    line(out, "\t\tKEL_PUT_TEXT(&kel_rec, ", before, kelproto::kBAD, after, "\");");
    line(out, "\t}");
    line(out, "\telse\t{");
    line(out, "\t\tKEL_PUT_TEXT(&kel_rec, ", before, kelproto::kOK, after, "\");");
    line(out, "\t}");
}

class BufferedWriter : public RecordWriter {
public:
    // The buffered runtime exists only where a wrapper uses it.
    void writeRuntime(const Template& t, std::ostream& out) const override {
        if (!hasWrappers(t)) return;
        line(out, "typedef struct {");
        line(out, "\tsize_t\tused;");
        line(out, "\tchar\ttext[", kRecordBufferSize, "];");
        line(out, "} kel_record;");
        line(out);
        if (defersRecordStart(t)) {
            line(out, "static kel_record\t*kel_pending = NULL;");
            line(out);
        }
        writeRecordOut(t, out);
        writeRecordPut(t, out);
        writeRecordEnds(t, out);
    }

    void writeLocals(std::ostream& out) const override { line(out, "\tkel_record kel_rec;"); }

    void writeStart(std::ostream& out, const std::string& domain, const std::string& tor,
                    const std::string& prefix) const override {
        line(out, "\tkel_rec.used = 0;");
        line(out, "\tKEL_PUT_TEXT(&kel_rec, ", nameLine(domain), " ", nameLine(tor), ");");
        line(out, "\tkel_put_line(&kel_rec, ", prefix, "file);");
        line(out, "\tkel_put_dec(&kel_rec, (unsigned long)", prefix, "line);");
    }

    void writeValidation(std::ostream& out, const std::string& domain, const std::string& condition,
                         const std::string& value) const override {
        writePutVerdict(out, condition, domain, " ");
        line(out, "\tkel_put_hex(&kel_rec, ", asHex(value), ");");
    }

    void writeSize(std::ostream& out, const std::string& value) const override {
        line(out, "\tkel_put_hex(&kel_rec, ", asHex(value), ");");
    }

    void writeBeforeCall(std::ostream& out) const override { line(out, "\tkel_record_call(&kel_rec);"); }

    void writeMarkers(std::ostream& out, std::initializer_list<const char*> texts) const override {
        std::string joined;
        for (const char* text : texts) joined += std::string(text) + "\\n";
        line(out, "\tKEL_PUT_TEXT(&kel_rec, \"", joined, "\");");
    }

    void writeResultVerdict(std::ostream& out, const std::string& condition) const override {
        writePutVerdict(out, condition, "", "\\n");
    }

    void writeHandleLine(std::ostream& out, const std::string& condition, const std::string& handle) const override {
        writePutVerdict(out, condition, "", " ");
        line(out, "\tkel_put_hex(&kel_rec, ", asHex(handle), ");");
    }

    void writeEnd(std::ostream& out) const override { line(out, "\tkel_record_end(&kel_rec);"); }
};

// ---------------------------------------------------------------- mapped
//
// A mapped wrapper formats its record as the buffered one does and copies it
// into a shared, writable mapping of the trace file: the bytes belong to the
// kernel's page cache once copied, whatever happens to the process next. A
// slot is reserved by one atomic add, so no lock is held, and a record is
// always one slot (a long one moves to the heap, never out in pieces).
// Allocations and operations take their slot after the call; a release
// (or a reallocation of a good handle) takes it before the call, sized for
// the outcome of a successful call, so that it precedes any allocation that
// returns the released handle; a failed call gives that slot up and appends
// the record instead.

// The writer's functions: the trace file mapped once over a large span of
// address space and extended in steps, so the mapping never moves. A copy
// runs forward, so a process stopped anywhere leaves each slot a prefix of
// its record followed by zero bytes.
const char* const kMapRuntimeHead = R"KEL(#define KEL_MAP_STEP	(8UL << 20)
#if defined(__LP64__)
#define KEL_MAP_SPAN	(64ULL << 30)
#else
#define KEL_MAP_SPAN	(1ULL << 30)
#endif
/* Set in the reservation counter by the normal end: later reservations see
 * it and give up, and the end learns the exact length in the same step. */
#define KEL_MAP_STOPPED	(1ULL << 63)

/* Shared by parent and child after a fork without per-process traces, so
 * that both append to one trace without overlapping. */
typedef struct {
	unsigned long long	reserved;
	unsigned long long	file_size;
	int	grow_lock;
	int	abandoned;
} kel_map_state;

static kel_map_state	*kel_map_shared;
static char	*kel_map_base;
static int	kel_map_fd = -1;
static int	kel_map_per_process;
static const char	*(*kel_map_child_path)(unsigned long pid);
static const char	*kel_map_head;
static size_t	kel_map_head_size;
static int	kel_map_atfork_set;

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
#ifdef MADV_POPULATE_WRITE
		/* The new pages made in one call, not one fault per page. */
		(void)madvise(kel_map_base + old, (size_t)(size - old), MADV_POPULATE_WRITE);
#else
		(void)old;
#endif
		__atomic_store_n(&kel_map_shared->file_size, size, __ATOMIC_RELEASE);
		}
	}
kel_map_unlock();
)KEL";

// After a failed grow with trap_on_io_err: the trace is stopped first, so
// that kel_stop, run by exit, writes nothing more.
const char* const kMapGrowTrap = R"KEL(if(!ok){
	kelerrlog("ftruncate()", __FILE__, __LINE__);
	__atomic_fetch_or(&kel_map_shared->reserved, KEL_MAP_STOPPED, __ATOMIC_ACQ_REL);
	exit(-1);
	}
)KEL";

const char* const kMapRuntimeBody = R"KEL(return ok;
}

static char	*kel_map_reserve(size_t size);
static void	kel_map_copy(char *slot, const char *text, size_t size);

static int	kel_map_attach(const char *path){
kel_map_state	*state;
kel_map_fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
if(kel_map_fd < 0) return -1;
state = mmap(NULL, sizeof(*state), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
if(state == MAP_FAILED) return -1;
memset(state, 0, sizeof(*state));
kel_map_shared = state;
kel_map_base = mmap(NULL, (size_t)KEL_MAP_SPAN, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, kel_map_fd, 0);
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

/* The child of a fork with per-process traces drops the parent's mapping
 * (in its own address space only) and starts its own trace. */
static void	kel_map_after_fork(void){
const char	*path;
if(!kel_map_per_process || kel_map_base == NULL) return;
munmap(kel_map_base, (size_t)KEL_MAP_SPAN);
munmap(kel_map_shared, sizeof(*kel_map_shared));
close(kel_map_fd);
kel_map_base = NULL;
kel_map_shared = NULL;
kel_map_fd = -1;
path = kel_map_child_path((unsigned long)getpid());
if(path == NULL || kel_map_attach(path) != 0) kel_map_base = NULL;
}

static int	kel_map_open(const char *path, const char *head, size_t head_size, int per_process,
	const char *(*child_path)(unsigned long pid)){
if(kel_map_base != NULL){
	/* The trace closed before kept its mapping for late threads. */
	munmap(kel_map_base, (size_t)KEL_MAP_SPAN);
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

/* One atomic add; the file is extended under the grow lock once a step.
 * NULL when the trace is not open, is stopped, or cannot grow. */
static char	*kel_map_reserve(size_t size){
unsigned long long	at, end;
if(kel_map_base == NULL) return NULL;
at = __atomic_fetch_add(&kel_map_shared->reserved, (unsigned long long)size, __ATOMIC_RELAXED);
if(at & KEL_MAP_STOPPED) return NULL;
end = at + size;
if(end > __atomic_load_n(&kel_map_shared->file_size, __ATOMIC_ACQUIRE) && !kel_map_grow(end)) return NULL;
return kel_map_base + at;
}

static void	kel_map_copy(char *slot, const char *text, size_t size){
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

/* A slot given up: zeroed from the last byte to the first, so that it is a
 * prefix and zeros at every moment; the normal end removes the zeros. */
static void	kel_map_abandon(char *slot, size_t filled){
while(filled > 0){
	slot[--filled] = 0;
	__asm__ __volatile__("" ::: "memory");
	}
__atomic_store_n(&kel_map_shared->abandoned, 1, __ATOMIC_RELAXED);
}

/* Removes the zero bytes of abandoned slots (a trace's text has none). */
static unsigned long long	kel_map_compact(unsigned long long size){
unsigned long long	from, to = 0;
for(from = 0; from < size; from++){
	if(kel_map_base[from] != 0) kel_map_base[to++] = kel_map_base[from];
	}
return to;
}

/* The normal end: the closing line, then no more reservations; the file is
 * cut to what was written. The mapping stays, so that a late thread's copy
 * lands in the file's pages, never in unmapped memory. */
static void	kel_map_close(const char *tail, size_t tail_size){
unsigned long long	end;
char	*slot;
if(kel_map_base == NULL || kel_map_fd < 0) return;
slot = kel_map_reserve(tail_size);
if(slot != NULL) kel_map_copy(slot, tail, tail_size);
end = __atomic_fetch_or(&kel_map_shared->reserved, KEL_MAP_STOPPED, __ATOMIC_ACQ_REL);
end &= ~KEL_MAP_STOPPED;
if(end > __atomic_load_n(&kel_map_shared->file_size, __ATOMIC_ACQUIRE))
	end = __atomic_load_n(&kel_map_shared->file_size, __ATOMIC_ACQUIRE);
if(__atomic_load_n(&kel_map_shared->abandoned, __ATOMIC_RELAXED)) end = kel_map_compact(end);
if(ftruncate(kel_map_fd, (off_t)end) == 0)
	__atomic_store_n(&kel_map_shared->file_size, end, __ATOMIC_RELEASE);
close(kel_map_fd);
kel_map_fd = -1;
}

typedef struct {
	size_t	used;
	size_t	size;
	char	*text;
	size_t	before;	/* the bytes copied before the call */
	size_t	ok;	/* reserved before the call: a successful outcome's bytes; 0: after */
	char	*slot;
	char	local[512];
} kel_record;

/* The record whose call is running in this thread: an exit() inside the
 * call still leaves its lines in the trace. */
static __thread kel_record	*kel_pending;

static void	kel_record_begin(kel_record *r){
r->used = 0;
r->size = sizeof(r->local);
r->text = r->local;
r->before = 0;
r->ok = 0;
r->slot = NULL;
}

/* A record longer than the stack's buffer moves to the heap; one that no
 * memory can hold is cut short. */
static void	kel_put(kel_record *r, const char *text, size_t size){
if(size > r->size - r->used){
	size_t	want = r->used + size;
	size_t	grown = r->size * 2 > want ? r->size * 2 : want;
	char	*bigger = malloc(grown);
	if(bigger == NULL) size = r->size - r->used;
	else	{
		memcpy(bigger, r->text, r->used);
		if(r->text != r->local) free(r->text);
		r->text = bigger;
		r->size = grown;
		}
	}
memcpy(r->text + r->used, text, size);
r->used += size;
}

#define KEL_PUT_TEXT(r, literal)	kel_put((r), (literal), sizeof(literal) - 1)

static __attribute__((unused)) void	kel_put_line(kel_record *r, const char *text){
kel_put(r, text, strlen(text));
kel_put(r, "\n", 1);
}

static __attribute__((unused)) void	kel_put_dec(kel_record *r, unsigned long value){
char	digits[24];
size_t	i = sizeof(digits) - 1;
digits[i] = '\n';
do	{
	digits[--i] = (char)('0' + value % 10);
	value /= 10;
	} while(value != 0);
kel_put(r, digits + i, sizeof(digits) - i);
}

static __attribute__((unused)) void	kel_put_hex(kel_record *r, keluint64 value){
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

static void	kel_record_append(const char *text, size_t size){
char	*slot;
if(size == 0) return;
slot = kel_map_reserve(size);
if(slot != NULL) kel_map_copy(slot, text, size);
}

/* Just before the traced call: a release takes its place now and copies
 * the lines so far in. */
static __attribute__((unused)) void	kel_record_call(kel_record *r){
kel_pending = r;
r->before = r->used;
if(r->ok == 0) return;
r->slot = kel_map_reserve(r->used + r->ok);
if(r->slot != NULL) kel_map_copy(r->slot, r->text, r->used);
}

/* The outcome into the slot when it has the length reserved; otherwise the
 * call failed and released nothing, so the slot is given up and the whole
 * record appended. Records without a slot are appended whole. */
static void	kel_record_end(kel_record *r){
kel_pending = NULL;
if(r->slot != NULL && r->used - r->before == r->ok)
	kel_map_copy(r->slot + r->before, r->text + r->before, r->ok);
else	{
	if(r->slot != NULL) kel_map_abandon(r->slot, r->before);
	kel_record_append(r->text, r->used);
	}
r->slot = NULL;
if(r->text != r->local) free(r->text);
r->text = r->local;
r->size = sizeof(r->local);
}

/* kel_trace's fields, blank-separated, as one record. */
void	kel_trace(int n, ...){
kel_record	r;
int	count;
va_list	ap;
kel_record_begin(&r);
va_start(ap, n);
for(count = 1; count <= n; count++){
	const char	*field = va_arg(ap, char *);
	kel_put(&r, field, strlen(field));
	kel_put(&r, count < n ? " " : "\n", 1);
	}
va_end(ap);
kel_record_end(&r);
}

)KEL";

// A template name as its own C literal followed by the line feed's.
std::string headLine(const std::string& text) { return "\t" + quoted(text) + " \"\\n\""; }

class MappedWriter final : public BufferedWriter {
public:
    void writeRuntime(const Template& t, std::ostream& out) const override {
        out << kMapRuntimeHead;
        if (t.trap_on_io_err) out << kMapGrowTrap;
        out << kMapRuntimeBody;
    }

    void writeStart(std::ostream& out, const std::string& domain, const std::string& tor,
                    const std::string& prefix) const override {
        line(out, "\tkel_record_begin(&kel_rec);");
        line(out, "\tKEL_PUT_TEXT(&kel_rec, ", nameLine(domain), " ", nameLine(tor), ");");
        line(out, "\tkel_put_line(&kel_rec, ", prefix, "file);");
        line(out, "\tkel_put_dec(&kel_rec, (unsigned long)", prefix, "line);");
    }

    // A release, or a reallocation of a handle that its domain's test finds
    // good, reserves before the call room for the outcome of a successful
    // call: the result line ("void", "-" or "OK") and the handle line ("-",
    // or "OK " and hex16).
    void writePlacement(std::ostream& out, const Domain& d, const Tor& tor) const override {
        if (!releases(d, tor)) return;
        std::size_t ok = 0;
        switch (resultLine(tor)) {
            case ResultLine::voidCall:
                ok += std::string(kelproto::kVoid).size() + 1;
                break;
            case ResultLine::untested:
                ok += std::string(kelproto::kNothing).size() + 1;
                break;
            case ResultLine::verdict:
                ok += std::string(kelproto::kOK).size() + 1;
                break;
        }
        ok += tor.is_handle_arg_out ? std::string(kelproto::kOK).size() + 1 + 16 + 1
                                    : std::string(kelproto::kNothing).size() + 1;
        for (std::size_t i = 1; i < tor.validateDom_before.size() && i < tor.args.size(); ++i) {
            if (tor.validateDom_before[i] != d.name) continue;
            // A bad handle releases nothing: the call is placed as an
            // allocation, after it.
            const std::string& a = argName(tor, static_cast<std::int64_t>(i));
            line(out, "\tkel_rec.ok = ", a, " ", d.expr.oper, " ", d.expr.value, " ? 0 : ", ok, ";");
            return;
        }
        line(out, "\tkel_rec.ok = ", ok, ";");
    }

private:
    static bool releases(const Domain& d, const Tor& tor) {
        for (const auto* list : {&d.deallocators, &d.reallocators})
            for (const Tor& r : *list)
                if (r.name == tor.name) return true;
        return false;
    }
};

}  // namespace

const RecordWriter& recordWriter(const Template& t) {
    static const PerFieldWriter perField;
    static const BufferedWriter buffered;
    static const MappedWriter mapped;
    if (mapsRecords(t)) return mapped;
    if (t.buffered_records) return buffered;
    return perField;
}

bool defersRecordStart(const Template& t) {
    return !mapsRecords(t) && t.buffered_records && hasWrappers(t) && !t.remote_mode && !t.force_flush;
}

void writeMappedStart(const Template& t, const char* templatePath, std::ostream& out) {
    const bool perProcess = t.trace_per_process;
    const std::string named = t.trace_target.find("%p") == std::string::npos ? "0" : "1";
    const std::string path = perProcess ? "kel_trace_path(" + quoted(t.trace_target) + "), " + named
                                        : quoted(t.trace_target) + ", 0";
    if (perProcess) {
        // The child of a fork names and creates its own trace as kel_start does.
        line(out, "static const char\t*kel_map_child_trace(unsigned long pid){");
        line(out, "FILE\t*file;");
        line(out, "(void)pid;");
        line(out, "file = kel_open_trace(", path, ");");
        line(out, "if(file == NULL) return NULL;");
        line(out, "fclose(file);");
        line(out, "return kel_trace_name;");
        line(out, "}");
        line(out);
    }
    line(out, "void\tkel_start(const char *appname){");
    line(out, "static const char\tkel_head[] =");
    line(out, headLine(kelproto::kBegin));
    line(out, headLine(kelproto::kProtocol));
    forEachTemplateBlockLine(templatePath, [&](const std::string& text) { line(out, headLine(text)); });
    line(out, "\t;");
    line(out, "FILE\t*file;");
    line(out, "(void)appname;");
    if (t.auto_start) {
        line(out, "if(kel_started){return;}");
        line(out, "kel_started = 1;");
    }
    if (errorLog(t) == ErrorLog::file) line(out, "unlink(", quoted(t.errlogmode), ");");
    line(out, "kel_stop_called = 0;");
    // The trace is named and created as the stdio runtime's, then mapped.
    line(out, "file = kel_open_trace(", path, ");");
    line(out, "if(file == NULL){kel_trace_failed();exit(-1);}");
    line(out, "fclose(file);");
    line(out, "if(kel_map_open(kel_trace_name, kel_head, sizeof(kel_head) - 1, ", perProcess ? 1 : 0, ", ",
         perProcess ? "kel_map_child_trace" : "NULL", ") != 0){kelerrlog(\"mmap()\", __FILE__, __LINE__);exit(-1);}");
    line(out, "kel_retval = atexit(kel_stop);");
    line(out, "if(kel_retval != 0){kelerrlog(\"atexit()\", __FILE__, __LINE__);exit(-1);}");
    line(out, "}");
    line(out);
}

void writeMappedStop(const Template& t, std::ostream& out) {
    line(out, "void\tkel_stop(void){");
    line(out, "static const char\tdone[] = ", headLine(kelproto::kDone).substr(1), ";");
    line(out, "if(kel_stop_called){kelerrlog(\"KEL: loop detected! abort()!!!\", __FILE__, __LINE__);abort();}");
    line(out, "else{kel_stop_called = 1;}");
    // An exit() inside a traced call: the lines before the call, whole.
    line(out, "if(kel_pending){");
    line(out, "\tkel_record\t*r = kel_pending;");
    line(out, "\tkel_pending = NULL;");
    line(out, "\tif(r->slot != NULL) kel_map_abandon(r->slot, r->before);");
    line(out, "\tr->slot = NULL;");
    line(out, "\tkel_record_append(r->text, r->used);");
    line(out, "\t}");
    line(out, "kel_map_close(done, sizeof(done) - 1);");
    if (t.auto_start) line(out, "kel_started = 2;");
    line(out, "}");
    line(out);
}

void writeMappedForkTrap(const Template& t, std::ostream& out) {
    const std::string& p = t.prefix;
    line(out, "pid_t ", p, "fork_forbidden(const char *", p, "file, size_t ", p, "line) {");
    line(out, "kel_record\tkel_rec;");
    line(out, "kel_record_begin(&kel_rec);");
    line(out, "KEL_PUT_TEXT(&kel_rec, ", nameLine(kelproto::kTrap), " ", nameLine(kelproto::kForkCall), ");");
    line(out, "kel_put_line(&kel_rec, ", p, "file);");
    line(out, "kel_put_dec(&kel_rec, (unsigned long)", p, "line);");
    line(out, "kel_record_end(&kel_rec);");
    line(out, "abort();");
    line(out, "}");
    line(out);
}
