// The report of one analysis: every finding the engines and the leak report
// make goes through Report::add, which counts it, applies the suppression
// rules, groups it when a grouped view or an output file needs groups, keeps
// its occurrence for the JSON file, and prints its message at once unless
// --group is given or a rule suppresses it. Owned by the TraceAnalysis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "findings.h"
#include "handle_table.h"
#include "message_text.h"

// One line of a suppressions file: kind (or any kind) and a shell glob.
struct SuppressionRule {
    bool anyKind = false;
    FindingKind kind = FindingKind::leak;
    std::string pattern;
};

// Reads one suppressions file and appends its rules. False, with `problem`
// set to one line naming FILE:LINE (or the file), when the file cannot be
// read or a rule is malformed.
bool readSuppressions(const std::string& path, std::vector<SuppressionRule>& rules, std::string& problem);

struct ReportSettings {
    bool group = false;               // no live lines: groups and a summary at the end
    bool keepGroups = false;          // groups are needed (--group, --json, --sarif)
    bool keepOccurrences = false;     // every occurrence is kept (--json)
    std::size_t maxOccurrences = 0;   // occurrences kept per group; 0: all
    // Lines are held and written to out in blocks of about 64 KB (flushLines
    // writes what is held): for a file, where nobody watches them arrive.
    bool holdLines = false;
    std::vector<SuppressionRule> suppressions;
};

// A finding as an engine sees it. The pointers are read during add() only.
struct Finding {
    FindingKind kind = FindingKind::leak;
    const std::string* domain = nullptr;  // none for a fork() call
    const std::string* tor = nullptr;
    bool hasHandle = false;
    std::uint64_t handle = 0;
    const CallSite* call = nullptr;         // the call the finding is about (none for a leak)
    const CallSite* allocated = nullptr;    // where the resource was allocated
    const CallSite* deallocated = nullptr;  // where it was released before
    std::uint64_t bytes = 0;
    bool sized = false;  // bytes is a size in bytes (a domain with float_handle)
};

class Report {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    struct Site {
        std::uint32_t file = kNone, line = kNone;  // interned texts; kNone: no site
    };
    struct Occurrence {
        std::uint64_t handle = 0;
        std::uint64_t bytes = 0;
        Site call, allocated, deallocated;
        bool hasHandle = false;
        std::uint32_t trace = kNone;  // in a report over many traces: the trace's name
    };
    struct Group {
        FindingKind kind;
        bool suppressed;
        std::uint32_t domain, tor;  // interned texts; domain kNone for fork()
        Site site;                  // the call, or for a leak the allocation
        std::uint64_t count = 0;
        std::uint64_t bytes = 0;
        bool sized = false;
        std::vector<Occurrence> occurrences;  // the first ones, up to the cap
        // In a report over many traces: how many traces had this group, and
        // the first of them by name.
        std::uint32_t traces = 0;
        std::uint32_t firstTrace = kNone;
    };
    struct Totals {
        std::uint64_t errors = 0;    // unsuppressed findings of severity error, leaks included
        std::uint64_t warnings = 0;  // unsuppressed warnings
        std::uint64_t leaks = 0;     // unsuppressed leaks
        std::uint64_t bytesLeaked = 0;
        std::uint64_t suppressed = 0;
    };

    explicit Report(std::ostream& out = std::cout, ReportSettings settings = {});

    // Records the finding; when it is to be shown at once, calls
    // write(message) to assemble its text and writes the line (or holds it,
    // with holdLines). The message is formatted only then. Lines are not
    // flushed one by one: whoever waits for input or writes elsewhere calls
    // flushLines and flushes out first.
    template <class Write>
    void add(const Finding& f, Write&& write) {
        if (record(f)) {
            write(lines_);
            lines_.endLine();
            if (!settings_.holdLines || lines_.size() >= kHeldBytes) flushLines();
        }
    }
    // Writes the lines held, if any, to out (without flushing it).
    void flushLines() {
        if (lines_.size() == 0) return;
        lines_.writeTo(out_);
        lines_.clear();
    }

    // The id of a tor name, for HandleRecord::tor; cheap for repeated names.
    std::uint32_t torId(const std::string& name);
    const std::string& text(std::uint32_t id) const { return *texts_[id]; }

    const Totals& totals() const { return totals_; }
    const ReportSettings& settings() const { return settings_; }
    // The groups, most frequent first (first seen first among equal counts).
    std::vector<const Group*> sortedGroups() const;

    // The kind of the finding recorded last, suppressed or not; null for none.
    const FindingKind* lastKind() const { return hasLast_ ? &last_ : nullptr; }

    // Adds the groups, occurrences and totals of one trace's report to this
    // one, which then reports over many traces. Traces are absorbed in the
    // order they are named, so the result does not depend on which analysis
    // finished first.
    void absorb(const Report& trace, const std::string& traceName);
    // The traces absorbed; 0 for the report of a single analysis.
    std::uint32_t traceCount() const { return traces_; }

    // The --group view: one line per unsuppressed group, then the summary.
    // A note (how the analysis ended) closes the summary line after "; ".
    void printGroups(std::ostream& out, const std::string& note = "") const;
    void printSummary(std::ostream& out, const std::string& note = "") const;

private:
    struct GroupKey {
        std::uint32_t domain, tor, file, line;
        unsigned char kind;
        bool suppressed;
        bool operator==(const GroupKey& o) const {
            return domain == o.domain && tor == o.tor && file == o.file && line == o.line && kind == o.kind &&
                   suppressed == o.suppressed;
        }
    };
    struct GroupKeyHash {
        std::size_t operator()(const GroupKey& k) const;
    };

    // Counts, groups and keeps the finding; true when its message is printed.
    bool record(const Finding& f);
    bool suppressed(const Finding& f) const;
    std::uint32_t intern(const std::string& text);
    Site internSite(const CallSite* site);

    static constexpr std::size_t kHeldBytes = 64 * 1024;
    std::ostream& out_;
    MessageText lines_;  // the lines not written yet
    ReportSettings settings_;
    Totals totals_;
    std::unordered_map<std::string, std::uint32_t> ids_;
    std::vector<const std::string*> texts_;  // keys of ids_, by id
    std::vector<std::pair<const std::string*, std::uint32_t>> torCache_;
    std::unordered_map<GroupKey, std::size_t, GroupKeyHash> groupIndex_;
    std::vector<Group> groups_;
    FindingKind last_ = FindingKind::leak;
    bool hasLast_ = false;
    std::uint32_t traces_ = 0;
};
