// The preload binding: kel.h and kel.c of the linker route in one file, the
// bootstrap and process state of a library loaded by LD_PRELOAD, and one entry
// point per traced function.
#include "gen_preload.h"

#include <algorithm>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include "gen_c.h"
#include "gen_checks.h"
#include "gen_lines.h"
#include "gen_link_wrap.h"
#include "gen_literal.h"
#include "gen_output.h"
#include "gen_settings.h"
#include "kelgen_status.h"

namespace {

// Before the runtime: what the state below needs, and kel_start's atexit
// turned into one registration of the binding's own stop (a forked child
// starts its trace again and must not stop twice).
const char* const kPrelude = R"(/* preload: this file is a shared library for LD_PRELOAD. The functions at its end replace the
   C library's for the whole process; they trace the call and call the next definition. */
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/auxv.h>
#include <stdio_ext.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* 0 while loading, 1 tracing, 2 a forked child that starts its own trace at its first traced call,
   3 not tracing (stopped, or a child that is not followed). */
static int	kel_preload_state = 0;
/* Set while a thread is inside the binding: the C library's calls made by a traced function (1:
   strdup's malloc) and the runtime's own calls (2: the trace's file and its buffer) go straight to
   the real function. */
static __thread int	kel_preload_busy __attribute__((tls_model("initial-exec")));
/* Set while dlsym looks a function up: it may allocate, before malloc's next definition is known. */
static __thread int	kel_preload_resolving __attribute__((tls_model("initial-exec")));
static int	kel_preload_follow = 0;
static int	kel_preload_atexit(void (*stop)(void));
/* The template's parameter types may spell an array as a pointer (pipe's int*). */
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wunknown-warning-option"
#pragma GCC diagnostic ignored "-Warray-parameter"
#define atexit(stop)	kel_preload_atexit(stop)

)";

// After the runtime and the wrappers, before the entry points.
const char* const kState = R"(#undef atexit

/* The allocations made while dlsym finds malloc and calloc: served from here, never released. */
static unsigned char	kel_preload_arena[65536] __attribute__((aligned(16)));
static size_t	kel_preload_arena_used = 0;

__attribute__((unused)) static void	*kel_preload_arena_alloc(size_t size){
size_t	need = (size + 15) & ~(size_t)15;
size_t	start = __atomic_fetch_add(&kel_preload_arena_used, need, __ATOMIC_RELAXED);
if(start + need > sizeof(kel_preload_arena)) return NULL;
return kel_preload_arena + start;
}

__attribute__((unused)) static int	kel_preload_in_arena(const void *p){
return (const unsigned char *)p >= kel_preload_arena && (const unsigned char *)p < kel_preload_arena + sizeof(kel_preload_arena);
}

static void	kel_preload_copy(void *to, const void *from, size_t size){
size_t	i;
for(i = 0; i < size; i++) ((unsigned char *)to)[i] = ((const unsigned char *)from)[i];
}

static void	*kel_preload_symbol(const char *name){
void	*f;
kel_preload_resolving++;
f = dlsym(RTLD_NEXT, name);
kel_preload_resolving--;
if(f == NULL){
	static const char	text[] = "KEL: preload: no definition to call after the binding's for ";
	if(write(2, text, sizeof(text) - 1) < 0 || write(2, name, strlen(name)) < 0 || write(2, "\n", 1) < 0) abort();
	abort();
	}
return f;
}

/* The trace ends when the binding is unloaded, after the program's exit handlers and the destructors
   of the libraries loaded after it, so that their releases are traced too. */
static int	kel_preload_atexit(void (*stop)(void)){
(void)stop;
return 0;
}

static void	kel_preload_stop(void) __attribute__((destructor));
static void	kel_preload_stop(void){
if(kel_preload_state != 1) return;
KEL_PRELOAD_FREERES
kel_preload_busy = 2;
kel_preload_state = 3;
if(kel_started == 1) kel_stop();
}

static pthread_mutex_t	kel_preload_lock = PTHREAD_MUTEX_INITIALIZER;

static void	kel_preload_start_child(void){
kel_preload_busy = 2;
pthread_mutex_lock(&kel_preload_lock);
if(kel_preload_state == 2){
	kel_start("kel_preload_child");
	kel_preload_state = kel_started == 1 ? 1 : 3;
	}
pthread_mutex_unlock(&kel_preload_lock);
kel_preload_busy = 0;
}

/* The dynamic loader's own blocks (a thread's TLS, a dlopen's maps) are not the program's. */
static uintptr_t	kel_preload_loader_start = 0;
static uintptr_t	kel_preload_loader_end = 0;

static int	kel_preload_find_loader(struct dl_phdr_info *info, size_t size, void *base){
ElfW(Half)	i;
(void)size;
if(info->dlpi_addr != (ElfW(Addr))(uintptr_t)base) return 0;
for(i = 0; i < info->dlpi_phnum; i++){
	uintptr_t	start = (uintptr_t)info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
	uintptr_t	end = start + info->dlpi_phdr[i].p_memsz;
	if(info->dlpi_phdr[i].p_type != PT_LOAD) continue;
	if(kel_preload_loader_start == 0 || start < kel_preload_loader_start) kel_preload_loader_start = start;
	if(end > kel_preload_loader_end) kel_preload_loader_end = end;
	}
return 1;
}

/* `caller`: the return address of the call. */
static int	kel_preload_enter(const void *caller){
if(kel_preload_busy) return 0;
if((uintptr_t)caller >= kel_preload_loader_start && (uintptr_t)caller < kel_preload_loader_end) return 0;
if(kel_preload_state != 1){
	if(kel_preload_state != 2) return 0;
	kel_preload_start_child();
	if(kel_preload_state != 1) return 0;
	}
kel_preload_busy = 1;
return 1;
}

/* A stream's buffer is allocated at its first read. Inside a traced call (getline) that allocation
   would go untraced and its release by fclose would look unknown: the first read is made before. */
__attribute__((unused)) static void	kel_preload_prime(FILE *stream){
int	c;
if(kel_preload_state != 1 || kel_preload_busy || stream == NULL) return;
if(__fbufsize(stream) != 0 || !__freadable(stream) || __fwriting(stream)) return;
c = getc(stream);
if(c != EOF) ungetc(c, stream);
}

/* The blocks allocated while nothing was traced (before the start; by the runtime; by the loader: a
   thread's TLS),
   by address. Their release is not traced: it would read as the release of an unknown block. */
#define KEL_PRELOAD_UNSEEN	8192
static uintptr_t	kel_preload_unseen[KEL_PRELOAD_UNSEEN];

static size_t	kel_preload_unseen_slot(const void *p){
return (size_t)(((uint64_t)(uintptr_t)p >> 4) * 0x9E3779B97F4A7C15ull >> 51);
}

__attribute__((unused)) static int	kel_preload_unseen_wanted(const void *caller){
if(kel_preload_busy) return kel_preload_busy == 2;
return kel_preload_state == 0 || ((uintptr_t)caller >= kel_preload_loader_start && (uintptr_t)caller < kel_preload_loader_end);
}

/* Lock-free: a slot is 0 (never used), 1 (released) or an address. */
__attribute__((unused)) static void	kel_preload_unseen_add(const void *p){
size_t	i, at = kel_preload_unseen_slot(p);
if(p == NULL) return;
for(i = 0; i < 64; i++){
	uintptr_t	*slot = &kel_preload_unseen[(at + i) % KEL_PRELOAD_UNSEEN];
	uintptr_t	seen = __atomic_load_n(slot, __ATOMIC_RELAXED);
	if((seen == 0 || seen == 1) && __atomic_compare_exchange_n(slot, &seen, (uintptr_t)p, 0, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) return;
	}
}

__attribute__((unused)) static int	kel_preload_unseen_take(const void *p){
size_t	i, at = kel_preload_unseen_slot(p);
for(i = 0; i < KEL_PRELOAD_UNSEEN; i++){
	uintptr_t	*slot = &kel_preload_unseen[(at + i) % KEL_PRELOAD_UNSEEN];
	uintptr_t	seen = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
	if(seen == 0) return 0;
	if(seen == (uintptr_t)p) return __atomic_compare_exchange_n(slot, &seen, 1, 0, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
	}
return 0;
}

static void	kel_preload_leave(void){
kel_preload_busy = 0;
}

/* No record is half written when the process forks. */
static void	kel_preload_fork_prepare(void){
KEL_PRELOAD_LOCK
}

static void	kel_preload_fork_parent(void){
KEL_PRELOAD_UNLOCK
}

/* The child leaves the parent's trace alone (its buffered records are the parent's) and, when followed,
   starts its own at its first traced call: a child that only calls exec leaves no trace of its own
   before the program it runs starts one. */
static void	kel_preload_fork_child(void){
KEL_PRELOAD_REINIT
if(kel_started == 1 && kel_tracefile != NULL){
	kel_preload_busy = 2;
	__fpurge(kel_tracefile);
	fclose(kel_tracefile);
	kel_tracefile = NULL;
	kel_preload_busy = 0;
	}
if(kel_preload_state == 1 || kel_preload_state == 2){
	kel_started = 0;
	kel_stop_called = 0;
	kel_preload_state = kel_preload_follow ? 2 : 3;
	}
}

/* Not followed: the programs this process runs are not traced, so the binding leaves LD_PRELOAD. */
static void	kel_preload_unlist(void){
Dl_info	info;
const char	*list = getenv("LD_PRELOAD");
const char	*own;
const char	*p;
static char	kept[8192];
size_t	used = 0;
if(list == NULL || dladdr((void *)kel_preload_unlist, &info) == 0 || info.dli_fname == NULL) return;
own = strrchr(info.dli_fname, '/');
own = own ? own + 1 : info.dli_fname;
for(p = list; *p;){
	const char	*end = p;
	const char	*base = p;
	size_t	size;
	while(*end && *end != ':' && *end != ' ') end++;
	size = (size_t)(end - p);
	for(const char *c = p; c < end; c++) if(*c == '/') base = c + 1;
	if(size > 0 && !((size_t)(end - base) == strlen(own) && strncmp(base, own, strlen(own)) == 0)){
		if(used + size + 2 > sizeof(kept)) return;
		if(used > 0) kept[used++] = ':';
		kel_preload_copy(kept + used, p, size);
		used += size;
		}
	p = *end ? end + 1 : end;
	}
kept[used] = 0;
if(used == 0) unsetenv("LD_PRELOAD");
else setenv("LD_PRELOAD", kept, 1);
}

/* After the runtime's constructor has started the trace. */
static void	kel_preload_init(void) __attribute__((constructor(102)));
static void	kel_preload_init(void){
const char	*follow = getenv("KEL_FOLLOW_CHILDREN");
const char	*dir = getenv("KEL_TRACE_DIR");
kel_preload_busy = 2;
/* A child's own file: per-process names, or a trace folder (which adds the process id). */
kel_preload_follow = follow != NULL && strcmp(follow, "1") == 0 && (KEL_PRELOAD_PER_PROCESS || (dir != NULL && *dir != 0));
if(follow == NULL || strcmp(follow, "1") != 0) kel_preload_unlist();
pthread_atfork(kel_preload_fork_prepare, kel_preload_fork_parent, kel_preload_fork_child);
if(getauxval(AT_BASE) != 0) dl_iterate_phdr(kel_preload_find_loader, (void *)(uintptr_t)getauxval(AT_BASE));
kel_preload_state = kel_started == 1 ? 1 : 3;
kel_preload_busy = 0;
}

)";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string stateText(const Template& t, bool freesTraced) {
    const bool posix = mutexKind(t) == MutexKind::posix;
    std::string s = kState;
    s = replaceAll(s, "KEL_PRELOAD_LOCK\n", posix ? "if(kel_preload_state == 1) pthread_mutex_lock(&kel_mutex);\n" : "");
    s = replaceAll(s, "KEL_PRELOAD_UNLOCK\n",
                   posix ? "if(kel_preload_state == 1) pthread_mutex_unlock(&kel_mutex);\n" : "");
    s = replaceAll(s, "KEL_PRELOAD_REINIT\n",
                   posix ? "if(kel_preload_state == 1) pthread_mutex_init(&kel_mutex, NULL);\n" : "");
    s = replaceAll(s, "KEL_PRELOAD_PER_PROCESS", t.trace_per_process ? "1" : "0");
    // With free traced: the C library's own blocks (the standard streams'
    // buffers) are released before the end, as a memory checker does.
    s = replaceAll(s, "KEL_PRELOAD_FREERES\n",
                   freesTraced ? "{\n\tvoid (*freeres)(void);\n\t*(void **)&freeres = dlsym(RTLD_DEFAULT, \"__libc_freeres\");\n"
                                 "\tif(freeres != NULL) freeres();\n\t}\n"
                               : "");
    return s;
}

bool bindsFree(const Template& t) {
    for (const Tor* tor : fixedParameterTors(t))
        if (tor->name == "free") return true;
    return false;
}

const char* const kVisible = "__attribute__((visibility(\"default\"))) ";

// __real_NAME: the next definition, looked up at the first call. malloc,
// calloc and realloc called by dlsym itself get the arena.
void writeRealFunction(const Tor& tor, std::ostream& out) {
    const std::string& name = tor.name;
    const std::string ret = returnType(tor);
    const std::string params = parameterList(tor);
    const std::string pointer = ret + " (*next)(" + params + ")";
    line(out, "#undef ", name);
    line(out, "static ", ret, " (*kel_next_", name, ")(", params, ");");
    line(out, ret, " __real_", name, "(", params, "){");
    line(out, pointer, " = __atomic_load_n(&kel_next_", name, ", __ATOMIC_ACQUIRE);");
    line(out, "if(next == NULL){");
    if (name == "malloc" && tor.args.size() == 2) {
        line(out, "\tif(kel_preload_resolving) return kel_preload_arena_alloc(", tor.args[1].name, ");");
    } else if (name == "calloc" && tor.args.size() == 3) {
        line(out, "\tif(kel_preload_resolving) return kel_preload_arena_alloc(", tor.args[1].name, " * ",
             tor.args[2].name, ");");
    }
    line(out, "\t*(void **)&next = kel_preload_symbol(", quoted(name), ");");
    line(out, "\t__atomic_store_n(&kel_next_", name, ", next, __ATOMIC_RELEASE);");
    line(out, "\t}");
    line(out, isVoid(ret) ? "" : "return ", "next(", parameterNames(tor), ");");
    line(out, "}");
    line(out);
}

// NAME itself: the call traced through __wrap_NAME, or, inside the binding
// and outside the trace, passed on.
bool isStream(std::string type) {
    type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
    return type == "FILE*";
}

void writeEntry(const Tor& tor, bool primesStreams, std::ostream& out) {
    const std::string& name = tor.name;
    const std::string ret = returnType(tor);
    const std::string args = parameterNames(tor);
    const bool isVoidCall = isVoid(ret);
    line(out, kVisible, ret, " ", name, "(", parameterList(tor), "){");
    // Blocks of the arena are not the C library's.
    if (name == "free" && tor.args.size() == 2) {
        line(out, "if(kel_preload_in_arena(", tor.args[1].name, ")) return;");
    } else if (name == "realloc" && tor.args.size() == 3) {
        const std::string& p = tor.args[1].name;
        const std::string& size = tor.args[2].name;
        line(out, "if(kel_preload_in_arena(", p, ")){");
        line(out, "\tvoid *moved;");
        line(out, "\tsize_t room = (size_t)(kel_preload_arena + sizeof(kel_preload_arena) - (unsigned char *)", p, ");");
        line(out, "\tif(kel_preload_resolving) moved = kel_preload_arena_alloc(", size, ");");
        line(out, "\telse moved = ((void *(*)(size_t))kel_preload_symbol(\"malloc\"))(", size, ");");
        line(out, "\tif(moved != NULL) kel_preload_copy(moved, ", p, ", ", size, " < room ? ", size, " : room);");
        line(out, "\treturn moved;");
        line(out, "\t}");
        line(out, "if(kel_preload_resolving) return kel_preload_arena_alloc(", size, ");");
    }
    if (primesStreams)
        for (std::size_t i = 1; i < tor.args.size(); ++i)
            if (isStream(tor.args[i].type)) line(out, "kel_preload_prime(", tor.args[i].name, ");");
    line(out, "const void *caller = __builtin_return_address(0);");
    // The C library's own allocator calls: a block it allocated while nothing
    // was traced is released untraced too.
    if ((name == "malloc" && tor.args.size() == 2) || (name == "calloc" && tor.args.size() == 3)) {
        line(out, "if(!kel_preload_enter(caller)){");
        line(out, "\tvoid *result = __real_", name, "(", args, ");");
        line(out, "\tif(kel_preload_unseen_wanted(caller)) kel_preload_unseen_add(result);");
        line(out, "\treturn result;");
        line(out, "\t}");
    } else if (name == "realloc" && tor.args.size() == 3) {
        const std::string& p = tor.args[1].name;
        const std::string& size = tor.args[2].name;
        line(out, "int unseen = ", p, " != NULL && kel_preload_unseen_take(", p, ");");
        line(out, "if(unseen || !kel_preload_enter(caller)){");
        line(out, "\tvoid *result = __real_realloc(", args, ");");
        line(out, "\tif(result == NULL){ if(unseen && ", size, " != 0) kel_preload_unseen_add(", p, "); }");
        line(out, "\telse if(unseen || kel_preload_unseen_wanted(caller)) kel_preload_unseen_add(result);");
        line(out, "\treturn result;");
        line(out, "\t}");
    } else if (name == "free" && tor.args.size() == 2) {
        const std::string& p = tor.args[1].name;
        line(out, "if((", p, " != NULL && kel_preload_unseen_take(", p, ")) || !kel_preload_enter(caller)){ __real_free(",
             p, "); return; }");
    } else {
        line(out, "if(!kel_preload_enter(caller)) ", isVoidCall ? "{" : "return ", "__real_", name, "(", args, ");",
             isVoidCall ? " return;}" : "");
    }
    if (isVoidCall) {
        line(out, "__wrap_", name, "(", args, ");");
        line(out, "kel_preload_leave();");
    } else {
        line(out, "{");
        line(out, "\t", ret, " result = __wrap_", name, "(", args, ");");
        line(out, "\tkel_preload_leave();");
        line(out, "\treturn result;");
        line(out, "\t}");
    }
    line(out, "}");
    line(out);
}

// A variadic tor whose wrapper hands its arguments to a va_list function
// (va_forward): bound when that function is bound too, its calls traced as
// that function's.
bool writeForwardingEntry(const Template& t, const Tor& tor, const std::set<std::string>& bound, std::ostream& out) {
    if (!forwardsVariadic(tor) || bound.count(tor.va_forward) == 0) return false;
    const Tor named = namedPart(tor);
    if (named.args.size() < 2) return false;
    const std::string ret = returnType(tor);
    const std::string fixed = parameterNames(named);
    const std::string last = named.args.back().name;
    const bool isVoidCall = isVoid(ret);
    line(out, "/* ", tor.name, ": traced as ", tor.va_forward, ", which it calls with its variable arguments. */");
    line(out, "#undef ", tor.name);
    line(out, kVisible, ret, " ", tor.name, "(", declaredParameters(named), "...){");
    line(out, "va_list kel_preload_args;");
    if (!isVoidCall) line(out, ret, " result;");
    line(out, "va_start(kel_preload_args, ", last, ");");
    const std::string assign = isVoidCall ? "" : "result = ";
    line(out, "if(!kel_preload_enter(__builtin_return_address(0))) ", assign, "__real_", tor.va_forward, "(", fixed, ", kel_preload_args);");
    line(out, "else {");
    line(out, "\t", assign, t.prefix, tor.va_forward, "(", fixed, ", kel_preload_args, ", quoted(kNoCallSite), ", 0);");
    line(out, "\tkel_preload_leave();");
    line(out, "\t}");
    line(out, "va_end(kel_preload_args);");
    if (!isVoidCall) line(out, "return result;");
    line(out, "}");
    line(out);
    return true;
}

// Read with va_arg: a type that promotion would change cannot be.
bool promotes(std::string type) {
    if (type.find('*') != std::string::npos) return false;
    for (const char* small : {"char", "short", "float", "bool", "_Bool"})
        if (type.find(small) != std::string::npos) return true;
    return false;
}

// A tor with optional parameters is a variadic C function (open's mode):
// the entry reads every optional parameter, passed or not, as the C
// library's own definition does where the flags ask for it, and the calls
// go to the wrapper of the whole list (its records are those of every
// arity). False when a parameter could not be read so.
bool writeOptionalEntry(const Template& t, const Tor& tor, std::ostream& out) {
    const std::size_t required = requiredParameters(tor);
    const std::size_t all = tor.args.size() - 1;
    if (required == 0) return false;
    for (std::size_t i = required + 1; i <= all; ++i)
        if (promotes(tor.args[i].type)) return false;
    const Tor fixed = withParameters(tor, required);
    const std::string ret = returnType(tor);
    const std::string& name = tor.name;
    const bool isVoidCall = isVoid(ret);
    const std::string head = ret + " (*next)(" + declaredParameters(fixed) + "...)";
    line(out, "/* ", name, ": its optional parameters are read whether passed or not. */");
    line(out, "static ", ret, " (*kel_next_", name, ")(", declaredParameters(fixed), "...);");
    line(out, kVisible, ret, " ", name, "(", declaredParameters(fixed), "...){");
    line(out, "const void *caller = __builtin_return_address(0);");
    line(out, "va_list kel_preload_args;");
    for (std::size_t i = required + 1; i <= all; ++i) line(out, tor.args[i].type, " ", tor.args[i].name, ";");
    line(out, "va_start(kel_preload_args, ", tor.args[required].name, ");");
    for (std::size_t i = required + 1; i <= all; ++i)
        line(out, tor.args[i].name, " = va_arg(kel_preload_args, ", tor.args[i].type, ");");
    line(out, "va_end(kel_preload_args);");
    line(out, "if(!kel_preload_enter(caller)){");
    line(out, "\t", head, " = __atomic_load_n(&kel_next_", name, ", __ATOMIC_ACQUIRE);");
    line(out, "\tif(next == NULL){");
    line(out, "\t\t*(void **)&next = kel_preload_symbol(", quoted(name), ");");
    line(out, "\t\t__atomic_store_n(&kel_next_", name, ", next, __ATOMIC_RELEASE);");
    line(out, "\t\t}");
    line(out, "\t", isVoidCall ? "" : "return ", "next(", parameterNames(tor), ");");
    if (isVoidCall) line(out, "\treturn;");
    line(out, "\t}");
    line(out, "{");
    line(out, "\t", isVoidCall ? "" : ret + " result = ", t.prefix, arityName(tor, all), "(", passedParameters(tor),
         quoted(kNoCallSite), ", 0);");
    line(out, "\tkel_preload_leave();");
    if (!isVoidCall) line(out, "\treturn result;");
    line(out, "\t}");
    line(out, "}");
    line(out);
    return true;
}

void writeEntries(const Template& t, std::ostream& out) {
    const std::vector<const Tor*> tors = fixedParameterTors(t);
    std::set<std::string> bound;
    for (const Tor* tor : tors) bound.insert(tor->name);
    line(out, "/* The next definitions: the C library's, or another preloaded library's. */");
    for (const Tor* tor : tors) writeRealFunction(*tor, out);
    line(out, "/* The functions the process calls. */");
    // Only where the heap is traced does a stream's buffer matter.
    const bool primesStreams = bound.count("malloc") != 0;
    for (const Tor* tor : tors) writeEntry(*tor, primesStreams, out);
    std::set<std::string> done = bound;
    for (const Domain& d : t.domains)
        forEachTorSourceOrder(d, [&](const Tor& tor) {
            if (!done.insert(tor.name).second) return;
            if (writeForwardingEntry(t, tor, bound, out)) return;
            if (!isAliased(tor) && hasOptionalParameters(tor) && !isVariadic(tor) && writeOptionalEntry(t, tor, out))
                return;
            std::string why = "its parameters have no fixed list";
            if (isAliased(tor)) why = "it is an alias (cpp_alias)";
            else if (hasOptionalParameters(tor)) why = "an optional parameter's type changes when passed through \"...\"";
            else if (forwardsVariadic(tor)) why = "the function it forwards to is not bound";
            else if (isVariadic(tor)) why = "it is variadic without va_forward";
            line(out, "/* ", tor.name, ": not bound, ", why, ". */");
        });
}

}  // namespace

void writePreloadBinding(const Template& t, const char* templatePath, std::ostream& out) {
    // The linker route's wrappers and real names, and a constructor that
    // starts the trace; the records stay those of the template.
    Template bound = t;
    bound.link_wrap = true;
    bound.auto_start = true;
    std::ostringstream header;
    std::ostringstream source;
    writeHeader(bound, header);
    writeSource(bound, templatePath, source);
    const std::string text = source.str();
    const std::string include = "#include \"kel.h\"\n";
    const std::size_t at = text.find(include);
    if (at == std::string::npos) throw "the runtime does not include its header";
    // kel.c's feature macros, then kel.h in its place.
    out << text.substr(0, at);
    line(out, "#ifndef _GNU_SOURCE");
    line(out, "#define _GNU_SOURCE");
    line(out, "#endif");
    // The C library's headers would define some functions inline
    // (getline): the binding's definitions must be the first, so that they
    // keep their visibility.
    line(out, "#ifndef __NO_INLINE__");
    line(out, "#define __NO_INLINE__ 1");
    line(out, "#endif");
    out << header.str() << kPrelude << text.substr(at + include.size()) << stateText(bound, bindsFree(bound));
    writeEntries(bound, out);
}

int generatePreload(const Template& t, const char* templatePath, const char* sourcePath) {
    if (!checkTemplate(t, templatePath, std::cerr)) return statusTemplateRejected;
    if (t.remote_mode || compiler(t) != Compiler::gcc) {
        std::cerr << "kelgen: " << templatePath
                  << ": a preload binding needs a file trace and compiler_type=\"gcc\"" << std::endl;
        return statusTemplateRejected;
    }
    warnUnknownDomains(t, templatePath, std::cerr);
    OutputFile source(sourcePath);
    if (!source.open(std::cerr)) return statusOutputFailed;
    writePreloadBinding(t, templatePath, source.stream());
    if (!source.finish(std::cerr) || !source.commit(std::cerr)) return statusOutputFailed;
    return statusOk;
}
