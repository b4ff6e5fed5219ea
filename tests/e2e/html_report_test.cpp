// keltrace --html in a real browser. kelgen generates the library from
// tests/e2e/templates/html_report.xml (heap blocks, FILE streams and the
// slots of the program's own pool), gcc builds the program of
// tests/e2e/programs/html_report with one of its files really named
// "<img src=x onerror=alert(1)>.c", the program runs, keltrace writes the
// page, and headless Chromium loads it: once to print the DOM after the
// page's script ran, once to take a 1280x800 screenshot.
//
// Where Chromium cannot start, the tests are skipped with a message; under
// CI (CI set in the environment), where scripts/deps.sh installs it, they
// fail instead.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run_command.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const char kHostile[] = "<img src=x onerror=alert(1)>.c";
const std::string kProgram = std::string(KEL_SOURCE_DIR) + "/tests/e2e/programs/html_report";

// The program's records, counted from its source: churn(1000) 3 each,
// hold_and_release(300) 3 each, malloc(0) and free, fopen and fclose, four
// slot calls, leak_names(3).
const int kRecords = 3000 + 900 + 2 + 2 + 4 + 3;
// Past 2,000 records the samples are two records wide: ceil(3911 / 2).
const int kSamples = (kRecords + 1) / 2;

std::string chromium() {
    const CommandResult r = runCommand("{ command -v chromium || command -v chromium-browser; }");
    std::string path = r.out.substr(0, r.out.find('\n'));
    return path;
}

// Runs headless Chromium with its own profile folder in dir.
CommandResult browse(const TempDir& dir, const std::string& what) {
    return runCommand("timeout 60 " + chromium() +
                      " --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run"
                      " --user-data-dir=" +
                      dir.file("profile") + " " + what);
}

// Why Chromium cannot start here, or "" when it can.
std::string chromiumProblem(const TempDir& dir) {
    if (chromium().empty()) return "no chromium on the PATH (scripts/deps.sh installs it)";
    const CommandResult r = browse(dir, "--dump-dom about:blank");
    if (r.status != 0 || r.out.find("<html") == std::string::npos) {
        return "chromium --headless did not start (status " + std::to_string(r.status) + "): " +
               r.err.substr(0, 400);
    }
    return "";
}

#define REQUIRE_CHROMIUM(dir)                                                                 \
    do {                                                                                      \
        const std::string problem = chromiumProblem(dir);                                     \
        if (!problem.empty()) {                                                               \
            if (std::getenv("CI") != nullptr) FAIL() << "CI must run the browser test: " << problem; \
            GTEST_SKIP() << "browser test skipped: " << problem;                              \
        }                                                                                     \
    } while (0)

// Builds and runs the program in dir, and has keltrace write report.html.
void makeReport(const TempDir& dir) {
    fs::copy_file(std::string(KEL_SOURCE_DIR) + "/tests/e2e/templates/html_report.xml", dir.file("t.xml"));
    for (const char* name : {"main.c", "work.c", "work.h", "pool.c", "pool.h"}) {
        fs::copy_file(kProgram + "/" + name, dir.file(name));
    }
    fs::copy_file(kProgram + "/leaky.c", dir.file(kHostile));
    dir.write("rules", "never-used:FILE:*\n");

    const std::string in = "cd " + dir.path() + " && ";
    CommandResult r = runCommand(in + KELGEN + " t.xml kel.h kel.c");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = runCommand(in + "gcc -Wall -Wextra -I. -o prog main.c work.c pool.c '" + kHostile + "' kel.c");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = runCommand(in + "./prog");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = runCommand(in + KELTRACE +
                   " --html report.html --suppressions rules --error-exitcode 3 --group --file trace.out");
    ASSERT_EQ(r.status, 3) << r.out << r.err;
    ASSERT_TRUE(fs::exists(dir.file("report.html")));
}

// The text of an element's markup: tags dropped, runs of cells joined by "|".
std::vector<std::string> cells(const std::string& row) {
    std::vector<std::string> out;
    static const std::regex cell("<td[^>]*>([\\s\\S]*?)</td>");
    for (std::sregex_iterator i(row.begin(), row.end(), cell), end; i != end; ++i) {
        std::string text = std::regex_replace((*i)[1].str(), std::regex("<[^>]*>"), "");
        out.push_back(text);
    }
    return out;
}

// The markup of the element that starts with `open`, to its first `close`.
std::string element(const std::string& dom, const std::string& open, const std::string& close) {
    const std::size_t from = dom.find(open);
    if (from == std::string::npos) return "";
    const std::size_t to = dom.find(close, from);
    return to == std::string::npos ? "" : dom.substr(from, to + close.size() - from);
}

struct Series {
    std::string domain;
    int points;
};

// Each series of a chart: its domain and the points of its line. Read by
// hand: a line holds thousands of points, too long for std::regex.
std::vector<Series> seriesOf(const std::string& svg) {
    std::vector<Series> out;
    const std::string open = "<g class=\"series\" data-domain=\"", points = "points=\"";
    for (std::size_t at = svg.find(open); at != std::string::npos; at = svg.find(open, at)) {
        at += open.size();
        Series s;
        s.domain = svg.substr(at, svg.find('"', at) - at);
        const std::size_t line = svg.find("<polyline", at);
        if (line == std::string::npos) break;
        const std::size_t from = svg.find(points, line) + points.size();
        std::istringstream list(svg.substr(from, svg.find('"', from) - from));
        s.points = 0;
        for (std::string p; list >> p;) ++s.points;
        out.push_back(s);
    }
    return out;
}

TEST(HtmlReportInBrowser, ChartFindingsAndHostileNameAfterTheScriptRan) {
    TempDir dir;
    REQUIRE_CHROMIUM(dir);
    makeReport(dir);
    if (HasFatalFailure()) return;
    const CommandResult r = browse(dir, "--dump-dom file://" + dir.file("report.html"));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& dom = r.out;

    // The chart: one series per domain, one point per sample.
    const std::string handles = element(dom, "<svg id=\"chart-handles\"", "</svg>");
    ASSERT_FALSE(handles.empty()) << dom.substr(0, 2000);
    EXPECT_NE(handles.find("data-samples=\"" + std::to_string(kSamples) + "\""), std::string::npos);
    const std::vector<Series> live = seriesOf(handles);
    ASSERT_EQ(live.size(), 3u);
    const char* domains[] = {"mem", "FILE", "slot"};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(domains[i]);
        EXPECT_EQ(live[i].domain, domains[i]);
        EXPECT_EQ(live[i].points, kSamples);
    }
    for (const char* part : {"record number", "live handles", "<text x=\"20\" y=\"0\" class=\"legend-label\">FILE"}) {
        EXPECT_NE(handles.find(part), std::string::npos) << part;
    }
    // Only the heap tracks bytes.
    const std::vector<Series> bytes = seriesOf(element(dom, "<svg id=\"chart-bytes\"", "</svg>"));
    ASSERT_EQ(bytes.size(), 1u);
    EXPECT_EQ(bytes[0].domain, "mem");
    EXPECT_EQ(bytes[0].points, kSamples);

    // The findings table: the --group lines, the suppressed group left out.
    const std::string hostileSite = "&lt;img src=x onerror=alert(1)&gt;.c:11";
    const std::vector<std::vector<std::string>> expected = {
        {"\xE2\x96\xB8", "3", "leak", "error", "mem", "malloc", hostileSite, "48"},
        {"\xE2\x96\xB8", "1", "zero-alloc", "warning", "mem", "malloc", "main.c:16", ""},
        {"\xE2\x96\xB8", "1", "never-used", "warning", "mem", "free", "main.c:17", "0"},
        {"\xE2\x96\xB8", "1", "double-free", "error", "slot", "slot_give", "main.c:26", ""},
    };
    const std::string findings = element(dom, "<table id=\"findings\"", "</table>");
    std::vector<std::vector<std::string>> rows;
    static const std::regex groupRow("<tr class=\"group[^\"]*\"[^>]*>([\\s\\S]*?)</tr>");
    for (std::sregex_iterator i(findings.begin(), findings.end(), groupRow), end; i != end; ++i) {
        rows.push_back(cells((*i)[1].str()));
    }
    EXPECT_EQ(rows, expected);
    EXPECT_NE(dom.find("show suppressed groups (1)"), std::string::npos);

    // The leaks by allocation site.
    const std::string leaks = element(dom, "<table id=\"leaks\"", "</table>");
    static const std::regex leakRow("<tr class=\"leak\">([\\s\\S]*?)</tr>");
    std::vector<std::vector<std::string>> leakRows;
    for (std::sregex_iterator i(leaks.begin(), leaks.end(), leakRow), end; i != end; ++i) {
        leakRows.push_back(cells((*i)[1].str()));
    }
    EXPECT_EQ(leakRows, (std::vector<std::vector<std::string>>{{hostileSite, "mem:malloc", "3", "48"}}));

    // The header and the verdict.
    EXPECT_NE(dom.find("<dd>3,911</dd>"), std::string::npos);
    const std::string verdict = element(dom, "<div class=\"verdict fail\" id=\"verdict\">", "</div>");
    EXPECT_NE(verdict.find("FAIL: 4 unsuppressed errors remain (3 leaks)"), std::string::npos) << verdict;
    EXPECT_NE(verdict.find("--error-exitcode 3: exit status 3"), std::string::npos) << verdict;

    // The hostile file name is text wherever it shows, never an element.
    std::string lower = dom;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(lower.find("<img"), std::string::npos);
    EXPECT_NE(dom.find("<td class=\"mono site\">" + hostileSite + "</td>"), std::string::npos);
}

// Hovering over the chart: a copy of the page with one more script that
// moves the pointer over the handles chart, at about the x of record 3,450
// of 3,911, while the program held its 300 blocks (records 3,301 to 3,600).
// The pointer lands within a pixel of it: the tooltip names one sample of
// two records there.
TEST(HtmlReportInBrowser, HoverShowsTheSampleRecordsAndValues) {
    TempDir dir;
    REQUIRE_CHROMIUM(dir);
    makeReport(dir);
    if (HasFatalFailure()) return;
    std::string page = readWholeFile(dir.file("report.html"));
    const std::size_t end = page.rfind("</body>");
    ASSERT_NE(end, std::string::npos);
    page.insert(end,
                "<script>\n"
                "var overlay = document.querySelector('#chart-handles .overlay');\n"
                "var r = overlay.getBoundingClientRect();\n"
                "overlay.dispatchEvent(new MouseEvent('mousemove', {bubbles: true,\n"
                "  clientX: r.left + r.width * 3450 / 3911, clientY: r.top + r.height / 2}));\n"
                "</script>\n");
    dir.write("hover.html", page);
    const CommandResult r = browse(dir, "--dump-dom file://" + dir.file("hover.html"));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t tip = r.out.find("<div class=\"tooltip\" style=\"display: block;");
    ASSERT_NE(tip, std::string::npos) << "no tooltip shown";
    const std::string text = std::regex_replace(r.out.substr(tip, 1500), std::regex("<[^>]*>"), "|");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("\\|records 3,([0-9]{3}) to 3,([0-9]{3})\\|"))) << text;
    const int first = 3000 + std::stoi(m[1].str()), last = 3000 + std::stoi(m[2].str());
    EXPECT_EQ(first % 2, 1) << text;  // samples of two records start at odd records
    EXPECT_EQ(last, first + 1) << text;
    EXPECT_GE(first, 3400) << text;
    EXPECT_LE(last, 3500) << text;
    for (const char* part : {"|mem: 300|", "|FILE: 0|", "|slot: 0|"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
    }
}

// One page over two traces: the program's, and one whose replay stops at its
// first record. The header lists both with how each ended, the verdict fails
// on the incomplete one, and the findings are the program's.
TEST(HtmlReportInBrowser, ManyTracesAndAnIncompleteOneInTheHeader) {
    TempDir dir;
    REQUIRE_CHROMIUM(dir);
    makeReport(dir);
    if (HasFatalFailure()) return;
    const std::string trace = readWholeFile(dir.file("trace.out"));
    const std::string end = "\n</template>\n";
    const std::size_t header = trace.find(end);
    ASSERT_NE(header, std::string::npos);
    const std::string head = trace.substr(0, header + end.size());
    const long templateEnd = static_cast<long>(std::count(head.begin(), head.end(), '\n'));
    dir.write("a.trace", trace);
    dir.write("b.trace", head + "no such domain\nmalloc\nKEL TRACING DONE\n");
    const CommandResult k = runCommand("cd " + dir.path() + " && " + KELTRACE +
                                       " --html many.html --suppressions rules --error-exitcode 3 --file a.trace b.trace");
    ASSERT_EQ(k.status, 3) << k.out << k.err;
    const CommandResult r = browse(dir, "--dump-dom file://" + dir.file("many.html"));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& dom = r.out;
    const std::string stopped = "incomplete at trace line " + std::to_string(templateEnd + 2);
    EXPECT_NE(dom.find("<dt>Traces</dt><dd class=\"mono\">2: a.trace, b.trace (" + stopped + ")</dd>"),
              std::string::npos)
        << element(dom, "<dl", "</dl>");
    EXPECT_NE(dom.find("<dd class=\"error\">1 of 2 traces incomplete</dd>"), std::string::npos)
        << element(dom, "<dl", "</dl>");
    const std::string verdict = element(dom, "<div class=\"verdict fail\" id=\"verdict\">", "</div>");
    EXPECT_NE(verdict.find("FAIL: 4 unsuppressed errors remain (3 leaks)"), std::string::npos) << verdict;
    // The findings are a.trace's, as in the single report.
    const std::string findings = element(dom, "<table id=\"findings\"", "</table>");
    EXPECT_NE(findings.find("double-free"), std::string::npos) << findings.substr(0, 2000);
}

// The distinct colours of a PNG, read with libpng.
std::set<unsigned> coloursOf(const std::string& path, unsigned& width, unsigned& height) {
    std::set<unsigned> colours;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return colours;
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return colours;
    width = image.width;
    height = image.height;
    for (std::size_t i = 0; i + 2 < pixels.size(); i += 3) {
        colours.insert(unsigned(pixels[i]) << 16 | unsigned(pixels[i + 1]) << 8 | pixels[i + 2]);
    }
    return colours;
}

TEST(HtmlReportInBrowser, ScreenshotIsNotBlank) {
    TempDir dir;
    REQUIRE_CHROMIUM(dir);
    makeReport(dir);
    if (HasFatalFailure()) return;
    const CommandResult r = browse(dir, "--window-size=1280,800 --screenshot=" + dir.file("shot.png") + " file://" +
                                            dir.file("report.html"));
    ASSERT_EQ(r.status, 0) << r.err;
    unsigned width = 0, height = 0;
    const std::set<unsigned> colours = coloursOf(dir.file("shot.png"), width, height);
    EXPECT_EQ(width, 1280u);
    EXPECT_EQ(height, 800u);
    // Text, tables and a chart: many colours (a blank page has one).
    EXPECT_GT(colours.size(), 50u);
    // The legend's swatches, solid rectangles in the first colours of the
    // page's palette: the chart was drawn.
    EXPECT_EQ(colours.count(0x0969DA), 1u) << "no mem swatch";
    EXPECT_EQ(colours.count(0xCF222E), 1u) << "no FILE swatch";
    EXPECT_EQ(colours.count(0x1A7F37), 1u) << "no slot swatch";
}

}  // namespace
