// The consequences of the template's settings, computed once: what each mutex
// kind and each trace target puts into the generated text, and the tor walks
// and argument helpers that the writers and the checks share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gen_xml_sax_read.h"

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
// The errlogmode that names a file (neither "" nor "console").
bool errlogIsFile(const Template& t);

// Host and port of a remote trace_target: the text before and after the first
// ':' among its first 99 characters, the port cut to 7 characters. False when
// there is no ':'.
bool splitTarget(const std::string& target, std::string& host, std::string& port);

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
