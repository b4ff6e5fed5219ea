// The handle tracking engines over a table: every transition of a resource's
// life cycle, with the exact finding it prints and the table it leaves.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "indexed_table.h"
#include "linear_table.h"
#include "tracer.h"
#include "utils_numeric.h"

namespace {

enum class Op { Alloc, Use, UseBad, Free, FreeBad, Realloc, ReallocFailed, ReallocFromBad };

struct Step {
    Op op;
    std::uint64_t handle;     // the handle used, or the old handle of a reallocation
    std::uint64_t size;       // allocation or reallocation size
    const char* line;         // call site is s.c:<line>
    std::uint64_t newHandle;  // reallocations only
    bool continues;           // what ReallocatorEngine must return
};

Step alloc(std::uint64_t h, std::uint64_t size, const char* line) { return {Op::Alloc, h, size, line, 0, true}; }
Step use(std::uint64_t h, const char* line) { return {Op::Use, h, 0, line, 0, true}; }
Step useBad(std::uint64_t h, const char* line) { return {Op::UseBad, h, 0, line, 0, true}; }
Step freeIt(std::uint64_t h, const char* line) { return {Op::Free, h, 0, line, 0, true}; }
Step freeBad(std::uint64_t h, const char* line) { return {Op::FreeBad, h, 0, line, 0, true}; }
Step realloc(std::uint64_t h, std::uint64_t size, std::uint64_t to, const char* line, bool continues = true) {
    return {Op::Realloc, h, size, line, to, continues};
}
Step reallocFailed(std::uint64_t h, std::uint64_t size, const char* line) {
    return {Op::ReallocFailed, h, size, line, 0, true};
}
Step reallocFromBad(std::uint64_t size, std::uint64_t to, const char* line) {
    return {Op::ReallocFromBad, 0, size, line, to, true};
}

struct Expected {
    std::uint64_t handle;
    std::uint64_t size;
    ResourceState state;
    const char* allocatedLine;
    const char* deallocatedLine;  // "" while not deallocated
};

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<Expected> table;  // the mem domain's table afterwards
    const char* out;              // every finding, in order
};

// The lines a reallocator's wrapper writes after its call site, in a real
// file read by a real fetcher.
class LinesFile {
public:
    explicit LinesFile(const std::vector<std::string>& lines) {
        char name[] = "/tmp/kel_engine_XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) std::abort();
        close(fd);
        path = name;
        std::ofstream f(path);
        for (const std::string& l : lines) f << l << '\n';
    }
    ~LinesFile() { std::remove(path.c_str()); }
    std::string path;
};

// Every test runs over both kinds of table: the linear one, which the
// expectations are worked out for, and the indexed one keltrace uses.
HandleTableFactory tablesNamed(const std::string& kind) { return kind == "linear" ? linearTables() : indexedTables(); }

class Engines : public ::testing::TestWithParam<std::string> {
protected:
    Engines() : analysis(tablesNamed(GetParam()), out, err) {
        Domain mem;
        mem.name = "mem";
        mem.float_handle = true;
        Domain file;
        file.name = "FILE";
        analysis.tmpl.domains = {mem, file};
        analysis.tables.push_back(analysis.makeTable());
        analysis.tables.push_back(analysis.makeTable());
    }

    SiteId at(const char* line) { return analysis.sites.intern("s.c", line); }

    void run(const Step& s) {
        const SiteId site = at(s.line);
        HandleRecord r;
        switch (s.op) {
            case Op::Alloc:
                r.allocatedAt = site;
                r.handle = s.handle;
                r.size = s.size;
                AllocatorEngine(analysis, site, "malloc", 0, r);
                return;
            case Op::Use:
            case Op::UseBad:
                OperatorEngine(analysis, 0, s.op == Op::Use ? valid : bad, s.handle, "use", site);
                return;
            case Op::Free:
            case Op::FreeBad:
                r.deallocatedAt = site;
                r.handle = s.handle;
                r.handleState = s.op == Op::Free ? valid : bad;
                DeallocatorEngine(analysis, site, "free", 0, r);
                return;
            case Op::Realloc:
            case Op::ReallocFailed:
            case Op::ReallocFromBad: {
                std::vector<std::string> lines;
                if (s.op == Op::ReallocFromBad) {
                    lines = {"mem BAD " + toHex16(s.handle), toHex16(s.size), "OK", "OK " + toHex16(s.newHandle)};
                } else {
                    lines = {"mem OK " + toHex16(s.handle), toHex16(s.size)};
                    if (s.op == Op::ReallocFailed) {
                        lines.insert(lines.end(), {"BAD", "BAD 0000000000000000"});
                    } else {
                        lines.insert(lines.end(), {"OK", "OK " + toHex16(s.newHandle)});
                    }
                }
                LinesFile file(lines);
                CFileLineFetcher fetcher;
                ASSERT_EQ(fetcher.attach(file.path.c_str()), 0);
                RecordReader reader(fetcher, analysis);
                const ReallocHead head = reader.readReallocHead();
                EXPECT_EQ(ReallocatorEngine(analysis, site, "realloc", 0, r, head, reader), s.continues);
                if (s.continues) {
                    // The engine asks for the whole record and nothing after it.
                    std::string rest;
                    try {
                        fetcher.getLine(rest);
                        ADD_FAILURE() << "line left unread: " << rest;
                    } catch (const char* e) {
                        EXPECT_STREQ(e, "eof");
                    }
                }
                return;
            }
        }
    }

    // Runs a case on fresh tables and checks the findings and the mem table.
    // With `interior`, mem is a domain whose handles may point inside blocks.
    void check(const Case& c, bool interior = false) {
        SCOPED_TRACE(c.name);
        out.str("");
        err.str("");
        analysis.tmpl.domains[0].interior = interior;
        analysis.tables[0] = analysis.makeTable();
        analysis.tables[1] = analysis.makeTable();
        if (interior) analysis.tables[0]->trackRanges();
        for (const Step& s : c.steps) run(s);
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(err.str(), "");

        const HandleTable& table = *analysis.tables[0];
        auto same = [&](const HandleRecord& r, const Expected& e) {
            EXPECT_EQ(r.handle, e.handle);
            EXPECT_EQ(r.size, e.size);
            EXPECT_EQ(r.resourceState, e.state);
            EXPECT_EQ(analysis.sites.site(r.allocatedAt).file, "s.c");
            EXPECT_EQ(analysis.sites.site(r.allocatedAt).line, e.allocatedLine);
            EXPECT_EQ(formatCallSite(analysis.sites.site(r.deallocatedAt)),
                      *e.deallocatedLine ? std::string("s.c:") + e.deallocatedLine : "");
        };
        // The live records, in table order, as the leak report sees them.
        std::vector<HandleRecord> live;
        table.forEachLive([&](const HandleRecord& r) { live.push_back(r); });
        std::vector<Expected> expectedLive;
        for (const Expected& e : c.table)
            if (e.state != deallocated) expectedLive.push_back(e);
        ASSERT_EQ(live.size(), expectedLive.size());
        for (std::size_t i = 0; i < live.size(); ++i) {
            SCOPED_TRACE("live record " + std::to_string(i));
            same(live[i], expectedLive[i]);
        }
        // The most recent record of every handle, released ones included.
        for (std::size_t i = 0; i < c.table.size(); ++i) {
            bool later = false;
            for (std::size_t j = i + 1; j < c.table.size(); ++j) later = later || c.table[j].handle == c.table[i].handle;
            if (later) continue;
            SCOPED_TRACE("latest record of handle " + std::to_string(c.table[i].handle));
            RecordId pos = 0;
            ASSERT_TRUE(table.findLastHandle(c.table[i].handle, pos));
            same(table.record(pos), c.table[i]);
        }
        // The other domain's table is never touched by mem's calls.
        int other = 0;
        analysis.tables[1]->forEachRecord([&](const HandleRecord&) { ++other; });
        EXPECT_EQ(other, 0);
    }

    std::ostringstream out, err;
    TraceAnalysis analysis;
};

TEST_P(Engines, LifeCycleTable) {
    const Case cases[] = {
        {"allocation appends an allocated record", {alloc(1, 16, "10")}, {{1, 16, allocated, "10", ""}}, ""},
        {"zero-byte allocation in a sized domain is warned about",
         {alloc(1, 0, "10")},
         {{1, 0, allocated, "10", ""}},
         "Warning: allocation zero bytes by mem:malloc at s.c:10\n"},
        {"second allocation of a live handle is refused",
         {alloc(1, 16, "10"), alloc(1, 8, "20")},
         {{1, 16, allocated, "10", ""}},
         "Error: allocated handle 0x0000000000000001 from 'mem' at s.c:20 marked as already allocated at: s.c:10\n"},
        {"second allocation of a used handle is refused too",
         {alloc(1, 16, "10"), use(1, "15"), alloc(1, 8, "20")},
         {{1, 16, operated, "10", ""}},
         "Error: allocated handle 0x0000000000000001 from 'mem' at s.c:20 marked as already allocated at: s.c:10\n"},
        {"allocation after deallocation appends a new record",
         {alloc(1, 16, "10"), use(1, "15"), freeIt(1, "20"), alloc(1, 8, "30")},
         {{1, 16, deallocated, "10", "20"}, {1, 8, allocated, "30", ""}},
         ""},
        {"use marks allocated as operated", {alloc(1, 16, "10"), use(1, "20")}, {{1, 16, operated, "10", ""}}, ""},
        {"use of an operated resource keeps it operated",
         {alloc(1, 16, "10"), use(1, "20"), use(1, "30")},
         {{1, 16, operated, "10", ""}},
         ""},
        {"use after deallocation",
         {alloc(1, 16, "10"), use(1, "15"), freeIt(1, "20"), use(1, "30")},
         {{1, 16, deallocated, "10", "20"}},
         "Error: resource 0x0000000000000001 used by mem:use at s.c:30 was allocated at s.c:10 and deallocated at "
         "s.c:20\n"},
        {"use of an unallocated handle", {use(5, "10")}, {}, "Error: Unallocated resource usage 0x0000000000000005 by mem:use at s.c:10\n"},
        {"bad handle use is reported and changes nothing",
         {alloc(1, 16, "10"), useBad(1, "20")},
         {{1, 16, allocated, "10", ""}},
         "Error 007: bad handle 0x0000000000000001 usage by mem:use at s.c:20\n"},
        {"deallocation of an unused resource warns",
         {alloc(1, 16, "10"), freeIt(1, "20")},
         {{1, 16, deallocated, "10", "20"}},
         "Warning: deallocation of resource 0x0000000000000001 by mem:free at s.c:20 while allocated at s.c:10 which "
         "never operated.\n"},
        {"deallocation of a used resource is silent",
         {alloc(1, 16, "10"), use(1, "15"), freeIt(1, "20")},
         {{1, 16, deallocated, "10", "20"}},
         ""},
        {"double deallocation names both earlier sites",
         {alloc(1, 16, "10"), use(1, "15"), freeIt(1, "20"), freeIt(1, "30")},
         {{1, 16, deallocated, "10", "20"}},
         "Error: deallocation of handle 0x0000000000000001 by mem:free at s.c:30 while the handle allocated at s.c:10 "
         "and freed at s.c:20.\n"},
        {"deallocation of a never allocated valid handle",
         {freeIt(9, "10")},
         {},
         "Error: deallocation of unallocated valid handle 0x0000000000000009 by mem:free at s.c:10\n"},
        {"deallocation of a never allocated bad handle",
         {freeBad(0, "10")},
         {},
         "Error: deallocation of unallocated bad handle 0x0000000000000000 by mem:free at s.c:10\n"},
        {"a later deallocation finds the newest record",
         {alloc(1, 16, "10"), use(1, "15"), freeIt(1, "20"), alloc(1, 8, "30"), freeIt(1, "40")},
         {{1, 16, deallocated, "10", "20"}, {1, 8, deallocated, "30", "40"}},
         "Warning: deallocation of resource 0x0000000000000001 by mem:free at s.c:40 while allocated at s.c:30 which "
         "never operated.\n"},
        {"reallocation moves an allocated record in place",
         {alloc(1, 16, "10"), alloc(7, 4, "12"), realloc(1, 32, 2, "20")},
         {{2, 32, allocated, "20", ""}, {7, 4, allocated, "12", ""}},
         ""},
        {"reallocation of a used resource keeps it operated",
         {alloc(1, 16, "10"), use(1, "15"), realloc(1, 32, 2, "20")},
         {{2, 32, operated, "20", ""}},
         ""},
        {"reallocation to the same size warns without a blank before the site",
         {alloc(1, 16, "10"), realloc(1, 16, 2, "20")},
         {{2, 16, allocated, "20", ""}},
         "Warning: reallocation handle 0x0000000000000001 has the same size (16 bytes) ats.c:20\n"},
        {"reallocation to size 0 of an unused resource deallocates it",
         {alloc(1, 16, "10"), realloc(1, 0, 0, "20")},
         {{1, 16, deallocated, "10", "20"}},
         "Warning: deallocation of resource 0x0000000000000001 by mem:realloc at s.c:20 while allocated at s.c:10 "
         "which never operated.\n"},
        {"reallocation to size 0 of a used resource deallocates it silently",
         {alloc(1, 16, "10"), use(1, "15"), realloc(1, 0, 0, "20")},
         {{1, 16, deallocated, "10", "20"}},
         ""},
        {"reallocation of a handle two live records share moves the one that took it last",
         {alloc(1, 16, "10"), alloc(2, 16, "11"), realloc(2, 32, 1, "12"), use(1, "13"), realloc(1, 64, 5, "14")},
         {{1, 16, allocated, "10", ""}, {5, 64, operated, "14", ""}},
         ""},
        {"failed reallocation leaves the table unchanged",
         {alloc(1, 16, "10"), reallocFailed(1, 64, "20")},
         {{1, 16, allocated, "10", ""}},
         ""},
        {"reallocation of a deallocated handle ends the replay",
         {alloc(1, 16, "10"), use(1, "15"), freeIt(1, "20"), realloc(1, 32, 2, "30", false)},
         {{1, 16, deallocated, "10", "20"}},
         "Error XX7: mem:realloc at s.c:30 trying to reallocate never allocated (or allocated by untracked function) "
         "handle 0x0000000000000001\n"},
        {"reallocation of a never allocated handle ends the replay",
         {realloc(4, 32, 2, "30", false)},
         {},
         "Error XX7: mem:realloc at s.c:30 trying to reallocate never allocated (or allocated by untracked function) "
         "handle 0x0000000000000004\n"},
        {"reallocation from a bad handle allocates afresh",
         {reallocFromBad(8, 3, "10")},
         {{3, 8, allocated, "10", ""}},
         ""},
        {"reallocation from a bad handle to a live handle is refused like an allocation",
         {alloc(3, 16, "5"), reallocFromBad(8, 3, "10")},
         {{3, 16, allocated, "5", ""}},
         "Error: allocated handle 0x0000000000000003 from 'mem' at s.c:10 marked as already allocated at: s.c:5\n"},
    };
    for (const Case& c : cases) check(c);
}

// interior="true": an address inside a block is a use of the block placed
// last over it, or a use after free of it if it was released; a release
// through such an address is its own finding, and reallocations still match
// exact handles.
TEST_P(Engines, InteriorPointers) {
    const Case cases[] = {
        {"a use inside a live block makes it operated",
         {alloc(0x100, 0x40, "10"), use(0x108, "11"), freeIt(0x100, "12")},
         {{0x100, 0x40, deallocated, "10", "12"}},
         ""},
        {"the last byte is inside, one past the end is not",
         {alloc(0x100, 0x40, "10"), use(0x13F, "11"), use(0x140, "12")},
         {{0x100, 0x40, operated, "10", ""}},
         "Error: Unallocated resource usage 0x0000000000000140 by mem:use at s.c:12\n"},
        {"a zero-size block holds no address, but its own handle is still used",
         {alloc(0x100, 0, "10"), use(0x101, "11"), use(0x100, "12")},
         {{0x100, 0, operated, "10", ""}},
         "Warning: allocation zero bytes by mem:malloc at s.c:10\n"
         "Error: Unallocated resource usage 0x0000000000000101 by mem:use at s.c:11\n"},
        {"an exact handle comes first",
         {alloc(0x100, 0x40, "10"), alloc(0x108, 0x10, "11"), use(0x108, "12"), freeIt(0x100, "13")},
         {{0x100, 0x40, deallocated, "10", "13"}, {0x108, 0x10, operated, "11", ""}},
         "Warning: deallocation of resource 0x0000000000000100 by mem:free at s.c:13 while allocated at s.c:10 "
         "which never operated.\n"},
        {"a block placed inside a live one takes its part, the rest stays the outer one's",
         {alloc(0x100, 0x40, "10"), alloc(0x108, 0x10, "11"), use(0x110, "12"), use(0x120, "13")},
         {{0x100, 0x40, operated, "10", ""}, {0x108, 0x10, operated, "11", ""}},
         ""},
        {"a block placed inside a live one and released is used after free there",
         {alloc(0x100, 0x40, "10"), use(0x100, "11"), alloc(0x110, 0x10, "12"), use(0x110, "13"),
          freeIt(0x110, "14"), use(0x118, "15"), use(0x130, "16")},
         {{0x100, 0x40, operated, "10", ""}, {0x110, 0x10, deallocated, "12", "14"}},
         "Error: address 0x0000000000000118 used by mem:use at s.c:15 is inside resource 0x0000000000000110 at "
         "offset 8, which was allocated at s.c:12 and deallocated at s.c:14\n"},
        {"a use after free through an interior pointer names the block and the offset",
         {alloc(0x100, 0x40, "10"), use(0x100, "11"), freeIt(0x100, "12"), use(0x120, "13")},
         {{0x100, 0x40, deallocated, "10", "12"}},
         "Error: address 0x0000000000000120 used by mem:use at s.c:13 is inside resource 0x0000000000000100 at "
         "offset 32, which was allocated at s.c:10 and deallocated at s.c:12\n"},
        {"a live block wins over a released one",
         {alloc(0x100, 0x40, "10"), use(0x100, "11"), freeIt(0x100, "12"), alloc(0x110, 0x10, "13"),
          use(0x114, "14"), freeIt(0x110, "15")},
         {{0x100, 0x40, deallocated, "10", "12"}, {0x110, 0x10, deallocated, "13", "15"}},
         ""},
        {"of several released blocks the one placed (and released) last counts",
         {alloc(0x100, 0x40, "10"), use(0x100, "11"), freeIt(0x100, "12"), alloc(0x110, 0x40, "13"),
          use(0x110, "14"), freeIt(0x110, "15"), use(0x120, "16"), use(0x108, "17")},
         {{0x100, 0x40, deallocated, "10", "12"}, {0x110, 0x40, deallocated, "13", "15"}},
         "Error: address 0x0000000000000120 used by mem:use at s.c:16 is inside resource 0x0000000000000110 at "
         "offset 16, which was allocated at s.c:13 and deallocated at s.c:15\n"
         "Error: address 0x0000000000000108 used by mem:use at s.c:17 is inside resource 0x0000000000000100 at "
         "offset 8, which was allocated at s.c:10 and deallocated at s.c:12\n"},
        {"a released record with the very handle keeps its message",
         {alloc(0x100, 0x40, "10"), use(0x100, "11"), freeIt(0x100, "12"), use(0x100, "13")},
         {{0x100, 0x40, deallocated, "10", "12"}},
         "Error: resource 0x0000000000000100 used by mem:use at s.c:13 was allocated at s.c:10 and deallocated at "
         "s.c:12\n"},
        {"a live block that holds a released handle wins over it",
         {alloc(0x100, 0x10, "10"), use(0x100, "11"), freeIt(0x100, "12"), alloc(0xF0, 0x40, "13"),
          use(0x100, "14"), freeIt(0xF0, "15")},
         {{0x100, 0x10, deallocated, "10", "12"}, {0xF0, 0x40, deallocated, "13", "15"}},
         ""},
        {"a release of an address inside a live block changes nothing",
         {alloc(0x100, 0x40, "10"), use(0x100, "11"), freeIt(0x108, "12")},
         {{0x100, 0x40, operated, "10", ""}},
         "Error: deallocation of address 0x0000000000000108 by mem:free at s.c:12, which is inside resource "
         "0x0000000000000100 at offset 8, allocated at s.c:10\n"},
        {"a release of an address inside a released block names both of its sites",
         {alloc(0x100, 0x40, "10"), use(0x100, "11"), freeIt(0x100, "12"), freeIt(0x110, "13")},
         {{0x100, 0x40, deallocated, "10", "12"}},
         "Error: deallocation of address 0x0000000000000110 by mem:free at s.c:13, which is inside resource "
         "0x0000000000000100 at offset 16, allocated at s.c:10 and deallocated at s.c:12\n"},
        {"a release of an address in no block is an unallocated release",
         {alloc(0x100, 0x40, "10"), use(0x100, "11"), freeIt(0x140, "12")},
         {{0x100, 0x40, operated, "10", ""}},
         "Error: deallocation of unallocated valid handle 0x0000000000000140 by mem:free at s.c:12\n"},
        {"a reallocation matches exact handles only",
         {alloc(0x100, 0x40, "10"), realloc(0x108, 0x80, 0x200, "11", false)},
         {{0x100, 0x40, allocated, "10", ""}},
         "Error XX7: mem:realloc at s.c:11 trying to reallocate never allocated (or allocated by untracked "
         "function) handle 0x0000000000000108\n"},
        {"a block that moved away leaves its old range to nothing, not to what lay there before",
         {alloc(0x100, 0x40, "10"), use(0x100, "11"), freeIt(0x100, "12"), alloc(0x100, 0x40, "13"),
          realloc(0x100, 0x80, 0x200, "14"), use(0x108, "15")},
         {{0x100, 0x40, deallocated, "10", "12"}, {0x200, 0x80, allocated, "14", ""}},
         "Error: Unallocated resource usage 0x0000000000000108 by mem:use at s.c:15\n"},
        {"a moved block is found at its new place only",
         {alloc(0x100, 0x40, "10"), realloc(0x100, 0x80, 0x200, "11"), use(0x210, "12"), use(0x110, "13")},
         {{0x200, 0x80, operated, "11", ""}},
         "Error: Unallocated resource usage 0x0000000000000110 by mem:use at s.c:13\n"},
        {"a block shrunk in place holds only its new range",
         {alloc(0x100, 0x40, "10"), realloc(0x100, 0x10, 0x100, "11"), use(0x120, "12"), use(0x108, "13")},
         {{0x100, 0x10, operated, "11", ""}},
         "Error: Unallocated resource usage 0x0000000000000120 by mem:use at s.c:12\n"},
        {"a bad handle is still a bad handle",
         {alloc(0x100, 0x40, "10"), useBad(0x108, "11")},
         {{0x100, 0x40, allocated, "10", ""}},
         "Error 007: bad handle 0x0000000000000108 usage by mem:use at s.c:11\n"},
    };
    for (const Case& c : cases) check(c, true);
}

// Without the attribute an address inside a block is just another handle.
TEST_P(Engines, InteriorPointersWithoutTheAttribute) {
    check({"uses and releases inside a block match nothing",
           {alloc(0x100, 0x40, "10"), use(0x108, "11"), freeIt(0x110, "12"), freeIt(0x100, "13"), use(0x120, "14")},
           {{0x100, 0x40, deallocated, "10", "13"}},
           "Error: Unallocated resource usage 0x0000000000000108 by mem:use at s.c:11\n"
           "Error: deallocation of unallocated valid handle 0x0000000000000110 by mem:free at s.c:12\n"
           "Warning: deallocation of resource 0x0000000000000100 by mem:free at s.c:13 while allocated at s.c:10 "
           "which never operated.\n"
           "Error: Unallocated resource usage 0x0000000000000120 by mem:use at s.c:14\n"});
}

TEST_P(Engines, OperatorLooksUpTheDomainItIsGiven) {
    HandleRecord r;
    r.allocatedAt = at("10");
    r.handle = 0x20;
    AllocatorEngine(analysis, r.allocatedAt, "fopen", 1, r);
    EXPECT_TRUE(OperatorEngine(analysis, 1, valid, 0x20, "fread", at("11")));
    EXPECT_FALSE(OperatorEngine(analysis, 0, valid, 0x20, "fread", at("12")));
    EXPECT_EQ(out.str(), "Error: Unallocated resource usage 0x0000000000000020 by mem:fread at s.c:12\n");
    std::vector<ResourceState> states;
    analysis.tables[1]->forEachLive([&](const HandleRecord& rec) { states.push_back(rec.resourceState); });
    EXPECT_EQ(states, std::vector<ResourceState>{operated});
}

// A record whose state is none of the three is a broken invariant: the run
// stops at once and the diagnostic says where, in both kinds of table.
TEST(EnginesDeathTest, UnknownRecordStateStopsTheRun) {
    const struct {
        const char* name;
        HandleTableFactory tables;
    } kinds[] = {{"linear", linearTables()}, {"indexed", indexedTables()}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        TraceAnalysis analysis(kind.tables, std::cout, std::cerr);
        Domain mem;
        mem.name = "mem";
        mem.float_handle = true;
        analysis.tmpl.domains = {mem};
        analysis.tables.push_back(analysis.makeTable());
        HandleRecord broken;
        broken.allocatedAt = analysis.sites.intern("s.c", "10");
        broken.handle = 1;
        broken.size = 16;
        broken.resourceState = static_cast<ResourceState>(7);
        analysis.tables[0]->append(broken);

        HandleRecord release;
        release.deallocatedAt = analysis.sites.intern("s.c", "20");
        release.handle = 1;
        EXPECT_DEATH(DeallocatorEngine(analysis, release.deallocatedAt, "free", 0, release),
                     "^Internal error\\. Please, report to developers\\.\n"
                     "tracer:440: DeallocatorEngine: Assertion '[^']+' failed\\.\n$");
        EXPECT_DEATH(postTransactionAnalyzer(analysis),
                     "^Internal error\\. Please, report to developers\\.\n"
                     "tracer:825: postTransactionAnalyzer: Assertion '[^']+' failed\\.\n$");
    }
}

// Releases of unused blocks from more places than the replay keeps the
// warning's text for, in an order that comes back to each: every warning
// names its own tor and sites.
TEST_P(Engines, NeverUsedWarningsFromManyPlaces) {
    const char* allocLines[] = {"1", "2", "3"};
    const char* freeLines[] = {"10", "20"};
    const char* tors[] = {"free", "cfree"};
    std::string expected;
    for (std::uint64_t i = 0; i < 24; ++i) {
        const std::uint64_t handle = 0x1000 + 16 * i;
        const char* allocLine = allocLines[i % 3];
        const char* freeLine = freeLines[i / 3 % 2];
        const std::string tor = tors[i / 6 % 2];
        run(alloc(handle, 8, allocLine));
        HandleRecord r;
        r.deallocatedAt = at(freeLine);
        r.handle = handle;
        DeallocatorEngine(analysis, r.deallocatedAt, tor, 0, r);
        expected += "Warning: deallocation of resource 0x" + toHex16(handle) + " by mem:" + tor + " at s.c:" +
                    freeLine + " while allocated at s.c:" + allocLine + " which never operated.\n";
    }
    EXPECT_EQ(out.str(), expected);
    EXPECT_EQ(err.str(), "");
}

INSTANTIATE_TEST_SUITE_P(Tables, Engines, ::testing::Values("linear", "indexed"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
