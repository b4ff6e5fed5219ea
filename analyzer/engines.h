// The handle tracking engines: each takes one parsed call and applies it to
// the table of its domain, reporting misuse at once. They never read the
// trace; the record reader hands them what it parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "record_reader.h"
#include "trace_analysis.h"

void AllocatorEngine(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                     const HandleRecord& record);
void DeallocatorEngine(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                       const HandleRecord& record);
bool OperatorEngine(TraceAnalysis& analysis, std::size_t domain, HandleState state, std::uint64_t handle,
                    const std::string& tor, SiteId site);
// A reallocator call whose old handle line `head` holds. For a valid old
// handle what follows depends on the table, so the engine asks `rest` for
// the size and the result when it needs them. False ends the replay.
bool ReallocatorEngine(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                       HandleRecord& record, const ReallocHead& head, ReallocLines& rest);

// A deallocator's outcome after the release was applied: the program died
// inside the call (`written` is the handle as the trace wrote it), or the
// call reported failure.
void releaseDied(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                 const HandleRecord& record, std::string_view written);
void releaseFailed(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                   const HandleRecord& record);
// The fork trap: fork() called where the template forbids it.
void forkCalled(TraceAnalysis& analysis, SiteId site);
