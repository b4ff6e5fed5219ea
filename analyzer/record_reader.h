// The record reader: turns the trace's lines after the header into parsed
// records, one part at a time. All reading of records happens here, with
// every check of a field and the message that refuses it; the engines get
// the parsed values and never see the fetcher.
//
// A record is read in the parts between which the engines act, because the
// order of the messages is fixed: a finding of an engine comes before a
// complaint about a later line of the same record. A deallocator is applied
// before its outcome line is read (the program may have died in the call),
// an operator's handles one by one, and a reallocator's size and result only
// after its old handle was looked up.
//
// Fields that are not hexadecimal throw MalformedField; a reallocator record
// the replay cannot go past throws AnalysisExit; the fetcher's failures
// ("eof", "i/o error", "nul byte") pass through, except where a part says
// otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "line_fetchers.h"
#include "frozen_texts.h"
#include "trace_protocol.h"
#include "trace_analysis.h"

bool findDomain(const TraceAnalysis& analysis, std::string_view name, std::size_t& domain);
TorKind findTorKind(const TraceAnalysis& analysis, std::size_t domain, const std::string& name);
// The file and line lines of a record, interned in the analysis's sites.
SiteId readCallSite(CVLineFetcher& fetcher, TraceAnalysis& analysis);

// The first four lines of a record: its domain, its tor and the call site.
struct RecordHead {
    enum class Kind {
        done,     // the closing line instead of a record
        call,     // a call of a tor of a domain
        fork,     // the fork trap: no domain, "fork()" and a call site
        invalid,  // the replay cannot go on (said on err where there is something to say)
    };
    Kind kind = Kind::done;
    std::size_t domain = 0;
    const std::string* tor = nullptr;  // the template's copy of the name, which outlives the line
    TorKind torKind = TorKind::none;
    SiteId site = kNoSite;
};

// A deallocator's handle, as read before the release is applied.
struct ReleaseCall {
    // The handle's text as the trace wrote it (1 to 16 digits), for a
    // message after the line is gone.
    char written[kelproto::kHex16Digits];
    std::size_t writtenSize = 0;
    std::string_view writtenText() const { return std::string_view(written, writtenSize); }
};

// What the line after a deallocator's handle says about the call.
enum class ReleaseOutcome {
    succeeded,  // "OK" or "void"
    failed,     // "BAD": the call reported failure
    died,       // no line: the program ended inside the call
    cut,        // zero bytes instead: the program died inside the call, and other records follow
    malformed,  // any other text (said on err)
};

// One handle that an operator record lists.
struct OperatedHandle {
    std::size_t domain = 0;
    HandleState state = valid;
    std::uint64_t handle = 0;
};

// A reallocator's old handle line and, for a BAD old handle, the rest of
// the record: a call on a BAD handle is read whole before it is replayed.
struct ReallocHead {
    bool fromBad = false;
    std::uint64_t oldHandle = 0;  // a valid old handle only
    // From a BAD handle only:
    std::uint64_t newSize = 0;
    bool succeeded = false;
    std::uint64_t newHandle = 0;
};

// The lines of a reallocator record of a valid old handle after that handle,
// which the engine asks for as the table's answers lead it.
class ReallocLines {
public:
    virtual ~ReallocLines() = default;
    // The new size: 16 digits, else the record ends the program (255).
    virtual std::uint64_t newSize() = 0;
    // realloc(p, 0) freed p: its result and handle lines, not examined.
    virtual void skipResult() = 0;
    // The result; for a call that succeeded, true and its new handle ("OK "
    // and the handle, else the record ends the program with 255).
    virtual bool newHandle(std::uint64_t& handle) = 0;
};

class RecordReader : public ReallocLines {
public:
    RecordReader(CVLineFetcher& fetcher, TraceAnalysis& analysis);

    // The next record's head; its first line is kept as the analysis's
    // recordLine. The live sampler, if any, is told of every record.
    RecordHead readHead();

    // The rest of an allocator record into `record` (size, handle, states,
    // allocatedAt). False: malformed (said on err).
    bool readAllocatorRecord(const RecordHead& head, HandleRecord& record);
    // A deallocator's handle line into `record` (handle, handleState,
    // deallocatedAt). False: malformed (said on err).
    bool readDeallocatorRecord(const RecordHead& head, HandleRecord& record, ReleaseCall& call);
    // The deallocator's outcome line, then (after the engines have seen a
    // failure) its closing "-" line: false when that is something else.
    ReleaseOutcome readReleaseOutcome();
    bool readReleaseEnd();
    // The operator record's next handle; false at its end (its result "-"
    // and the handle line after it read), or for a malformed line (said on
    // err), which `malformed` tells apart.
    bool readOperatorRecord(OperatedHandle& operated, bool& malformed);
    // The reallocator's old handle line (and for BAD the whole rest).
    ReallocHead readReallocHead();

    std::uint64_t newSize() override;
    void skipResult() override;
    bool newHandle(std::uint64_t& handle) override;

private:
    // A reallocator's result line: "OK", or anything else, after which its
    // handle line is read without being examined.
    bool callSucceeded(std::string_view& text);
    // "Unexpected value 'X' at N." and "Unexpected format string ... tracer:NNN".
    void complainValue(std::string_view text, std::int64_t number);
    void complainFormat(std::string_view text, std::int64_t number, frozen::Text tag);

    CVLineFetcher& fetcher_;
    TraceAnalysis& analysis_;
};
