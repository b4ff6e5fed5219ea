#include "golden_case.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> splitBlanks(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary);
    f << content;
    if (!f) throw std::runtime_error("cannot write " + path);
}

// "\r", "\t", "\n", "\0", "\\" and "\xNN" in a directive's text, for bytes
// that a case file cannot hold as they are.
std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r') out += '\r';
        else if (c == 't') out += '\t';
        else if (c == 'n') out += '\n';
        else if (c == '0') out += '\0';
        else if (c == '\\') out += '\\';
        else if (c == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else throw std::runtime_error("unknown escape in " + text);
    }
    return out;
}

// Expands the directives of a file section.
std::string expandFile(const std::vector<std::string>& lines, const std::string& templateFolder) {
    std::string out;
    bool finalNewline = true;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (startsWith(l, "@header ")) {
            out += "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
            std::istringstream tmpl(readFile(templateFolder + "/" + l.substr(8)));
            std::string t;
            while (std::getline(tmpl, t)) {
                if (!t.empty()) out += t + "\n";
            }
        } else if (startsWith(l, "@line ")) {
            std::vector<std::string> w = splitBlanks(l.substr(6));
            out += std::string(std::stoul(w.at(0)), w.at(1).at(0)) + "\n";
        } else if (startsWith(l, "@esc ")) {
            out += unescape(l.substr(5)) + "\n";
        } else if (startsWith(l, "@part ")) {
            out += unescape(l.substr(6));
        } else if (startsWith(l, "@zeros ")) {
            out.append(std::stoul(l.substr(7)), '\0');
        } else if (l == "@no-newline") {
            finalNewline = false;
        } else {
            out += l + "\n";
        }
    }
    if (!finalNewline && !out.empty()) out.pop_back();
    return out;
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> listCases(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) {
        if (e.path().extension() == ".case") names.push_back(e.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

GoldenCase readCase(const std::string& path, const std::string& templateFolder) {
    GoldenCase c;
    c.name = fs::path(path).stem().string();
    std::istringstream in(readFile(path));
    std::string l;
    std::vector<std::string> words;  // the current section's header words
    std::vector<std::string> body;
    auto close = [&]() {
        if (words.empty()) return;
        const std::string& kind = words[0];
        std::string text;
        for (const std::string& b : body) {
            if (b == "@usage" && (kind == "stdout" || kind == "stderr")) {
                std::string usage = readFile(templateFolder + "/../usage.txt");
                for (std::size_t at; (at = usage.find("$0")) != std::string::npos;) usage.replace(at, 2, c.argv0);
                text += usage;
            } else {
                text += b + "\n";
            }
        }
        if (kind == "file") {
            c.files.emplace_back(words.at(1), expandFile(body, templateFolder));
        } else if (kind == "dir") {
            c.dirs.push_back(words.at(1));
        } else if (kind == "symlink") {
            c.symlinks.emplace_back(words.at(1), words.at(2));
        } else if (kind == "stdout") {
            c.expectedOut = text;
        } else if (kind == "stderr") {
            c.expectedErr = text;
        } else if (kind == "expect-file") {
            c.expectedFiles.emplace_back(words.at(1), text);
        } else if (kind == "expect-absent") {
            c.absentFiles.push_back(words.at(1));
        } else {
            throw std::runtime_error(path + ": unknown section " + kind);
        }
        body.clear();
    };
    while (std::getline(in, l)) {
        if (startsWith(l, "--- ")) {
            close();
            words = splitBlanks(l.substr(4));
        } else if (!words.empty()) {
            body.push_back(l);
        } else if (startsWith(l, "#") || l.empty()) {
            continue;
        } else if (startsWith(l, "args:")) {
            c.args = splitBlanks(l.substr(5));
        } else if (startsWith(l, "argv0:")) {
            c.argv0 = splitBlanks(l.substr(6)).at(0);
        } else if (startsWith(l, "status:")) {
            c.status = std::stoi(l.substr(7));
        } else {
            throw std::runtime_error(path + ": unexpected line " + l);
        }
    }
    close();
    return c;
}

RunResult runCase(const GoldenCase& c, const std::string& program) {
    char root[] = "/tmp/kel_case_XXXXXX";
    if (!mkdtemp(root)) throw std::runtime_error("mkdtemp failed");
    RunResult r;
    const std::string work = std::string(root) + "/work";
    r.workDir = work;
    fs::create_directory(work);
    // Folders first, so that a file may stand inside one.
    for (const std::string& d : c.dirs) fs::create_directory(work + "/" + d);
    for (const auto& [name, content] : c.files) writeFile(work + "/" + name, content);
    for (const auto& [name, target] : c.symlinks) fs::create_symlink(target, work + "/" + name);

    const std::string outPath = std::string(root) + "/stdout";
    const std::string errPath = std::string(root) + "/stderr";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(c.argv0.c_str()));
    for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || chdir(work.c_str()) != 0) _exit(125);
        dup2(o, 1);
        dup2(e, 2);
        execv(program.c_str(), argv.data());
        _exit(126);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

std::string diffTexts(const std::string& expected, const std::string& actual) {
    if (expected == actual) return "";
    char dir[] = "/tmp/kel_diff_XXXXXX";
    if (!mkdtemp(dir)) return "(expected and actual differ)";
    const std::string e = std::string(dir) + "/expected", a = std::string(dir) + "/actual";
    writeFile(e, expected);
    writeFile(a, actual);
    std::string diff;
    if (FILE* p = popen(("diff -u " + e + " " + a).c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) diff.append(buf, n);
        pclose(p);
    }
    fs::remove_all(dir);
    return diff.empty() ? "(expected and actual differ)" : diff;
}
