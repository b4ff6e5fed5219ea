// The HTML report's file: its data block read back with nlohmann-json and
// checked against values worked out by hand from small fixture traces, the
// escaping of trace texts inside the script element, and a page that loads
// nothing from outside. The page's script itself runs in
// tests/e2e/html_report_test.cpp, in a real browser.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "keltrace_status.h"
#include "report_html.h"
#include "work_in_temp_dir.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const char kHostile[] = "<img src=x onerror=alert(1)>.c";

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

TEST(ScriptSafeJson, TraceTextsCannotEndOrChangeTheScriptElement) {
    const char* const texts[] = {
        kHostile,
        "</script><script>alert(1)</script>",
        "</SCRIPT >",
        "<!-- <script>",
        "a & b > c",
        "line\xE2\x80\xA8separator\xE2\x80\xA9paragraph",
        "plain.c",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const json value = json{{"file", text}, {"list", json::array({text, 1})}};
        const std::string safe = scriptSafeJson(value.dump());
        EXPECT_EQ(safe.find('<'), std::string::npos);
        EXPECT_EQ(safe.find('>'), std::string::npos);
        EXPECT_EQ(safe.find('&'), std::string::npos);
        EXPECT_EQ(safe.find("\xE2\x80\xA8"), std::string::npos);
        EXPECT_EQ(safe.find("\xE2\x80\xA9"), std::string::npos);
        // The same value, read back.
        EXPECT_EQ(json::parse(safe), value);
    }
    EXPECT_EQ(scriptSafeJson(R"({"f":"<a>&"})"), R"({"f":"\u003ca\u003e\u0026"})");
}

TEST(PageAssets, StyleAndScriptCannotEndTheirElements) {
    for (const char* asset : {kReportPageCss, kReportPageJs}) {
        const std::string text = lower(asset);
        ASSERT_GT(text.size(), 1000u);
        EXPECT_EQ(text.find("</script"), std::string::npos);
        EXPECT_EQ(text.find("</style"), std::string::npos);
        EXPECT_EQ(text.find("<!--"), std::string::npos);
    }
    // The script reads its data and writes text, never markup.
    const std::string js = kReportPageJs;
    EXPECT_NE(js.find("getElementById('kel-data')"), std::string::npos);
    for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval("}) {
        SCOPED_TRACE(sink);
        EXPECT_EQ(js.find(sink), std::string::npos);
    }
}

std::string templateLines() {
    std::ifstream tmpl(std::string(KEL_SOURCE_DIR) + "/tests/analyzer/templates/kt.xml");
    std::string text;
    for (std::string l; std::getline(tmpl, l);)
        if (!l.empty()) text += l + "\n";
    return text;
}

// Traces over tests/analyzer/templates/kt.xml (domains mem, sized, FILE and
// sock), analysed in a folder of their own.
class HtmlPage : public ::testing::Test {
protected:

    void writeTrace(const std::string& name, const std::string& records) {
        std::ofstream(name) << "KEL TRACING BEGIN\nKEL PROTOCOL 01\n" << templateLines() << records
                            << "KEL TRACING DONE\n";
    }

    int run(std::vector<const char*> args) {
        args.insert(args.begin(), "keltrace");
        std::ostringstream out, err;
        const int status = runKeltrace(parseCommandLine(static_cast<int>(args.size()), args.data()), "keltrace",
                                       out, err);
        stdoutText = out.str();
        stderrText = err.str();
        return status;
    }

    // The page, and the JSON of its data block.
    void load(const char* path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        page = s.str();
        const std::string open = "<script type=\"application/json\" id=\"kel-data\">";
        const std::size_t from = page.find(open);
        ASSERT_NE(from, std::string::npos);
        const std::size_t to = page.find("</script>", from);
        ASSERT_NE(to, std::string::npos);
        dataText = page.substr(from + open.size(), to - from - open.size());
        data = json::parse(dataText);
        outside = page.substr(0, from) + page.substr(to);
    }

    // A site of the page's data as text, "file:line".
    std::string site(const json& index) const {
        if (index.is_null()) return "-";
        const json& s = data["sites"][index.get<std::size_t>()];
        return data["strings"][s[0].get<std::size_t>()].get<std::string>() + ":" +
               data["strings"][s[1].get<std::size_t>()].get<std::string>();
    }
    std::string text(const json& index) const {
        return index.is_null() ? "-" : data["strings"][index.get<std::size_t>()].get<std::string>();
    }

    WorkInTempDir scratch;
    std::string stdoutText, stderrText, page, dataText, outside;
    json data;
};

// Eight records: two heap blocks (one grown by realloc), a FILE opened and
// closed unused, a block freed unused and then again, a socket left open.
const std::string kEightRecords = std::string("mem\nmalloc\n") + kHostile +
                                  "\n3\n0000000000000010\nOK\nOK 0000000000000010\n"
                                  "mem\nrealloc\nr.c\n4\nmem OK 0000000000000010\n0000000000000040\nOK\nOK 0000000000000050\n"
                                  "FILE\nfopen\nf.c\n5\nOK\nOK 00000000000000A0\n"
                                  "FILE\nfclose\nf.c\n6\nFILE OK 00000000000000A0\nOK\n-\n"
                                  "mem\nmalloc\n" +
                                  kHostile +
                                  "\n3\n0000000000000008\nOK\nOK 0000000000000060\n"
                                  "mem\nfree\nx.c\n7\nmem OK 0000000000000050\nvoid\n-\n"
                                  "mem\nfree\nx.c\n7\nmem OK 0000000000000050\nvoid\n-\n"
                                  "sock\nsocket\ns.c\n8\nOK\nOK 0000000000000003\n";

TEST_F(HtmlPage, DataHoldsTheSummaryTheLiveResourcesAndTheGroups) {
    writeTrace("trace", kEightRecords);
    ASSERT_EQ(run({"--html", "report.html", "--file", "trace", "--error-exitcode", "5"}), 5);
    EXPECT_EQ(stderrText, "");
    // The live findings are printed as without --html.
    EXPECT_NE(stdoutText.find("Error: deallocation of handle 0x0000000000000050 by mem:free at x.c:7"),
              std::string::npos);
    load("report.html");

    EXPECT_EQ(data["template"], "kt");
    EXPECT_EQ(data["trace"], "trace");
    EXPECT_EQ(data["records"], 8);
    EXPECT_EQ(data["error_exitcode"], 5);
    EXPECT_EQ(data["leak_report"], true);
    EXPECT_EQ(data["occurrence_cap"], 20);
    EXPECT_EQ(data["summary"],
              (json{{"errors", 3}, {"warnings", 2}, {"leaks", 2}, {"bytes_leaked", 8}, {"suppressed", 0}}));

    // One sample per record; the values after each record, by hand.
    const json& chart = data["chart"];
    EXPECT_EQ(chart["records"], 8);
    EXPECT_EQ(chart["width"], 1);
    EXPECT_EQ(chart["samples"], 8);
    ASSERT_EQ(chart["domains"].size(), 3u);
    struct Series {
        const char* domain;
        bool sized;
        std::vector<int> handles, bytes;
    };
    const Series series[] = {
        {"mem", true, {1, 1, 1, 1, 2, 1, 1, 1}, {16, 64, 64, 64, 72, 8, 8, 8}},
        {"FILE", false, {0, 0, 1, 0, 0, 0, 0, 0}, {}},
        {"sock", false, {0, 0, 0, 0, 0, 0, 0, 1}, {}},
    };
    for (std::size_t d = 0; d < 3; ++d) {
        SCOPED_TRACE(series[d].domain);
        const json& entry = chart["domains"][d];
        EXPECT_EQ(entry["name"], series[d].domain);
        EXPECT_EQ(entry["sized"], series[d].sized);
        for (const char* part : {"min", "max", "last"}) EXPECT_EQ(entry["handles"][part], json(series[d].handles));
        if (series[d].sized) {
            for (const char* part : {"min", "max", "last"}) EXPECT_EQ(entry["bytes"][part], json(series[d].bytes));
        } else {
            EXPECT_FALSE(entry.contains("bytes"));
        }
    }

    // The groups as --group orders them: all once, so in the order first seen.
    struct Row {
        const char* kind;
        const char* domain;
        const char* tor;
        std::string site;
        int bytes;
        std::string call, allocated, released;
    };
    const std::string hostile3 = std::string(kHostile) + ":3";
    const Row rows[] = {
        {"never-used", "FILE", "fclose", "f.c:6", 0, "f.c:6", "f.c:5", "-"},
        {"never-used", "mem", "free", "x.c:7", 64, "x.c:7", "r.c:4", "-"},
        {"double-free", "mem", "free", "x.c:7", 0, "x.c:7", "r.c:4", "x.c:7"},
        {"leak", "mem", "malloc", hostile3, 8, "-", hostile3, "-"},
        {"leak", "sock", "socket", "s.c:8", 0, "-", "s.c:8", "-"},
    };
    const json& groups = data["groups"];
    ASSERT_EQ(groups.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(rows[i].kind + std::string(" ") + rows[i].site);
        const json& g = groups[i];
        EXPECT_EQ(data["kinds"][g["kind"].get<std::size_t>()]["id"], rows[i].kind);
        EXPECT_EQ(text(g["domain"]), rows[i].domain);
        EXPECT_EQ(text(g["tor"]), rows[i].tor);
        EXPECT_EQ(site(g["site"]), rows[i].site);
        EXPECT_EQ(g["count"], 1);
        EXPECT_EQ(g["bytes"], rows[i].bytes);
        EXPECT_EQ(g["suppressed"], false);
        ASSERT_EQ(g["occurrences"].size(), 1u);
        const json& o = g["occurrences"][0];
        EXPECT_EQ(site(o[1]), rows[i].call);
        EXPECT_EQ(site(o[2]), rows[i].allocated);
        EXPECT_EQ(site(o[3]), rows[i].released);
    }
    EXPECT_EQ(groups[2]["occurrences"][0][0], "0x0000000000000050");

    // The hostile name is in the data as text and nowhere as markup.
    EXPECT_EQ(dataText.find('<'), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_NE(dataText.find("\\u003cimg src=x onerror=alert(1)\\u003e.c"), std::string::npos);
}

TEST_F(HtmlPage, ThePageLoadsNothingFromOutside) {
    writeTrace("trace", kEightRecords);
    ASSERT_EQ(run({"--file", "trace", "--html=report.html"}), statusAnalysed);
    load("report.html");
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(page.find("Content-Security-Policy\" content=\"default-src 'none'"), std::string::npos);
    const std::string rest = lower(outside);
    for (const char* loads : {"src=", "href", "url(", "@import", "<link", "<img", "<iframe", "<object", "<embed",
                              "https:", "//cdn"}) {
        SCOPED_TRACE(loads);
        EXPECT_EQ(rest.find(loads), std::string::npos);
    }
    // The one http: text is the SVG namespace the script creates elements in.
    std::size_t at = 0, count = 0;
    while ((at = rest.find("http:", at)) != std::string::npos) {
        EXPECT_EQ(rest.compare(at, 26, "http://www.w3.org/2000/svg"), 0);
        ++count;
        ++at;
    }
    EXPECT_EQ(count, 1u);
}

// 25 uses of one untracked handle at one line: one group, capped at the
// page's 20 occurrences, or at --max-occurrences.
TEST_F(HtmlPage, OccurrencesAreCappedPerGroup) {
    std::string records;
    for (int i = 0; i < 25; ++i) records += "mem\nmemset\nu.c\n9\nmem OK 0000000000000099\n-\n-\n";
    writeTrace("trace", records);
    struct Case {
        std::vector<const char*> options;
        int cap;
        std::size_t listed;
    };
    const Case cases[] = {
        {{}, 20, 20},
        {{"--max-occurrences", "3"}, 3, 3},
        {{"--max-occurrences", "50"}, 50, 25},
        {{"--max-occurrences", "0"}, 20, 20},    // 0 means all in the JSON, never in the page
        {{"--json", "all.json"}, 20, 20},        // the JSON keeps all 25; the page lists 20
    };
    for (const Case& c : cases) {
        std::vector<const char*> args = {"--file", "trace", "--html", "report.html"};
        std::string shown;
        for (const char* o : c.options) {
            args.push_back(o);
            shown += std::string(o) + " ";
        }
        SCOPED_TRACE(shown);
        ASSERT_EQ(run(args), statusAnalysed);
        load("report.html");
        EXPECT_EQ(data["occurrence_cap"], c.cap);
        ASSERT_EQ(data["groups"].size(), 1u);
        EXPECT_EQ(data["groups"][0]["count"], 25);
        EXPECT_EQ(data["groups"][0]["occurrences"].size(), c.listed);
        EXPECT_EQ(data["records"], 25);
        EXPECT_EQ(data["chart"]["samples"], 25);
    }
    std::ifstream in("all.json");
    EXPECT_EQ(json::parse(in)["findings"][0]["occurrences"].size(), 25u);
}

TEST_F(HtmlPage, SuppressedGroupsAreMarkedAndTheVerdictCountsOnlyTheRest) {
    writeTrace("trace", kEightRecords);
    std::ofstream("rules") << "*:mem:free\nleak:*\n";
    ASSERT_EQ(run({"--file", "trace", "--html", "report.html", "--suppressions", "rules", "--error-exitcode", "4"}), 0);
    load("report.html");
    EXPECT_EQ(data["summary"]["errors"], 0);
    EXPECT_EQ(data["summary"]["warnings"], 1);
    EXPECT_EQ(data["summary"]["suppressed"], 4);
    std::size_t suppressed = 0;
    for (const json& g : data["groups"]) suppressed += g["suppressed"].get<bool>() ? 1 : 0;
    EXPECT_EQ(suppressed, 4u);
}

TEST_F(HtmlPage, ATraceWithoutRecordsGivesAnEmptyChart) {
    writeTrace("trace", "");
    ASSERT_EQ(run({"--file", "trace", "--html", "report.html", "--error-exitcode", "9"}), 0);
    load("report.html");
    EXPECT_EQ(data["records"], 0);
    EXPECT_EQ(data["chart"]["samples"], 0);
    EXPECT_EQ(data["chart"]["domains"].size(), 3u);
    EXPECT_EQ(data["chart"]["domains"][0]["handles"]["last"], json::array());
    EXPECT_EQ(data["groups"], json::array());
    EXPECT_EQ(data["summary"]["errors"], 0);
}

// A malformed reallocator record ends the run with 255 and no leak report;
// the page still shows what was replayed, and says so.
TEST_F(HtmlPage, ARunEndedByAMalformedRecordStillGivesThePage) {
    writeTrace("trace", "mem\nmalloc\na.c\n1\n0000000000000010\nOK\nOK 0000000000000010\n"
                        "mem\nrealloc\nb.c\n2\nmem OK\n");
    ASSERT_EQ(run({"--file", "trace", "--html", "report.html"}), statusMalformedRealloc);
    load("report.html");
    EXPECT_EQ(data["leak_report"], false);
    EXPECT_EQ(data["records"], 2);
    EXPECT_EQ(data["chart"]["domains"][0]["handles"]["last"], (json{1, 1}));
    EXPECT_EQ(data["groups"], json::array());
}

TEST_F(HtmlPage, AnUnwritablePathIsNamedWithStatusTwo) {
    writeTrace("trace", kEightRecords);
    ASSERT_EQ(run({"--file", "trace", "--html", "missing/report.html"}), statusUsage);
    EXPECT_EQ(stderrText.rfind("keltrace: cannot write 'missing/report.html': ", 0), 0u) << stderrText;
    EXPECT_FALSE(fs::exists("missing"));
}

TEST(HtmlCommandLine, OptionFormsAndClashes) {
    struct Case {
        std::vector<const char*> args;
        const char* problem;
        const char* html;
    };
    const Case cases[] = {
        {{"--html", "r.html", "--file", "t"}, "", "r.html"},
        {{"--file", "t", "--html=r.html", "--group", "--json", "j"}, "", "r.html"},
        {{"--file", "t", "--html"}, "option '--html' needs a value", ""},
        {{"--file", "t", "--html="}, "option '--html' needs a value", ""},
        {{"--file", "t", "--html", "a", "--html", "b"}, "option '--html' given twice", ""},
        {{"--file", "t", "--html", "a", "--json", "a"}, "--json and --html name the same file 'a'", ""},
        {{"--file", "t", "--sarif", "a", "--html", "a"}, "--sarif and --html name the same file 'a'", ""},
    };
    for (const Case& c : cases) {
        std::vector<const char*> args = c.args;
        std::string shown;
        for (const char* a : args) shown += std::string(a) + " ";
        SCOPED_TRACE(shown);
        args.insert(args.begin(), "keltrace");
        const KeltraceCommand r = parseCommandLine(static_cast<int>(args.size()), args.data());
        EXPECT_EQ(r.problem, c.problem);
        EXPECT_EQ(r.htmlPath, c.html);
    }
}

}  // namespace
