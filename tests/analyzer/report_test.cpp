// The report layer: the command line, suppression rules, grouping, and the
// JSON and SARIF files, parsed back with nlohmann-json and checked field by
// field. Runs are made in process through parseCommandLine and runKeltrace.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "findings.h"
#include "keltrace_status.h"
#include "report.h"
#include "trace_batch.h"
#include "work_in_temp_dir.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

KeltraceCommand parse(std::vector<const char*> args) {
    args.insert(args.begin(), "keltrace");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

// A double free by mem:free at a.c:1: the finding the tests of groups and
// lines add over and over. It points into this object, so it lives as long.
struct DoubleFree {
    const std::string mem = "mem", tor = "free";
    const CallSite site{"a.c", "1"};
    Finding finding() const {
        Finding f;
        f.kind = FindingKind::doubleFree;
        f.domain = &mem;
        f.tor = &tor;
        f.call = &site;
        return f;
    }
};

TEST(CommandLine, FormsAndProblems) {
    using A = KeltraceCommand::Action;
    struct Case {
        std::vector<const char*> args;
        A action;
        const char* problem;  // for A::error
    };
    const Case cases[] = {
        {{}, A::usage, ""},
        {{"--help"}, A::usage, ""},
        {{"--group", "--help"}, A::usage, ""},
        {{"--version"}, A::version, ""},
        {{"--file", "t"}, A::analyseFile, ""},
        {{"--sock", "localhost:1"}, A::analyseSock, ""},
        {{"--group", "--file=t", "--json", "j", "--sarif=s"}, A::analyseFile, ""},
        {{"--version", "--file", "t"}, A::error, "--version takes no other arguments"},
        {{"--file", "t", "--version"}, A::error, "--version takes no other arguments"},
        {{"--file"}, A::error, "option '--file' needs a value"},
        {{"--file", "t", "x"}, A::analyseFile, ""},
        {{"--file=t", "x"}, A::error, "unexpected argument 'x'"},
        {{"--file", "-"}, A::error, "option '--file' needs a value"},
        {{"--file", "--group"}, A::error, "option '--file' needs a value"},
        {{"--sock", "h:1", "--file", "t"}, A::error, "give exactly one of --file TRACE and --sock HOST:PORT"},
        {{"--group", "t", "--file", "u"}, A::error, "unexpected argument 't'"},
        {{"--file", "t", "--"}, A::error, "unexpected argument '--'"},
        {{"-x", "--file", "t"}, A::error, "unknown option '-x'"},
        {{"--grup", "--file", "t"}, A::error, "unknown option '--grup'"},
        {{"--group"}, A::error, "give exactly one of --file TRACE and --sock HOST:PORT"},
        {{"--file", "t", "--sock", "h:1"}, A::error, "give exactly one of --file TRACE and --sock HOST:PORT"},
        {{"--file", "t", "--error-exitcode", "256"}, A::error,
         "--error-exitcode needs a number from 1 to 255, not '256'"},
        {{"--file", "t", "--error-exitcode", "3", "--error-exitcode=4"}, A::error,
         "option '--error-exitcode' given twice"},
        {{"--file", "t", "--sarif", "a", "--sarif", "b"}, A::error, "option '--sarif' given twice"},
        {{"--file", "t", "--max-occurrences", "x"}, A::error,
         "--max-occurrences needs a number (0 lists every occurrence), not 'x'"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const char* a : c.args) shown += std::string(a) + " ";
        SCOPED_TRACE(shown);
        const KeltraceCommand r = parse(c.args);
        EXPECT_EQ(static_cast<int>(r.action), static_cast<int>(c.action));
        EXPECT_EQ(r.problem, c.problem);
    }
}

TEST(CommandLine, ValuesLandInTheirFields) {
    const KeltraceCommand c = parse({"--suppressions", "a", "--max-occurrences=7", "--group", "--suppressions=b",
                                     "--error-exitcode", "3", "--json", "j.json", "--sarif", "s.sarif", "--file",
                                     "t"});
    EXPECT_EQ(c.source, "t");
    EXPECT_EQ(c.suppressionFiles, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(c.group);
    EXPECT_EQ(c.errorExitcode, 3);
    EXPECT_EQ(c.jsonPath, "j.json");
    EXPECT_EQ(c.sarifPath, "s.sarif");
    EXPECT_EQ(c.maxOccurrences, 7u);
}

TEST(CommandLine, FileTakesEveryPathUpToTheNextOption) {
    const KeltraceCommand c = parse({"--file", "a", "b", "--group", "--file", "c", "--file=d", "--json", "j"});
    EXPECT_EQ(static_cast<int>(c.action), static_cast<int>(KeltraceCommand::Action::analyseFile));
    EXPECT_EQ(c.files, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(c.source, "a");
    EXPECT_TRUE(c.group);
    EXPECT_EQ(c.jsonPath, "j");
}

TEST(FindingKinds, IdsAreUniqueAndFoundByName) {
    ASSERT_EQ(kFindingKindCount, 15u);
    for (std::size_t i = 0; i < kFindingKindCount; ++i) {
        SCOPED_TRACE(kFindingKinds[i].id);
        EXPECT_EQ(static_cast<std::size_t>(kFindingKinds[i].kind), i);
        FindingKind k;
        ASSERT_TRUE(findingKindById(kFindingKinds[i].id, k));
        EXPECT_EQ(k, kFindingKinds[i].kind);
    }
    FindingKind k;
    EXPECT_FALSE(findingKindById("double_free", k));
    EXPECT_EQ(findingInfo(FindingKind::leak).severity, Severity::error);
    EXPECT_EQ(findingInfo(FindingKind::failedFree).severity, Severity::warning);
    EXPECT_STREQ(findingInfo(FindingKind::sameSizeRealloc).id, "same-size-realloc");
    EXPECT_STREQ(findingInfo(FindingKind::freeInterior).id, "free-interior");
    EXPECT_EQ(findingInfo(FindingKind::freeInterior).severity, Severity::error);
}

// One finding, with its sites, against one rule.
TEST(Suppressions, RulesMatchDomainTorOrAnySite) {
    const std::string mem = "mem", free_ = "free";
    const CallSite call{"src/a.c", "12"}, alloc{"src/b.c", "3"}, dealloc{"src/c.c", "40"};
    struct Case {
        const char* rule;
        FindingKind kind;
        bool suppressed;
    };
    const Case cases[] = {
        {"double-free:mem:free", FindingKind::doubleFree, true},
        {"double-free:mem:*", FindingKind::doubleFree, true},
        {"double-free:FILE:*", FindingKind::doubleFree, false},
        {"leak:mem:free", FindingKind::doubleFree, false},  // another kind
        {"*:mem:free", FindingKind::doubleFree, true},
        {"double-free:src/a.c:12", FindingKind::doubleFree, true},  // the call
        {"double-free:*/b.c:*", FindingKind::doubleFree, true},     // the allocation
        {"double-free:src/c.c:4?", FindingKind::doubleFree, true},  // the earlier release
        {"double-free:src/c.c:4", FindingKind::doubleFree, false},  // a glob matches the whole text
        {"double-free:a.c:12", FindingKind::doubleFree, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        char name[] = "/tmp/kel_rules_XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        std::ofstream(name) << c.rule << "\n";
        ReportSettings settings;
        std::string problem;
        ASSERT_TRUE(readSuppressions(name, settings.suppressions, problem)) << problem;
        fs::remove(name);
        std::ostringstream out;
        Report report(out, settings);
        Finding f;
        f.kind = c.kind;
        f.domain = &mem;
        f.tor = &free_;
        f.call = &call;
        f.allocated = &alloc;
        f.deallocated = &dealloc;
        report.add(f, [](MessageText& o) { o << "message"; });
        EXPECT_EQ(report.totals().suppressed, c.suppressed ? 1u : 0u);
        EXPECT_EQ(out.str(), c.suppressed ? "" : "message\n");
    }
}

TEST(ReportGroups, CountsBytesAndCapOccurrences) {
    ReportSettings settings;
    settings.keepOccurrences = true;
    settings.maxOccurrences = 2;
    std::ostringstream out;
    Report report(out, settings);
    const std::string mem = "mem", malloc_ = "malloc", memset_ = "memset";
    const CallSite here{"a.c", "1"}, there{"a.c", "2"};
    int formatted = 0;
    auto add = [&](FindingKind kind, const std::string& tor, const CallSite& site, std::uint64_t bytes) {
        Finding f;
        f.kind = kind;
        f.domain = &mem;
        f.tor = &tor;
        f.hasHandle = true;
        f.handle = bytes;
        (kind == FindingKind::leak ? f.allocated : f.call) = &site;
        f.bytes = bytes;
        f.sized = true;
        report.add(f, [&](MessageText& o) { o << ++formatted; });
    };
    add(FindingKind::leak, malloc_, here, 10);
    add(FindingKind::untrackedUse, memset_, there, 0);
    add(FindingKind::leak, malloc_, here, 20);
    add(FindingKind::leak, malloc_, here, 30);
    add(FindingKind::leak, malloc_, there, 5);
    add(FindingKind::zeroAlloc, malloc_, there, 0);

    const std::vector<const Report::Group*> groups = report.sortedGroups();
    ASSERT_EQ(groups.size(), 4u);
    EXPECT_EQ(groups[0]->kind, FindingKind::leak);
    EXPECT_EQ(groups[0]->count, 3u);
    EXPECT_EQ(groups[0]->bytes, 60u);
    ASSERT_EQ(groups[0]->occurrences.size(), 2u);  // capped
    EXPECT_EQ(groups[0]->occurrences[1].handle, 20u);
    EXPECT_EQ(groups[1]->kind, FindingKind::untrackedUse);  // first seen among the single ones
    EXPECT_EQ(groups[2]->bytes, 5u);
    EXPECT_EQ(groups[3]->kind, FindingKind::zeroAlloc);
    EXPECT_EQ(report.totals().errors, 5u);
    EXPECT_EQ(report.totals().leaks, 4u);
    EXPECT_EQ(report.totals().bytesLeaked, 65u);
    EXPECT_EQ(report.totals().warnings, 1u);
    EXPECT_EQ(formatted, 6);  // no --group: every message printed
}

TEST(ReportGroups, GroupModeFormatsNoMessage) {
    ReportSettings settings;
    settings.group = true;
    std::ostringstream out;
    Report report(out, settings);
    const DoubleFree doubleFree;
    const Finding f = doubleFree.finding();
    bool formatted = false;
    for (int i = 0; i < 3; ++i) report.add(f, [&](MessageText&) { formatted = true; });
    EXPECT_FALSE(formatted);
    EXPECT_EQ(out.str(), "");
    report.printGroups(out);
    EXPECT_EQ(out.str(),
              "3 x double-free (error): mem:free at a.c:1\n"
              "Summary: 3 errors (0 leaks, 0 bytes leaked), 0 warnings, 0 suppressed\n");
}

TEST(ReportLines, HeldLinesGoOutInBlocksAndInOrder) {
    ReportSettings settings;
    settings.holdLines = true;
    std::ostringstream out;
    Report report(out, settings);
    const DoubleFree doubleFree;
    const Finding f = doubleFree.finding();
    std::string expected;
    int added = 0;
    // Lines of 100 characters: nothing is written before 64 KB are held.
    for (; expected.size() < 60000; ++added) {
        const std::string text = std::to_string(added) + std::string(99 - std::to_string(added).size(), '.');
        report.add(f, [&](MessageText& m) { m << text; });
        expected += text + "\n";
    }
    EXPECT_EQ(out.str(), "");
    report.flushLines();
    EXPECT_EQ(out.str(), expected);
    report.flushLines();  // nothing held: nothing written twice
    EXPECT_EQ(out.str(), expected);
    for (; expected.size() < 200000; ++added) {
        const std::string text = std::to_string(added) + std::string(99 - std::to_string(added).size(), '.');
        report.add(f, [&](MessageText& m) { m << text; });
        expected += text + "\n";
    }
    // Two blocks went out by themselves; what is held still waits.
    EXPECT_GT(out.str().size(), 60000u + 2 * 64 * 1024u - 100);
    EXPECT_LT(out.str().size(), expected.size());
    EXPECT_EQ(out.str(), expected.substr(0, out.str().size()));
    report.flushLines();
    EXPECT_EQ(out.str(), expected);
}

TEST(ReportLines, WithoutHoldingEachLineIsWrittenAtOnce) {
    std::ostringstream out;
    Report report(out, ReportSettings{});
    const DoubleFree doubleFree;
    const Finding f = doubleFree.finding();
    report.add(f, [](MessageText& m) { m << "one"; });
    EXPECT_EQ(out.str(), "one\n");
    report.add(f, [](MessageText& m) { m << "two"; });
    EXPECT_EQ(out.str(), "one\ntwo\n");
    report.flushLines();
    EXPECT_EQ(out.str(), "one\ntwo\n");
}

// A trace over tests/analyzer/templates/kt.xml, in a folder of its own.
class Files : public ::testing::Test {
protected:
    void SetUp() override {
        std::ifstream tmpl(std::string(KEL_SOURCE_DIR) + "/tests/analyzer/templates/kt.xml");
        std::string trace = "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
        for (std::string l; std::getline(tmpl, l);)
            if (!l.empty()) trace += l + "\n";
        trace += records;
        std::ofstream("trace") << trace << "KEL TRACING DONE\n";
        std::ofstream("rules") << "leak:FILE:*\n";
    }

    int run(std::vector<const char*> args) {
        std::ostringstream out, err;
        const int status = runKeltrace(parse(args), "keltrace", out, err);
        stdoutText = out.str();
        stderrText = err.str();
        return status;
    }

    static json load(const char* path) {
        std::ifstream in(path);
        return json::parse(in);
    }

    // A double free, a used block freed twice by the same line, three uses of
    // an untracked stack buffer, a leak, and a FILE leak that the rules hide.
    const std::string records =
        "mem\nmalloc\nm.c\n1\n0000000000000010\nOK\nOK 0000000000000010\n"
        "mem\nmemset\nm.c\n2\nmem OK 0000000000000010\n-\n-\n"
        "mem\nfree\nm.c\n3\nmem OK 0000000000000010\nvoid\n-\n"
        "mem\nfree\nm.c\n3\nmem OK 0000000000000010\nvoid\n-\n"
        "mem\nmemset\nm.c\n4\nmem OK 0000000000000099\n-\n-\n"
        "mem\nmemset\nm.c\n4\nmem OK 0000000000000099\n-\n-\n"
        "mem\nmemset\nm.c\n4\nmem OK 0000000000000098\n-\n-\n"
        "mem\ncalloc\nm.c\n5\n0000000000000004\n0000000000000008\nOK\nOK 0000000000000020\n"
        "FILE\nfopen\nf.c\n6\nOK\nOK 00000000000000A0\n";

    WorkInTempDir scratch;
    std::string stdoutText, stderrText;
};

TEST_F(Files, JsonHoldsEveryGroupWithItsOccurrences) {
    ASSERT_EQ(run({"--file", "trace", "--json", "out.json", "--suppressions", "rules", "--max-occurrences", "2"}),
              statusAnalysed);
    EXPECT_EQ(stderrText, "");
    const json doc = load("out.json");
    EXPECT_EQ(doc["tool"]["name"], "keltrace");
    EXPECT_EQ(doc["tool"]["version"], "0.9.02");
    EXPECT_EQ(doc["template"], "kt");
    EXPECT_EQ(doc["trace"], "trace");
    EXPECT_EQ(doc["max_occurrences"], 2);
    const json& s = doc["summary"];
    EXPECT_EQ(s["errors"], 5);  // double free, 3 untracked uses, one leak
    EXPECT_EQ(s["warnings"], 0);
    EXPECT_EQ(s["leaks"], 1);
    EXPECT_EQ(s["bytes_leaked"], 32);
    EXPECT_EQ(s["suppressed"], 1);
    EXPECT_EQ(s["groups"], 4);

    const json& f = doc["findings"];
    ASSERT_EQ(f.size(), 4u);
    // Most frequent first.
    EXPECT_EQ(f[0]["kind"], "untracked-use");
    EXPECT_EQ(f[0]["severity"], "error");
    EXPECT_EQ(f[0]["domain"], "mem");
    EXPECT_EQ(f[0]["tor"], "memset");
    EXPECT_EQ(f[0]["site"], (json{{"file", "m.c"}, {"line", 4}}));
    EXPECT_EQ(f[0]["count"], 3);
    EXPECT_EQ(f[0]["suppressed"], false);
    EXPECT_EQ(f[0]["occurrences_omitted"], 1);
    ASSERT_EQ(f[0]["occurrences"].size(), 2u);
    EXPECT_EQ(f[0]["occurrences"][0]["handle"], "0x0000000000000099");
    EXPECT_EQ(f[0]["occurrences"][0]["call"], (json{{"file", "m.c"}, {"line", 4}}));
    EXPECT_FALSE(f[0]["occurrences"][0].contains("allocated"));

    EXPECT_EQ(f[1]["kind"], "double-free");
    const json& again = f[1]["occurrences"][0];
    EXPECT_EQ(again["handle"], "0x0000000000000010");
    EXPECT_EQ(again["call"]["line"], 3);
    EXPECT_EQ(again["allocated"]["line"], 1);
    EXPECT_EQ(again["deallocated"]["line"], 3);

    EXPECT_EQ(f[2]["kind"], "leak");
    EXPECT_EQ(f[2]["tor"], "calloc");  // the allocating tor
    EXPECT_EQ(f[2]["site"]["line"], 5);
    EXPECT_EQ(f[2]["bytes"], 32);
    EXPECT_EQ(f[2]["occurrences"][0]["allocated"]["file"], "m.c");
    EXPECT_EQ(f[2]["occurrences"][0]["bytes"], 32);

    EXPECT_EQ(f[3]["kind"], "leak");
    EXPECT_EQ(f[3]["domain"], "FILE");
    EXPECT_EQ(f[3]["tor"], "fopen");
    EXPECT_EQ(f[3]["suppressed"], true);
}

TEST_F(Files, SarifHasOneRulePerKindAndOneResultPerGroup) {
    ASSERT_EQ(run({"--sarif", "out.sarif", "--suppressions", "rules", "--file", "trace", "--error-exitcode", "7"}),
              7);
    const json doc = load("out.sarif");
    EXPECT_EQ(doc["version"], "2.1.0");
    ASSERT_EQ(doc["runs"].size(), 1u);
    const json& run0 = doc["runs"][0];
    EXPECT_EQ(run0["tool"]["driver"]["name"], "keltrace");
    const json& rules = run0["tool"]["driver"]["rules"];
    ASSERT_EQ(rules.size(), kFindingKindCount);
    for (std::size_t i = 0; i < kFindingKindCount; ++i) {
        SCOPED_TRACE(kFindingKinds[i].id);
        EXPECT_EQ(rules[i]["id"], kFindingKinds[i].id);
        EXPECT_EQ(rules[i]["defaultConfiguration"]["level"], severityName(kFindingKinds[i].severity));
        EXPECT_EQ(rules[i]["shortDescription"]["text"], kFindingKinds[i].description);
    }
    const json& results = run0["results"];
    ASSERT_EQ(results.size(), 4u);
    for (const json& r : results) {
        SCOPED_TRACE(r.dump());
        EXPECT_EQ(rules[r["ruleIndex"].get<std::size_t>()]["id"], r["ruleId"]);
    }
    EXPECT_EQ(results[0]["ruleId"], "untracked-use");
    EXPECT_EQ(results[0]["level"], "error");
    EXPECT_EQ(results[0]["occurrenceCount"], 3);
    const json& where = results[0]["locations"][0]["physicalLocation"];
    EXPECT_EQ(where["artifactLocation"]["uri"], "m.c");
    EXPECT_EQ(where["region"]["startLine"], 4);
    EXPECT_FALSE(results[0].contains("suppressions"));
    EXPECT_EQ(results[2]["ruleId"], "leak");
    EXPECT_EQ(results[2]["locations"][0]["physicalLocation"]["region"]["startLine"], 5);
    // A suppressed group stays, marked.
    EXPECT_EQ(results[3]["ruleId"], "leak");
    ASSERT_EQ(results[3]["suppressions"].size(), 1u);
    EXPECT_EQ(results[3]["suppressions"][0]["kind"], "external");
}

TEST_F(Files, OutputsReplaceEarlierFilesAndLeaveNoTemporaries) {
    std::ofstream("out.json") << "old";
    ASSERT_EQ(run({"--file", "trace", "--json", "out.json", "--group"}), statusAnalysed);
    EXPECT_EQ(load("out.json")["summary"]["errors"], 6);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(".")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"out.json", "rules", "template.tmp", "trace"}));
    // --group output on stdout, the JSON holds every occurrence (no cap).
    EXPECT_NE(stdoutText.find("Summary: 6 errors (2 leaks, 32 bytes leaked), 0 warnings, 0 suppressed\n"),
              std::string::npos);
    EXPECT_EQ(load("out.json")["findings"][0]["occurrences"].size(), 3u);
}

}  // namespace

namespace {

// A file name from the trace that is not UTF-8 cannot go into JSON as it is:
// the byte becomes U+FFFD, and the files are written as for any trace.
TEST_F(Files, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    std::ifstream tmpl(std::string(KEL_SOURCE_DIR) + "/tests/analyzer/templates/kt.xml");
    std::string trace = "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
    for (std::string l; std::getline(tmpl, l);)
        if (!l.empty()) trace += l + "\n";
    trace += "mem\nmalloc\nm\xFF.c\n7\n0000000000000010\nOK\nOK 0000000000000700\nKEL TRACING DONE\n";
    std::ofstream("bytes") << trace;

    ASSERT_EQ(run({"--file", "bytes", "--json", "out.json", "--sarif", "out.sarif"}), statusAnalysed);
    EXPECT_EQ(stderrText, "");
    EXPECT_EQ(stdoutText,
              "Error: resource leak; handle 0x0000000000000700 from 'mem' allocated at m\\xFF.c:7 not deallocated. "
              "Never operated. Bytes leaked: 16\n");
    const json doc = load("out.json");
    ASSERT_EQ(doc["findings"].size(), 1u);
    EXPECT_EQ(doc["findings"][0]["site"]["file"], "m\xEF\xBF\xBD.c");
    const json sarif = load("out.sarif");
    EXPECT_NE(sarif.dump().find("m\xEF\xBF\xBD.c"), std::string::npos);
}

}  // namespace

namespace {

// interior="true": a release through an address inside a block is a
// free-interior finding, and a use inside a released block a use-after-free;
// both reach the grouped view, the suppressions, the JSON and the SARIF file
// like any other kind.
TEST_F(Files, InteriorFindingsReachEveryOutput) {
    std::ifstream tmpl(std::string(KEL_SOURCE_DIR) + "/tests/analyzer/templates/kt_interior.xml");
    std::string trace = "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
    for (std::string l; std::getline(tmpl, l);)
        if (!l.empty()) trace += l + "\n";
    trace +=
        "mem\nmalloc\nm.c\n1\n0000000000000040\nOK\nOK 0000000000000100\n"
        "mem\nmemset\nm.c\n2\nmem OK 0000000000000108\n-\n-\n"
        "mem\nfree\nm.c\n3\nmem OK 0000000000000110\nvoid\n-\n"
        "mem\nfree\nm.c\n3\nmem OK 0000000000000118\nvoid\n-\n"
        "mem\nfree\nm.c\n4\nmem OK 0000000000000100\nvoid\n-\n"
        "mem\nmemset\nu.c\n5\nmem OK 0000000000000120\n-\n-\n"
        "KEL TRACING DONE\n";
    std::ofstream("interior") << trace;
    std::ofstream("interior.rules") << "use-after-free:u.c:*\n";

    ASSERT_EQ(run({"--file", "interior", "--group", "--json", "out.json", "--sarif", "out.sarif", "--suppressions",
                   "interior.rules"}),
              statusAnalysed);
    EXPECT_EQ(stderrText, "");
    EXPECT_EQ(stdoutText,
              "2 x free-interior (error): mem:free at m.c:3\n"
              "Summary: 2 errors (0 leaks, 0 bytes leaked), 0 warnings, 1 suppressed\n");

    const json doc = load("out.json");
    ASSERT_EQ(doc["findings"].size(), 2u);
    const json& f = doc["findings"][0];
    EXPECT_EQ(f["kind"], "free-interior");
    EXPECT_EQ(f["severity"], "error");
    EXPECT_EQ(f["domain"], "mem");
    EXPECT_EQ(f["tor"], "free");
    EXPECT_EQ(f["site"], (json{{"file", "m.c"}, {"line", 3}}));
    EXPECT_EQ(f["count"], 2);
    ASSERT_EQ(f["occurrences"].size(), 2u);
    // The address the call passed, and the block's allocation.
    EXPECT_EQ(f["occurrences"][0]["handle"], "0x0000000000000110");
    EXPECT_EQ(f["occurrences"][1]["handle"], "0x0000000000000118");
    EXPECT_EQ(f["occurrences"][0]["allocated"], (json{{"file", "m.c"}, {"line", 1}}));
    EXPECT_FALSE(f["occurrences"][0].contains("deallocated"));
    const json& uaf = doc["findings"][1];
    EXPECT_EQ(uaf["kind"], "use-after-free");
    EXPECT_EQ(uaf["suppressed"], true);
    EXPECT_EQ(uaf["occurrences"][0]["handle"], "0x0000000000000120");
    EXPECT_EQ(uaf["occurrences"][0]["deallocated"], (json{{"file", "m.c"}, {"line", 4}}));

    const json sarif = load("out.sarif");
    const json& results = sarif["runs"][0]["results"];
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0]["ruleId"], "free-interior");
    EXPECT_EQ(sarif["runs"][0]["tool"]["driver"]["rules"][results[0]["ruleIndex"].get<std::size_t>()]["id"],
              "free-interior");
    EXPECT_EQ(results[0]["level"], "error");
    EXPECT_EQ(results[0]["locations"][0]["physicalLocation"]["region"]["startLine"], 3);
    EXPECT_EQ(results[1]["ruleId"], "use-after-free");
    EXPECT_EQ(results[1]["suppressions"].size(), 1u);
}

}  // namespace

namespace {

std::string readAll(const char* path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// How the replay ended reaches every output: a malformed record makes the
// analysis incomplete (never a pass), a trace without its closing line is
// judged by its findings but said to be unclosed.
TEST_F(Files, HowTheReplayEndedIsSaidInEveryOutput) {
    // 96 lines of header and template; then a malloc (97-103), a use
    // (104-110) and its free (111-117): no finding.
    const std::string clean =
        "mem\nmalloc\nm.c\n1\n0000000000000010\nOK\nOK 0000000000000010\n"
        "mem\nmemset\nm.c\n2\nmem OK 0000000000000010\n-\n-\n"
        "mem\nfree\nm.c\n3\nmem OK 0000000000000010\nvoid\n-\n";
    struct Case {
        const char* name;
        std::string tail;
        int status;
        std::string summaryNote;  // after "0 suppressed"
        bool hasNote;
        bool incomplete;
        std::string note;
        std::string err;
    };
    const Case cases[] = {
        {"complete", "KEL TRACING DONE\n", 0, "", false, false, "", ""},
        {"a malformed verdict at line 123 in the record from 118",
         "mem\nmalloc\nm.c\n4\n0000000000000010\nMAYBE\nOK 0000000000000030\nKEL TRACING DONE\n", 5,
         "; incomplete at trace line 123", true, true, "incomplete at trace line 123",
         "Unexpected value 'MAYBE' instead of OK or BAD at line 123.\n"
         "keltrace: the replay stopped at trace line 123, in the record that begins at line 118: the findings are "
         "incomplete (the records after it were not analysed)\n"},
        {"no closing line", "", 0, "; the program ended without closing the trace", true, false,
         "the program ended without closing the trace",
         "keltrace: line 118: the trace ends without \"KEL TRACING DONE\": the program ended without closing the "
         "trace\n"},
    };
    std::ifstream tmpl(std::string(KEL_SOURCE_DIR) + "/tests/analyzer/templates/kt.xml");
    std::string head = "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
    for (std::string l; std::getline(tmpl, l);)
        if (!l.empty()) head += l + "\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream("ended") << head << clean << c.tail;
        ASSERT_EQ(run({"--file", "ended", "--group", "--error-exitcode", "5", "--json", "out.json", "--sarif",
                       "out.sarif", "--html", "out.html"}),
                  c.status);
        EXPECT_EQ(stdoutText, "Summary: 0 errors (0 leaks, 0 bytes leaked), 0 warnings, 0 suppressed" +
                                  c.summaryNote + "\n");
        EXPECT_EQ(stderrText, c.err);

        const json doc = load("out.json");
        const json sarif = load("out.sarif");
        const json& run0 = sarif["runs"][0];
        const std::string page = readAll("out.html");
        if (!c.hasNote) {
            // A complete run of one trace says nothing of how it ended.
            EXPECT_FALSE(doc.contains("incomplete"));
            EXPECT_FALSE(doc.contains("note"));
            EXPECT_FALSE(run0.contains("invocations"));
            EXPECT_EQ(page.find("\"note\""), std::string::npos);
            continue;
        }
        EXPECT_EQ(doc["incomplete"], c.incomplete);
        EXPECT_EQ(doc["note"], c.note);
        EXPECT_EQ(run0["properties"]["note"], c.note);
        ASSERT_EQ(run0["invocations"].size(), 1u);
        const json& invocation = run0["invocations"][0];
        EXPECT_EQ(invocation["executionSuccessful"], !c.incomplete);
        ASSERT_EQ(invocation["toolExecutionNotifications"].size(), 1u);
        EXPECT_EQ(invocation["toolExecutionNotifications"][0]["message"]["text"], c.note);
        EXPECT_EQ(invocation["toolExecutionNotifications"][0]["level"], c.incomplete ? "error" : "note");
        EXPECT_NE(page.find("\"incomplete\":" + std::string(c.incomplete ? "true" : "false") + ",\"note\":\"" +
                            c.note + "\""),
                  std::string::npos);
    }
}

}  // namespace

namespace {

// Traces over tests/analyzer/templates/kt.xml for the runs over many.
class ManyTraces : public ::testing::Test {
protected:
    void SetUp() override {
        std::ifstream tmpl(std::string(KEL_SOURCE_DIR) + "/tests/analyzer/templates/kt.xml");
        head = "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
        for (std::string l; std::getline(tmpl, l);)
            if (!l.empty()) head += l + "\n";
        const std::string done = "KEL TRACING DONE\n";
        // A long trace first, so that with several threads the short ones
        // after it finish before it does.
        std::string busy;
        for (int i = 0; i < 4000; ++i) busy += malloc(2, 0x1000 + 16 * i, 16);
        for (int i = 0; i < 4000; ++i) busy += free(3, 0x1000 + 16 * i);
        write("0-busy.trace", busy + malloc(1, 0x10, 4) + done);
        write("1-leak.trace", malloc(1, 0x10, 16) + done);
        write("2-malformed.trace", malloc(1, 0x10, 16) + "mem\nmalloc\nm.c\n9\n0000000000000010\nMAYBE\n" + done);
        write("4-unclosed.trace", malloc(4, 0x20, 8));
        write("5-untracked.trace", free(5, 0x30) + done);
        write("6-leak.trace", malloc(1, 0x10, 32) + done);
        traces = {"0-busy.trace", "1-leak.trace", "2-malformed.trace", "3-missing.trace",
                  "4-unclosed.trace", "5-untracked.trace", "6-leak.trace"};
    }

    static std::string hex16(unsigned value) {
        char text[17];
        std::snprintf(text, sizeof text, "%016X", value);
        return text;
    }
    static std::string malloc(int line, unsigned handle, unsigned size) {
        return "mem\nmalloc\nm.c\n" + std::to_string(line) + "\n" + hex16(size) + "\nOK\nOK " + hex16(handle) + "\n";
    }
    static std::string free(int line, unsigned handle) {
        return "mem\nfree\nm.c\n" + std::to_string(line) + "\nmem OK " + hex16(handle) + "\nvoid\n-\n";
    }
    void write(const char* name, const std::string& records) { std::ofstream(name) << head << records; }

    struct Run {
        int status;
        std::string text;  // out and err as one stream, to see their order
        std::string json, sarif, html;
    };
    Run run(unsigned threads, bool group) {
        AnalysisOptions o;
        o.report.group = group;
        o.report.keepGroups = true;
        o.report.keepOccurrences = true;
        o.report.maxOccurrences = 3;
        o.jsonPath = "out.json";
        o.sarifPath = "out.sarif";
        o.htmlPath = "out.html";
        o.errorExitcode = 3;
        std::ostringstream both;
        Run r;
        r.status = runTraces(traces, o, threads, both, both);
        r.text = both.str();
        r.json = readAll("out.json");
        r.sarif = readAll("out.sarif");
        r.html = readAll("out.html");
        return r;
    }

    WorkInTempDir scratch;
    std::string head;
    std::vector<std::string> traces;
};

TEST_F(ManyTraces, ParallelRunGivesTheSerialRunsOutput) {
    for (bool group : {false, true}) {
        SCOPED_TRACE(group ? "--group" : "live lines");
        const Run serial = run(1, group);
        EXPECT_EQ(serial.status, 3);
        for (unsigned threads : {2u, 4u, 7u}) {
            SCOPED_TRACE(threads);
            const Run parallel = run(threads, group);
            EXPECT_EQ(parallel.status, serial.status);
            EXPECT_EQ(parallel.text, serial.text);
            EXPECT_EQ(parallel.json, serial.json);
            EXPECT_EQ(parallel.sarif, serial.sarif);
            EXPECT_EQ(parallel.html, serial.html);
        }
    }
    // The working folder gets no template file.
    EXPECT_FALSE(fs::exists("template.tmp"));
}

// The reader's complaint about one trace's embedded template goes to the
// analysis's own streams, inside that trace's part of the report.
TEST_F(ManyTraces, TemplateReadersMessageStaysInItsTrace) {
    std::string odd = head;
    const std::string flag = "force_flush=\"true\"";
    ASSERT_NE(odd.find(flag), std::string::npos);
    odd.replace(odd.find(flag), flag.size(), "force_flush=\"maybe\"");
    std::ofstream("7-odd-flag.trace") << odd << malloc(1, 0x10, 16) << "KEL TRACING DONE\n";
    traces = {"1-leak.trace", "7-odd-flag.trace"};
    const Run r = run(2, false);
    EXPECT_NE(r.text.find("=== trace 2 of 2: 7-odd-flag.trace\nunexpected value 'maybe' at ccloader:29\n"),
              std::string::npos)
        << r.text;
}

TEST_F(ManyTraces, OneReportOverAll) {
    const Run r = run(4, true);
    // Each trace introduced, its own complaints after its line, then the
    // groups over all traces and the summary.
    const std::string expectedEnd =
        "=== trace 6 of 7: 5-untracked.trace\n"
        "=== trace 7 of 7: 6-leak.trace\n"
        "4000 x never-used (warning): mem:free at m.c:3; in 1 of 7 traces (first: 0-busy.trace)\n"
        "4 x leak (error): mem:malloc at m.c:1, 68 bytes; in 4 of 7 traces (first: 0-busy.trace)\n"
        "1 x leak (error): mem:malloc at m.c:4, 8 bytes; in 1 of 7 traces (first: 4-unclosed.trace)\n"
        "1 x unallocated-free (error): mem:free at m.c:5; in 1 of 7 traces (first: 5-untracked.trace)\n"
        "Summary: 6 errors (5 leaks, 76 bytes leaked), 4000 warnings, 0 suppressed; 7 traces, 2 incomplete, "
        "1 ended without closing the trace\n"
        "Trace 2-malformed.trace: incomplete at trace line 109\n"
        "Trace 3-missing.trace: the trace's header could not be read: nothing was analysed\n"
        "Trace 4-unclosed.trace: the program ended without closing the trace\n";
    ASSERT_GE(r.text.size(), expectedEnd.size());
    EXPECT_EQ(r.text.substr(r.text.size() - expectedEnd.size()), expectedEnd);
    EXPECT_NE(r.text.find("=== trace 3 of 7: 2-malformed.trace\n"
                          "Unexpected value 'MAYBE' instead of OK or BAD at line 109.\n"
                          "keltrace: the replay stopped at trace line 109, in the record that begins at line 104: "
                          "the findings are incomplete (the records after it were not analysed)\n"
                          "keltrace: 2-malformed.trace: incomplete at trace line 109\n"
                          "=== trace 4 of 7: 3-missing.trace\n"
                          "keltrace: cannot open trace file '3-missing.trace': No such file or directory\n"),
              std::string::npos);

    const json doc = json::parse(r.json);
    EXPECT_TRUE(doc["trace"].is_null());
    EXPECT_EQ(doc["template"], "kt");
    EXPECT_EQ(doc["incomplete"], true);
    EXPECT_EQ(doc["note"], "2 of 7 traces incomplete");
    ASSERT_EQ(doc["traces"].size(), 7u);
    EXPECT_EQ(doc["traces"][2], (json{{"trace", "2-malformed.trace"},
                                      {"template", "kt"},
                                      {"complete", false},
                                      {"note", "incomplete at trace line 109"}}));
    EXPECT_EQ(doc["traces"][3]["template"], "");
    EXPECT_EQ(doc["traces"][4]["complete"], true);
    EXPECT_TRUE(doc["traces"][6]["note"].is_null());
    const json& leak = doc["findings"][1];
    EXPECT_EQ(leak["kind"], "leak");
    // The malformed trace's leak report ran: its block counts.
    EXPECT_EQ(leak["count"], 4);
    EXPECT_EQ(leak["traces"], 4);
    EXPECT_EQ(leak["first_trace"], "0-busy.trace");
    ASSERT_EQ(leak["occurrences"].size(), 3u);
    EXPECT_EQ(leak["occurrences"][1]["trace"], "1-leak.trace");
    EXPECT_EQ(leak["occurrences"][2]["trace"], "2-malformed.trace");
    EXPECT_EQ(leak["occurrences"][0]["bytes"], 4);
    // The cap holds over all traces.
    EXPECT_EQ(doc["findings"][0]["occurrences"].size(), 3u);

    const json sarif = json::parse(r.sarif);
    const json& invocation = sarif["runs"][0]["invocations"][0];
    EXPECT_EQ(invocation["executionSuccessful"], false);
    ASSERT_EQ(invocation["toolExecutionNotifications"].size(), 3u);
    EXPECT_EQ(invocation["toolExecutionNotifications"][0]["message"]["text"],
              "2-malformed.trace: incomplete at trace line 109");
    EXPECT_EQ(sarif["runs"][0]["results"][1]["properties"]["traces"], 4);
    EXPECT_NE(r.html.find("\"incomplete\":true,\"note\":\"2 of 7 traces incomplete\""), std::string::npos);
}

TEST_F(ManyTraces, FolderStandsForItsTraceFilesInNameOrder) {
    fs::create_directory("runs");
    fs::create_directory("runs/sub.trace");
    std::ofstream("runs/b.trace") << "x";
    std::ofstream("runs/a.trace") << "x";
    std::ofstream("runs/a.trace.txt") << "x";
    std::ofstream("runs/c.tracex") << "x";
    fs::create_symlink("b.trace", "runs/link.trace");
    std::vector<std::string> listed;
    bool many = false;
    std::ostringstream err;
    ASSERT_TRUE(listTraces({"1-leak.trace", "runs", "6-leak.trace"}, listed, many, err));
    EXPECT_TRUE(many);
    EXPECT_EQ(listed, (std::vector<std::string>{"1-leak.trace", "runs/a.trace", "runs/b.trace", "runs/link.trace",
                                                "6-leak.trace"}));
    listed.clear();
    ASSERT_TRUE(listTraces({"1-leak.trace"}, listed, many, err));
    EXPECT_FALSE(many);
    EXPECT_EQ(err.str(), "");
}

}  // namespace
