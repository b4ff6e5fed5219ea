// The kinds of finding keltrace reports. Every place that names a kind (the
// live messages' report, --group, suppressions, JSON, SARIF, the usage text)
// takes it from the one table below, so a new kind is one line there plus
// the engine code that reports it.
#pragma once

#include <cstddef>
#include <string_view>

enum class Severity { error, warning };

// X(enumerator, id, severity, short description)
#define KEL_FINDING_KINDS(X)                                                                                  \
    X(leak, "leak", error, "a resource still allocated when the trace ends")                                \
    X(doubleFree, "double-free", error, "a release of a resource that was already released")                \
    X(unallocatedFree, "unallocated-free", error, "a release of a handle that was never allocated")          \
    X(neverUsed, "never-used", warning, "a resource released without any use since its allocation")          \
    X(badHandleUse, "bad-handle-use", error, "a use of a handle that the program itself marked bad")         \
    X(untrackedUse, "untracked-use", error, "a use of a handle that was never allocated")                    \
    X(useAfterFree, "use-after-free", error, "a use of a resource after its release")                        \
    X(alreadyAllocated, "already-allocated", error, "an allocation of a handle that is still allocated")     \
    X(reallocUntracked, "realloc-untracked", error, "a reallocation of an untracked handle (replay stops)")  \
    X(zeroAlloc, "zero-alloc", warning, "an allocation of zero bytes")                                       \
    X(sameSizeRealloc, "same-size-realloc", warning, "a reallocation to the size the block already has")     \
    X(failedFree, "failed-free", warning, "a release whose call reported failure")                           \
    X(diedInside, "died-inside", error, "the trace ends inside a release: the program died there")          \
    X(fork, "fork", error, "a fork() call that the template forbids")                                     \
    X(freeInterior, "free-interior", error, "a release of an address inside a block, not of the block itself")

enum class FindingKind : unsigned char {
#define KEL_FINDING_ENUM(name, id, severity, text) name,
    KEL_FINDING_KINDS(KEL_FINDING_ENUM)
#undef KEL_FINDING_ENUM
};

struct FindingKindInfo {
    FindingKind kind;
    const char* id;
    Severity severity;
    const char* description;
};

// Every kind, in the table's order.
extern const FindingKindInfo kFindingKinds[];
extern const std::size_t kFindingKindCount;

inline const FindingKindInfo& findingInfo(FindingKind kind) { return kFindingKinds[static_cast<std::size_t>(kind)]; }

// The kind whose id is `id`; false for none.
bool findingKindById(std::string_view id, FindingKind& kind);

const char* severityName(Severity severity);
