// End to end: kelgen generates the library from a template, gcc builds a real
// C program with it, the program runs and writes its trace, and keltrace
// analyses the trace. Each case is a folder under tests/e2e/cases:
//   case          settings: "template: NAME" (from tests/e2e/templates, or a
//                 path from the repository's root when NAME holds a "/"),
//                 "sources: PATH..." (more files, from the root; the .c
//                 ones are compiled), "cflags: ...", "program: N" (its
//                 exit status) or "program: signal", "keltrace: N"
//                 (keltrace's exit status), "link-wrap: yes" (the program
//                 is linked with the flags of kelgen --wrap-flags),
//                 "trace: FILE" (the template's
//                 trace_target, default trace.out; a name with one "*",
//                 as a per-process trace_target gives, names the one file
//                 that matches), "traces: PATTERN" (many traces: the
//                 shell pattern goes to keltrace's --file as it is, and
//                 the names it matched are masked in keltrace's output as
//                 <T1>, <T2>... by first appearance), "keltrace-args: ..."
//                 (options before --file), "valgrind: yes" (the program
//                 runs under valgrind --leak-check=full, as a developer
//                 would run it, its log in valgrind.log), "valgrind-args:
//                 ..." (more valgrind options, such as --track-fds=yes)
//   *.c, *.h      the program (every .c is compiled with kel.c); any other
//                 file (a suppressions file) is copied beside it
//   expected.out  keltrace's standard output, handles masked
//   expected.err  keltrace's standard error (absent: empty)
//   expected.valgrind  lines that valgrind's log must contain, each as a whole
// Handles are addresses that change from run to run, so the runner replaces
// each distinct non-zero 0x<16 digits> by <H1>, <H2>... in order of first
// appearance: the expectation still says which messages name the same handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <sstream>

#include "run_command.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kRoot = std::string(KEL_SOURCE_DIR) + "/tests/e2e";

bool isHex16(const std::string& text, std::size_t at) {
    if (at + 16 > text.size()) return false;
    for (std::size_t i = at; i < at + 16; ++i) {
        const char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

std::string maskHandles(const std::string& text) {
    std::map<std::string, std::string> names;
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, "0x") == 0 && isHex16(text, i + 2)) {
            const std::string digits = text.substr(i + 2, 16);
            if (digits == std::string(16, '0')) {
                out += "0x" + digits;
            } else {
                auto found = names.find(digits);
                if (found == names.end()) {
                    found = names.emplace(digits, "<H" + std::to_string(names.size() + 1) + ">").first;
                }
                out += "0x" + found->second;
            }
            i += 18;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::map<std::string, std::string> readSettings(const std::string& path) {
    std::map<std::string, std::string> settings;
    std::istringstream in(readWholeFile(path));
    for (std::string l; std::getline(in, l);) {
        if (l.empty() || l[0] == '#') continue;
        const std::size_t colon = l.find(':');
        std::string value = l.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        settings[l.substr(0, colon)] = value;
    }
    return settings;
}

std::vector<std::string> listCases() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(kRoot + "/cases")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The trace the program wrote: `name` itself, or the one file of `dir` whose
// name matches a pattern with one "*" (a per-process trace name).
std::string traceFile(const std::string& dir, const std::string& name) {
    const std::size_t star = name.find('*');
    if (star == std::string::npos) return name;
    const std::string head = name.substr(0, star), tail = name.substr(star + 1);
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string file = e.path().filename().string();
        if (file.size() >= head.size() + tail.size() && file.compare(0, head.size(), head) == 0 &&
            file.compare(file.size() - tail.size(), tail.size(), tail) == 0)
            found.push_back(file);
    }
    EXPECT_EQ(1u, found.size()) << "traces matching " << name;
    return found.empty() ? name : found.front();
}

// Trace names that vary from run to run (a process id in them): every name
// that matches a pattern with one "*" (the "*" standing for letters, digits
// or "-") becomes <T1>, <T2>... by first appearance.
std::string maskTraceNames(const std::string& text, const std::string& pattern) {
    const std::size_t star = pattern.find('*');
    if (star == std::string::npos) return text;
    const std::string head = pattern.substr(0, star), tail = pattern.substr(star + 1);
    std::map<std::string, int> seen;
    std::string masked;
    std::size_t at = 0;
    for (std::size_t found; (found = text.find(head, at)) != std::string::npos;) {
        std::size_t end = found + head.size();
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '-'))
            ++end;
        if (text.compare(end, tail.size(), tail) != 0) {
            masked += text.substr(at, found + head.size() - at);
            at = found + head.size();
            continue;
        }
        const std::string name = text.substr(found, end + tail.size() - found);
        const int number = seen.emplace(name, static_cast<int>(seen.size()) + 1).first->second;
        masked += text.substr(at, found - at) + "<T" + std::to_string(number) + ">";
        at = end + tail.size();
    }
    return masked + text.substr(at);
}

TEST(MaskTraceNames, NumbersDistinctNamesByFirstAppearance) {
    EXPECT_EQ(maskTraceNames("a kel-heap-12.trace b kel-heap-7.trace kel-heap-12.trace kel-heap-.tracex kel-fd-1.trace",
                             "kel-heap-*.trace"),
              "a <T1> b <T2> <T1> <T3>x kel-fd-1.trace");
}

TEST(MaskHandles, NumbersDistinctHandlesAndKeepsZero) {
    EXPECT_EQ(maskHandles("0x00000000016A2010 0x0000000000000000 0x00007F0000000010 0x00000000016A2010 0x12"),
              "0x<H1> 0x0000000000000000 0x<H2> 0x<H1> 0x12");
}

class EndToEnd : public ::testing::TestWithParam<std::string> {};

TEST_P(EndToEnd, AnalysisMatchesExpected) {
    const std::string caseDir = kRoot + "/cases/" + GetParam();
    std::map<std::string, std::string> settings = readSettings(caseDir + "/case");
    TempDir dir;
    const std::string& tmpl = settings.at("template");
    fs::copy_file(tmpl.find('/') == std::string::npos ? kRoot + "/templates/" + tmpl
                                                      : std::string(KEL_SOURCE_DIR) + "/" + tmpl,
                  dir.file("t.xml"));
    std::string sources;
    std::istringstream extra(settings["sources"]);
    for (std::string path; extra >> path;) {
        const fs::path from = fs::path(KEL_SOURCE_DIR) / path;
        fs::copy_file(from, dir.file(from.filename().string()));
        if (from.extension() == ".c") sources += " " + from.filename().string();
    }
    for (const auto& e : fs::directory_iterator(caseDir)) {
        const std::string name = e.path().filename().string();
        if (name == "case" || name.rfind("expected.", 0) == 0) continue;
        fs::copy_file(e.path(), dir.file(name));
        if (e.path().extension() == ".c") sources += " " + name;
    }

    const std::string in = "cd " + dir.path() + " && ";
    CommandResult r = runCommand(in + KELGEN + " t.xml kel.h kel.c");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string wrapFlags = settings["link-wrap"] == "yes" ? std::string(" $(") + KELGEN + " --wrap-flags t.xml)" : "";
    r = runCommand(in + "gcc -Wall -Wextra " + settings["cflags"] + " -I. -o prog" + sources + " kel.c" + wrapFlags);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    const bool underValgrind = settings["valgrind"] == "yes";
    const std::string program =
        underValgrind ? "valgrind --leak-check=full " + settings["valgrind-args"] + " --log-file=valgrind.log ./prog"
                      : std::string("./prog");
    r = runCommand(in + "{ " + program + "; echo $? >prog.status; }");
    const int programStatus = std::stoi(readWholeFile(dir.file("prog.status")));
    if (settings.at("program") == "signal") {
        EXPECT_GT(programStatus, 128) << "the program must die of a signal";
    } else {
        EXPECT_EQ(programStatus, std::stoi(settings.at("program")));
    }

    if (underValgrind) {
        // valgrind's own verdict on the same run: each expected line is a
        // whole line of its log, once the "==pid==" prefix and the
        // indentation are taken off.
        const std::string log = readWholeFile(dir.file("valgrind.log"));
        std::vector<std::string> logLines;
        std::istringstream logIn(log);
        for (std::string l; std::getline(logIn, l);) {
            const std::size_t prefix = l.find("== ");
            if (l.rfind("==", 0) != 0 || prefix == std::string::npos) continue;
            l.erase(0, prefix + 3);
            l.erase(0, l.find_first_not_of(' '));
            logLines.push_back(l);
        }
        std::istringstream expected(readWholeFile(caseDir + "/expected.valgrind"));
        int checked = 0;
        for (std::string want; std::getline(expected, want);) {
            if (want.empty()) continue;
            ++checked;
            EXPECT_NE(std::find(logLines.begin(), logLines.end(), want), logLines.end())
                << "valgrind.log lacks: " << want << "\n" << log;
        }
        EXPECT_GT(checked, 0) << "expected.valgrind names no line";
    }

    const bool many = settings.count("traces") != 0;
    const std::string trace =
        many ? settings["traces"] : traceFile(dir.path(), settings.count("trace") ? settings["trace"] : "trace.out");
    r = runCommand(in + KELTRACE + " " + settings["keltrace-args"] + " --file " + trace);
    EXPECT_EQ(r.status, std::stoi(settings.at("keltrace")));
    auto mask = [&](const std::string& text) {
        return many ? maskTraceNames(maskHandles(text), settings["traces"]) : maskHandles(text);
    };
    EXPECT_EQ(mask(r.out), readWholeFile(caseDir + "/expected.out"));
    const std::string errFile = caseDir + "/expected.err";
    EXPECT_EQ(mask(r.err), fs::exists(errFile) ? readWholeFile(errFile) : "");
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, ::testing::ValuesIn(listCases()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
