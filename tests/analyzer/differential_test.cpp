// Random traces replayed through the whole analysis twice, once with the
// linear handle tables and once with the indexed ones keltrace uses: standard
// output, standard error and exit status must be identical. Handle spaces
// are small so handles collide, records reuse, reallocate and release them
// across two domains, and traces end in every way a real one can. With the
// interior template, uses and releases also go to addresses inside blocks,
// held and released, and the blocks' ranges overlap. Reallocations move
// blocks onto the addresses of later blocks already released, as a heap that
// reuses a freed chunk does: the moved block is the one its handle means now.
//
// The suite runs a fixed list of seeds. A longer run, by hand:
//   KEL_DIFF_SEEDS=20000 KEL_DIFF_FIRST_SEED=1000 ./differential_tests
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "indexed_table.h"
#include "linear_table.h"
#include "trace_protocol.h"
#include "tracer.h"
#include "work_in_temp_dir.h"

namespace {

namespace fs = std::filesystem;

const std::string kTemplates = std::string(KEL_SOURCE_DIR) + "/tests/analyzer/templates/";

// How a trace is drawn. The small shape packs every kind of misuse into a
// few records over a handful of handles; the large one is a long, mostly
// well-behaved run over a wide handle space with a small live set, so that
// the indexed table grows, rehashes and keeps a released record for each of
// many handles, while misuse stays rare enough for the run to go on.
struct Shape {
    std::uint64_t maxRecords;  // records drawn: 1 to maxRecords, or exactly this many when large
    std::uint64_t memSpace;    // distinct mem handles there can be
    std::size_t liveCap;       // at most this many held mem blocks (0: no limit)
    std::uint64_t rareness;    // misuse and malformed lines are this many times rarer
    bool large;
};
constexpr Shape kSmall{120, 4, 0, 1, false};
constexpr Shape kLarge{350000, std::uint64_t(1) << 21, 48, 200000, true};

// Writes random traces for the kt template: domains mem (sizes), FILE and sock.
class TraceMaker {
public:
    TraceMaker(unsigned seed, Shape shape = kSmall, bool interior = false)
        : rng(seed), shape(shape), interior(interior) {}

    // Operator uses and releases the trace made through an address inside a
    // block rather than at its start.
    std::size_t innerAddresses() const { return inner; }

    // The mem handles the trace allocated, each counted once.
    std::size_t distinctHandles() const { return allocated.size(); }

    // Reallocations that moved a block onto the handle of a block allocated
    // after it and released since.
    std::size_t ontoLaterReleased() const { return ontoLater; }
    std::size_t sharedReallocations() const { return shared; }

    std::string make() {
        std::string t = "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
        std::ifstream in(kTemplates + (interior ? "kt_interior.xml" : "kt.xml"));
        for (std::string l; std::getline(in, l);)
            if (!l.empty()) t += l + "\n";
        const std::uint64_t records = shape.large ? shape.maxRecords : pick(shape.maxRecords) + 1;
        std::vector<std::size_t> recordStarts;
        for (std::uint64_t i = 0; i < records; ++i) {
            recordStarts.push_back(t.size());
            t += shape.liveCap != 0 && held.size() >= shape.liveCap ? head("mem", "free") + "mem OK " + releaseMem() +
                                                                          "\nvoid\n-\n"
                                                                    : record();
        }
        if (shape.large) return t + kelproto::kDone + "\n";
        switch (pick(10)) {
            case 0:  // the program died: the trace stops at a line end inside a record
            case 1:
            case 2: {
                std::size_t cut = recordStarts[pick(recordStarts.size())];
                std::size_t more = t.find('\n', cut + pick(60));
                return more == std::string::npos ? t : t.substr(0, more + 1);
            }
            case 3: {  // without force_flush: the trace stops inside a line
                std::size_t cut = recordStarts[pick(recordStarts.size())] + pick(40);
                return t.substr(0, std::min(cut, t.size()));
            }
            case 4:
                return t + fork();
            case 5:  // died inside a deallocation
                return t + head("mem", "free") + "mem OK " + releaseMem() + "\n";
            default:
                return t + kelproto::kDone + "\n" + (pick(4) == 0 ? "after the end\n" : "");
        }
    }

private:
    std::uint64_t pick(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); }
    bool chance(std::uint64_t n) { return pick(n) == 0; }
    // A misuse or a malformed line, one in n records of the small shape.
    bool misuse(std::uint64_t n) { return chance(n * shape.rareness); }

    // Same value, various spellings: parseHex takes 1 to 16 digits.
    std::string hex(std::uint64_t v) {
        std::string full = kelproto::hex16(v);
        if (!chance(5)) return full;
        std::size_t first = full.find_first_not_of('0');
        return first == std::string::npos ? "0" : full.substr(first);
    }
    std::uint64_t anyMem() { return 0x1000 + 0x10 * pick(shape.memSpace); }
    std::string memHandle() { return hex(anyMem()); }
    // An address inside (now and then just past) the block at h, or any
    // address when its size is unknown.
    std::string innerOf(std::uint64_t h) {
        ++inner;
        const auto known = sizes.find(h);
        const std::uint64_t size = known == sizes.end() ? 0x10 : known->second;
        return hex(h + 1 + pick(size + 0x8));
    }
    // Mostly a handle this trace allocated and has not released, as a
    // working program would pass; otherwise any, so misuse comes up too.
    // With interior, often an address inside such a block, and now and then
    // one inside a released block.
    std::string heldMem() {
        if (interior && !gone.empty() && misuse(8)) return innerOf(gone[pick(gone.size())]);
        if (held.empty() || misuse(6)) return memHandle();
        const std::uint64_t h = held[pick(held.size())];
        return interior && chance(2) ? innerOf(h) : hex(h);
    }
    std::string newMem() {
        std::uint64_t h = anyMem();
        for (int tries = 0; tries < 3 && !chance(4) && std::find(held.begin(), held.end(), h) != held.end(); ++tries)
            h = anyMem();
        return newMemAt(h, born++);
    }
    // `order`: the record's place in the table (a moved block keeps its own).
    std::string newMemAt(std::uint64_t h, std::uint64_t order) {
        if (!shape.large) bornAt[h] = order;  // only the small shape moves blocks onto others
        held.push_back(h);
        allocated.insert(h);
        if (interior) sizes[h] = lastSize;
        return hex(h);
    }
    std::string releaseMem() {
        released = kNoHandle;
        if (held.empty() || misuse(12)) return memHandle();
        const std::size_t i = pick(held.size());
        const std::uint64_t h = held[i];
        // free(p + n): an error, and the block stays held.
        if (interior && misuse(10)) return innerOf(h);
        held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
        released = h;
        if (!shape.large) {
            freed.push_back(h);
            if (freed.size() > 16) freed.erase(freed.begin());
        }
        if (interior) {
            gone.push_back(h);
            if (gone.size() > 64) gone.erase(gone.begin());
        }
        return hex(h);
    }
    std::string fileHandle() { return hex(0xA0 + 0x10 * pick(3)); }
    std::string sockHandle() { return hex(3 + pick(2)); }
    std::string size() {
        static const std::uint64_t kSizes[] = {0, 0x10, 0x20, 0x20, 0x40};
        lastSize = kSizes[pick(5)];
        return kelproto::hex16(lastSize);
    }
    std::string verdict(std::uint64_t badOneIn) { return chance(badOneIn) ? "BAD" : "OK"; }
    // A failed call whose block the trace goes on to use as if it were held.
    std::string failed(std::uint64_t badOneIn) { return misuse(badOneIn) ? "BAD" : "OK"; }
    std::string site() {
        if (chance(40)) return "7\n7\n";  // file equal to line: printed as nothing
        static const char* files[] = {"a.c", "b.c", "lib/dir/c.c"};
        return std::string(files[pick(3)]) + "\n" + std::to_string(pick(30) + 1) + "\n";
    }
    std::string head(const char* domain, const char* tor) { return std::string(domain) + "\n" + tor + "\n" + site(); }

    // Now and then a line that the readers refuse.
    std::string maybeBroken(const std::string& good) {
        if (!misuse(150)) return good;
        static const char* broken[] = {"0000000000000a0", "", "OK", "X Y", "mem OK", "123456789012345678"};
        return std::string(broken[pick(6)]) + "\n";
    }

    std::string record() {
        switch (pick(16)) {
            case 0:
            case 1:
            case 2:
                return head("mem", "malloc") + maybeBroken(size() + "\n") + verdict(10) + "\n" + failed(12) + " " +
                       newMem() + "\n";
            case 3: {
                std::string r = head("mem", "calloc") + size() + "\n";
                const std::uint64_t n = pick(3);
                lastSize *= n;
                return r + kelproto::hex16(n) + "\n" + verdict(10) + "\n" + "OK " + newMem() + "\n";
            }
            case 4:
            case 5:
                return head("mem", "free") + "mem " + verdict(12) + " " + releaseMem() + "\n" +
                       maybeBroken(chance(30) ? "OK\n" : "void\n") + "-\n";
            case 6:
                return head("mem", "memset") + "mem " + verdict(10) + " " + heldMem() + "\n-\n-\n";
            case 7:
                return head("FILE", "fwrite") + (chance(3) ? "" : "mem " + verdict(10) + " " + heldMem() + "\n") +
                       maybeBroken("FILE " + verdict(10) + " " + fileHandle() + "\n") + "-\n-\n";
            case 8:
            case 9:
                return realloc();
            case 10:
            case 11:
                return head("FILE", "fopen") + verdict(10) + "\n" + verdict(12) + " " + fileHandle() + "\n";
            case 12:
                return head("FILE", "fclose") + "FILE " + verdict(12) + " " + fileHandle() + "\n" + "OK\n-\n";
            case 13:
                return head("sock", "socket") + "OK\nOK " + sockHandle() + "\n";
            case 14:
                return head("sock", "close") + "sock OK " + sockHandle() + "\n" + "OK\n-\n";
            default:
                if (misuse(20)) return head("mem", "strdup") + "OK\n";  // a tor the domain does not list
                return head("sock", "close") + "sock " + verdict(6) + " " + sockHandle() + "\nvoid\n-\n";
        }
    }

    std::string realloc() {
        std::string r = head("mem", "realloc");
        // realloc(NULL, n) when nothing is held; a stale or foreign handle now and then.
        const bool badOld = held.empty() || chance(8);
        released = kNoHandle;
        const std::string old = badOld ? (chance(2) ? "0" : memHandle()) : (misuse(30) ? memHandle() : releaseMem());
        // A held handle that another live record still has: the reallocation
        // must pick the record that took it last.
        if (released != kNoHandle && std::find(held.begin(), held.end(), released) != held.end()) ++shared;
        r += "mem " + std::string(badOld ? "BAD" : "OK") + " " + old + "\n";
        const std::string newSize = chance(5) ? kelproto::hex16(0) : size();
        r += misuse(80) ? "20\n" : newSize + "\n";  // a size line of the wrong length
        if (!badOld && newSize == kelproto::hex16(0)) return r + "BAD\nBAD " + kelproto::hex16(0) + "\n";
        const std::string result = failed(8);
        r += result + "\n";
        if (result != "OK") return r + "BAD " + kelproto::hex16(0) + "\n";
        if (misuse(80)) return r + (chance(2) ? "BAD " + memHandle() : std::string("garbage")) + "\n";
        // The long runs keep the draws they always had.
        return r + "OK " + (badOld || shape.large ? newMem() : movedMem()) + "\n";
    }

    // The new handle of a block that realloc moved (its old handle in
    // `released`): now and then that of a block allocated after it and
    // released since, which a heap hands out again.
    std::string movedMem() {
        if (released == kNoHandle) return newMem();
        const std::uint64_t order = bornAt[released];
        if (chance(2)) {
            for (auto f = freed.rbegin(); f != freed.rend(); ++f) {
                if (*f == released || bornAt[*f] < order) continue;
                if (std::find(held.begin(), held.end(), *f) != held.end()) continue;
                ++ontoLater;
                return newMemAt(*f, order);
            }
        }
        std::uint64_t h = anyMem();
        for (int tries = 0; tries < 3 && !chance(4) && std::find(held.begin(), held.end(), h) != held.end(); ++tries)
            h = anyMem();
        return newMemAt(h, order);
    }

    std::string fork() { return "KEL_TRAP\nfork()\nmain.c\n" + std::to_string(pick(90) + 1) + "\n"; }

    std::mt19937_64 rng;
    Shape shape;
    bool interior;
    std::vector<std::uint64_t> held;
    std::unordered_set<std::uint64_t> allocated;
    std::map<std::uint64_t, std::uint64_t> sizes;  // with interior: the size last allocated at each handle
    std::vector<std::uint64_t> gone;               // with interior: the latest released blocks
    std::uint64_t lastSize = 0;
    std::size_t inner = 0;
    static constexpr std::uint64_t kNoHandle = ~std::uint64_t(0);
    std::uint64_t released = kNoHandle;  // the block releaseMem took off the held list last
    std::vector<std::uint64_t> freed;    // the latest released mem handles
    std::map<std::uint64_t, std::uint64_t> bornAt;  // mem handle -> table order of its latest record
    std::uint64_t born = 0;
    std::size_t ontoLater = 0;
    std::size_t shared = 0;
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome analyse(const std::string& tracePath, const HandleTableFactory& tables) {
    CFileLineFetcher fetcher;
    EXPECT_EQ(fetcher.attach(tracePath.c_str()), 0);
    std::ostringstream out, err;
    Outcome o;
    o.status = runAnalysis(fetcher, tables, out, err);
    o.out = out.str();
    o.err = err.str();
    return o;
}

// Each test works in a folder of its own: the analysis writes template.tmp
// into the working folder, and test processes run side by side.
class Differential : public ::testing::Test {
protected:

    // Runs one seed; returns false on a difference (already reported).
    bool same(unsigned seed, std::map<std::string, int>* seen = nullptr, Shape shape = kSmall,
              std::size_t* distinct = nullptr, Outcome* kept = nullptr, bool interior = false,
              std::size_t* inner = nullptr, std::size_t* onto = nullptr) {
        TraceMaker maker(seed, shape, interior);
        const std::string trace = maker.make();
        if (distinct) *distinct = maker.distinctHandles();
        if (inner) *inner = maker.innerAddresses();
        if (onto) *onto = maker.ontoLaterReleased();
        if (seen && maker.sharedReallocations() > 0) ++(*seen)["reallocation of a handle two live records share"];
        {
            std::ofstream f("trace", std::ios::binary);
            f << trace;
        }
        const Outcome linear = analyse("trace", linearTables());
        const Outcome indexed = analyse("trace", indexedTables());
        if (seen) {
            for (const char* what : kInteriorFindings)
                if (linear.out.find(what) != std::string::npos) ++(*seen)[what];
            for (const char* what : kFindings)
                if (linear.out.find(what) != std::string::npos) ++(*seen)[what];
            ++(*seen)["status " + std::to_string(linear.status)];
        }
        if (kept) *kept = linear;
        if (linear.status == indexed.status && linear.out == indexed.out && linear.err == indexed.err) return true;
        const std::string keep = "/tmp/kel_diff_seed_" + std::to_string(seed) + ".trace";
        std::ofstream(keep, std::ios::binary) << trace;
        ADD_FAILURE() << "seed " << seed << " (trace kept in " << keep << ")\nstatus " << linear.status << " vs "
                      << indexed.status << "\n--- linear stdout\n"
                      << linear.out << "--- indexed stdout\n"
                      << indexed.out << "--- linear stderr\n"
                      << linear.err << "--- indexed stderr\n"
                      << indexed.err;
        return false;
    }

    static constexpr const char* kFindings[] = {
        "marked as already allocated at: ",  // allocation of a live handle
        "Error: deallocation of unallocated ",
        "Error: deallocation of handle 0x",
        "which never operated.",
        "Error 007: bad handle",
        "Error: Unallocated resource usage",
        " was allocated at ",
        "Error XX7: ",
        " has the same size (",
        "Warning: allocation zero bytes",
        "Error: resource leak; handle 0x",
        "Bytes leaked: 0, plus indirect leakage",
        "not deallocated. Never operated",
        "KEL detected fork() usage",
        "Looks like target code execution died",
    };
    static constexpr const char* kInteriorFindings[] = {
        " is inside resource 0x",             // a use after free through an inner address
        "Error: deallocation of address 0x",  // a release of an inner address
    };

    WorkInTempDir scratch;
};

TEST_F(Differential, FixedSeedsGiveIdenticalReports) {
    std::map<std::string, int> seen;
    std::size_t onto = 0;
    for (unsigned seed = 1; seed <= 400; ++seed) {
        std::size_t one = 0;
        if (!same(seed, &seen, kSmall, nullptr, nullptr, false, nullptr, &one)) return;
        onto += one;
    }
    EXPECT_GE(onto, 30u) << "reallocations onto the handle of a later, released block";

    // The seeds must reach every finding, several live records of one handle
    // (in the multi-site list and in a reallocation), every way a replay
    // ends, and the exits of malformed reallocations.
    for (const char* what : kFindings) EXPECT_GE(seen[what], 3) << "no trace reached: " << what;
    EXPECT_GE(seen["reallocation of a handle two live records share"], 3);
    for (int status : {1, 255}) EXPECT_GE(seen["status " + std::to_string(status)], 3) << status;
}

// Long traces over more than 10^5 distinct handles: the indexed table grows
// and rehashes many times and keeps a released record for each handle.
TEST_F(Differential, TracesOfManyDistinctHandles) {
    for (unsigned seed : {7u, 8u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::size_t distinct = 0;
        Outcome linear;
        if (!same(seed, nullptr, kLarge, &distinct, &linear)) return;
        EXPECT_GE(distinct, 100000u);
        // The whole trace was replayed: it ends at its closing line, and its
        // rare misuse still gave findings.
        EXPECT_EQ(linear.status, 1);
        EXPECT_EQ(linear.err, "");
        EXPECT_NE(linear.out.find("Error: resource leak; handle 0x"), std::string::npos);
    }
}

// interior="true" on mem: uses, releases and uses after free through
// addresses inside blocks, over the same handle space, so that ranges overlap
// and blocks are placed over live and released ones.
TEST_F(Differential, InteriorAddressesGiveIdenticalReports) {
    std::map<std::string, int> seen;
    std::size_t inner = 0;
    std::size_t onto = 0;
    for (unsigned seed = 1; seed <= 400; ++seed) {
        std::size_t one = 0, moved = 0;
        if (!same(seed, &seen, kSmall, nullptr, nullptr, true, &one, &moved)) return;
        inner += one;
        onto += moved;
    }
    EXPECT_GE(inner, 1000u);
    EXPECT_GE(onto, 30u) << "reallocations onto the handle of a later, released block";
    for (const char* what : kInteriorFindings) EXPECT_GE(seen[what], 3) << "no trace reached: " << what;
    for (const char* what : kFindings) EXPECT_GE(seen[what], 3) << "no trace reached: " << what;
}

// Long interior traces over more than 10^5 distinct handles: the ordered
// index of placements grows, splits and drops pieces painted over.
TEST_F(Differential, InteriorTracesOfManyDistinctHandles) {
    for (unsigned seed : {17u, 18u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::size_t distinct = 0, inner = 0;
        Outcome linear;
        if (!same(seed, nullptr, kLarge, &distinct, &linear, true, &inner)) return;
        EXPECT_GE(distinct, 100000u);
        EXPECT_GE(inner, 10000u);
        EXPECT_EQ(linear.status, 1);
        EXPECT_EQ(linear.err, "");
    }
}

TEST_F(Differential, SeedsFromTheEnvironment) {
    const char* count = std::getenv("KEL_DIFF_SEEDS");
    if (!count) GTEST_SKIP() << "set KEL_DIFF_SEEDS (and KEL_DIFF_FIRST_SEED) for a longer run";
    const char* first = std::getenv("KEL_DIFF_FIRST_SEED");
    const unsigned from = first ? static_cast<unsigned>(std::strtoul(first, nullptr, 10)) : 100000u;
    const unsigned n = static_cast<unsigned>(std::strtoul(count, nullptr, 10));
    for (unsigned seed = from; seed < from + n; ++seed)
        if (!same(seed) || !same(seed, nullptr, kSmall, nullptr, nullptr, true)) return;
    std::printf("%u seeds from %u, with and without interior: identical\n", n, from);
}

}  // namespace
