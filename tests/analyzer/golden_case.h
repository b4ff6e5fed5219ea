// Golden cases for keltrace: one small text file per case holds the command
// line, the files to lay out in a fresh working folder, and the exact
// standard output, standard error and exit status expected. The runner runs
// the real program there and compares byte for byte.
//
// Case file:
//   # comment lines
//   args: --file trace          (default; split at blanks)
//   argv0: keltrace             (default: the name the program is run as)
//   status: 1                   (default 1)
//   --- file NAME               a file in the working folder; lines follow
//   --- dir NAME                an empty folder
//   --- symlink NAME TARGET     a symbolic link
//   --- stdout                  expected standard output (absent: empty)
//   --- stderr                  expected standard error (absent: empty)
//   --- expect-file NAME        a file the run must leave with this content
//   --- expect-absent NAME      a file the run must not create
// Inside a stdout or stderr section:
//   @usage                      the usage text (tests/analyzer/usage.txt, with
//                               $0 replaced by argv0)
// Inside a file section:
//   @header TEMPLATE            the two header lines and the non-empty lines
//                               of tests/analyzer/templates/TEMPLATE
//   @line N C                   a line of N characters C
//   @esc TEXT                   a line with \r \t \n \0 \\ \xNN decoded
//   @no-newline                 (last line) the file does not end in a line feed
//   @part TEXT                  TEXT (escapes as @esc) without a line feed
//   @zeros N                    N zero bytes, without a line feed
#pragma once

#include <string>
#include <utility>
#include <vector>

struct GoldenCase {
    std::string name;
    std::string argv0 = "keltrace";
    std::vector<std::string> args{"--file", "trace"};
    int status = 1;
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> dirs;
    std::vector<std::pair<std::string, std::string>> symlinks;
    std::string expectedOut;
    std::string expectedErr;
    std::vector<std::pair<std::string, std::string>> expectedFiles;
    std::vector<std::string> absentFiles;
};

// The case files (*.case) of a folder, sorted by name.
std::vector<std::string> listCases(const std::string& folder);

// Reads a case file; templates are looked up in templateFolder.
GoldenCase readCase(const std::string& path, const std::string& templateFolder);

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
    std::string workDir;
};

// Lays out the case's files in a fresh folder and runs program there.
RunResult runCase(const GoldenCase& c, const std::string& program);

// "" when equal, otherwise a unified diff of expected against actual.
std::string diffTexts(const std::string& expected, const std::string& actual);

std::string readFile(const std::string& path);
