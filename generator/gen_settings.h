// The consequences of the template's settings, computed once: each string
// setting decided into an enum, what each mutex kind and each trace target
// puts into the generated text, and the tor walks, look-ups and argument
// helpers that the writers and the checks share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "template_reader.h"

// The compiler the generated code is written for (compiler_type). Any other
// name writes the runtime without the compiler's own lines.
enum class Compiler { gcc, win32, other };
Compiler compiler(const Template& t);

// Where kelerrlog writes (errlogmode): nowhere (""), to standard error
// ("console"), or appends to the file it names.
enum class ErrorLog { none, console, file };
ErrorLog errorLog(const Template& t);

// mapped_records in effect: a trace file written by gcc's runtime. Other
// compilers keep the writer the other attributes choose.
bool mapsRecords(const Template& t);

// How the generated code serialises its trace records.
enum class MutexKind { none, posix, win32 };
MutexKind mutexKind(const Template& t);

// The blocks of one mutex kind. An empty block writes nothing.
struct MutexBlocks {
    std::vector<const char*> includes;       // kel.h, after the linkage block opens
    std::vector<const char*> global;         // kel.h, first of the globals
    std::vector<const char*> wrapperLocals;  // each wrapper's locals
    std::vector<const char*> lock;           // each wrapper, before its domain line
    std::vector<const char*> unlock;         // each wrapper, after its handle line
    std::vector<const char*> startLocals;    // kel_start's locals
    std::vector<const char*> init;           // kel_start, creating the mutex
    std::vector<const char*> stopLocals;     // kel_stop's locals
    std::vector<const char*> destroy;        // kel_stop, releasing the mutex
};
const MutexBlocks& mutexBlocks(MutexKind kind);

// The blocks of one trace target: a file, or a TCP connection.
struct TargetBlocks {
    const char* global;      // kel.h: the handle of the target
    const char* writeField;  // kel_trace: one field, a blank, the line feed
    const char* writeBlank;
    const char* writeEnd;
    const char* check;  // after a write, with trap_on_io_err
    std::vector<const char*> close;  // kel_stop, after the closing line
};
const TargetBlocks& targetBlocks(const Template& t);

bool isVoid(const std::string& type);
bool isAliased(const Tor& tor);
const std::string& returnType(const Tor& tor);
// The name of argument i; positions are checked against args before any
// writer runs, and at() keeps a direct caller from reading past the end.
const std::string& argName(const Tor& tor, std::int64_t i);

// The result line of a tor's record, by its expr type: "void" for a call
// that returns nothing, "-" for a result that is not tested, or a verdict by
// the expr's test.
enum class ResultLine { voidCall, untested, verdict };
ResultLine resultLine(const Tor& tor);

// The C values of a record's size lines: in a domain that tracks sizes,
// float_size_expr (a size computed from the parameters, strdup's strlen(s) + 1,
// where no single argument holds it), or else the arguments at float_arg_n1
// and float_arg_n2 (a second one only with a first).
std::vector<std::string> sizeValues(const Domain& d, const Tor& tor);

// Position of the first domain named `name`, or -1.
int findDomainIndex(const Template& t, const std::string& name);
// release_tor names a deallocator of the tor's own domain `d`, or "DOMAIN:TOR"
// one of another domain (fdopen hands its descriptor over to the stream).
// Null when there is none; `owner` is set to the domain looked in, or to null
// when the template has no domain of that name: a template of streams alone
// has no descriptors to release.
const Tor* findReleaseTor(const Template& t, const Domain& d, const std::string& text, const Domain*& owner);

// Host and port of a remote trace_target: the text before and after the first
// ':' among its first 99 characters, the port cut to 7 characters. False when
// there is no ':'.
bool splitTarget(const std::string& target, std::string& host, std::string& port);

// va_forward: the tor's last args entry is "...", and its wrapper hands the
// caller's variable arguments to the va_list function named there.
bool forwardsVariadic(const Tor& tor);
// The tor without its "..." entry: the named parameters.
Tor namedPart(const Tor& tor);

// Parameters marked optional: trailing ones that callers may leave out, as
// open's mode. Such a tor gets one wrapper per number of arguments, and a
// macro that picks the wrapper by the count of the caller's arguments.
bool hasOptionalParameters(const Tor& tor);
std::size_t requiredParameters(const Tor& tor);
// The tor as called with `count` parameters, and its wrapper's name.
Tor withParameters(const Tor& tor, std::size_t count);
std::string arityName(const Tor& tor, std::size_t count);

// Calls visit(tor, wrapper name) once per wrapper the tor gets: once for an
// ordinary tor, once per accepted argument count for one with optional
// parameters; never for an aliased tor.
template <class F>
void forEachWrapper(const Tor& tor, F visit) {
    if (isAliased(tor)) return;
    if (!hasOptionalParameters(tor)) return visit(tor, tor.name);
    for (std::size_t count = requiredParameters(tor); count + 1 <= tor.args.size(); ++count)
        visit(withParameters(tor, count), arityName(tor, count));
}

// The kind lists in the order the header declares them.
template <class F>
void forEachTorHeaderOrder(const Domain& d, F visit) {
    for (const auto* list : {&d.allocators, &d.deallocators, &d.reallocators, &d.operators})
        for (const Tor& tor : *list) visit(tor);
}

// The kind lists in the order the source defines the wrappers.
template <class F>
void forEachTorSourceOrder(const Domain& d, F visit) {
    for (const auto* list : {&d.allocators, &d.reallocators, &d.operators, &d.deallocators})
        for (const Tor& tor : *list) visit(tor);
}
