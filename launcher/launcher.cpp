// kelrun: finds or makes the binding, runs the program under it with its
// traces going into one folder, then runs keltrace over the traces that the
// run wrote.
#include "launcher.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: kelrun [--heap|--stdio|--fd|--template TEMPLATE] [--follow-children] [--analyze]\n"
    "              [--trace-dir DIR] -- PROGRAM [ARGUMENTS...]\n"
    "  --heap, --stdio, --fd  trace with the ready-made binding of libc-heap.xml, stdio.xml or\n"
    "                         posix-fd.xml (--heap when none is named)\n"
    "  --template TEMPLATE    make a binding of TEMPLATE for this run (needs gcc)\n"
    "  --follow-children      trace the processes the program starts too (each its own trace)\n"
    "  --analyze              run keltrace over this run's traces; exit with 1 when it found\n"
    "                         an error or a leak, 0 otherwise\n"
    "  --trace-dir DIR        the folder of the traces (default: kel-traces)\n";

// Where kelrun itself is: the bindings and the other programs are found from
// there, installed or in the build tree.
fs::path ownFolder() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path(".") : self.parent_path();
}

bool isFile(const fs::path& p) {
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

// An installed program beside kelrun, the build tree's, or the one on PATH.
std::string findProgram(const std::string& name, const char* buildPath) {
    const fs::path beside = ownFolder() / name;
    if (isFile(beside)) return beside.string();
    if (buildPath != nullptr && isFile(buildPath)) return buildPath;
    return name;
}

fs::path findBinding(const std::string& name) {
    const std::string file = "libkel-" + name + "-preload.so";
    std::vector<fs::path> folders;
    if (const char* dir = std::getenv("KEL_PRELOAD_DIR")) folders.emplace_back(dir);
    folders.push_back(ownFolder() / KEL_PRELOAD_RELATIVE_DIR);
    folders.push_back(ownFolder());
    for (const fs::path& folder : folders)
        if (isFile(folder / file)) return fs::absolute(folder / file).lexically_normal();
    return {};
}

// Runs a helper (kelgen, gcc, keltrace) and waits for it; its standard
// output goes to `quietOut` when set (kelgen's "generated" line would mix
// with the program's).
int runAndWait(const std::vector<std::string>& command, bool quietOut) {
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (quietOut) {
            const int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, 1);
        }
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "kelrun: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(launchCannotRun);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// A binding of the user's template, in a folder removed after the run.
class MadeBinding {
public:
    ~MadeBinding() {
        std::error_code ec;
        if (!folder_.empty()) fs::remove_all(folder_, ec);
    }
    fs::path make(const std::string& templatePath, std::ostream& err) {
        char pattern[] = "/tmp/kelrun-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            err << "kelrun: cannot make a temporary folder: " << std::strerror(errno) << "\n";
            return {};
        }
        folder_ = pattern;
        const std::string source = (folder_ / "binding.c").string();
        const fs::path library = folder_ / "libkel-template-preload.so";
        if (runAndWait({findProgram("kelgen", KEL_BUILD_KELGEN), "--preload", templatePath, source}, true) != 0) {
            err << "kelrun: kelgen could not make a binding of " << templatePath << "\n";
            return {};
        }
        const char* cc = std::getenv("CC");
        if (runAndWait({cc != nullptr && *cc != 0 ? cc : "gcc", "-O2", "-fPIC", "-shared", "-fvisibility=hidden", "-o",
                        library.string(), source, "-ldl", "-lpthread"},
                       false) != 0) {
            err << "kelrun: the binding of " << templatePath << " did not compile\n";
            return {};
        }
        return library;
    }

private:
    fs::path folder_;
};

std::set<fs::path> tracesIn(const fs::path& folder) {
    std::set<fs::path> traces;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".trace" && isFile(it->path())) traces.insert(it->path());
    return traces;
}

}  // namespace

void printLaunchUsage(std::ostream& out) { out << kUsage; }

bool parseLaunchOptions(const std::vector<std::string>& args, LaunchOptions& options, bool& help,
                        std::ostream& err) {
    int bindings = 0;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--help") {
            help = true;
            return true;
        }
        if (a == "--heap" || a == "--stdio" || a == "--fd") {
            options.binding = a.substr(2);
            ++bindings;
        } else if (a == "--template" || a == "--trace-dir") {
            if (i + 1 == args.size()) {
                err << "kelrun: " << a << " needs a value\n";
                return false;
            }
            if (a == "--template") {
                options.templatePath = args[++i];
                ++bindings;
            } else {
                options.traceDir = args[++i];
            }
        } else if (a == "--follow-children") {
            options.followChildren = true;
        } else if (a == "--analyze") {
            options.analyze = true;
        } else if (a.rfind("-", 0) == 0) {
            err << "kelrun: unknown option " << a << "\n";
            return false;
        } else {
            break;
        }
    }
    if (bindings > 1) {
        err << "kelrun: name one of --heap, --stdio, --fd and --template\n";
        return false;
    }
    options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (options.command.empty()) {
        err << "kelrun: no program to run\n";
        return false;
    }
    if (options.traceDir.empty()) {
        err << "kelrun: --trace-dir needs a folder\n";
        return false;
    }
    return true;
}

int launch(const LaunchOptions& options, std::ostream& err) {
    MadeBinding made;
    fs::path binding;
    if (!options.templatePath.empty()) {
        binding = made.make(options.templatePath, err);
        if (binding.empty()) return launchNoBinding;
    } else {
        binding = findBinding(options.binding);
        if (binding.empty()) {
            err << "kelrun: the " << options.binding << " binding (libkel-" << options.binding
                << "-preload.so) is not installed beside kelrun\n";
            return launchNoBinding;
        }
    }

    // Absolute: the program may change its working folder before it starts
    // a child.
    std::error_code ec;
    const fs::path traceDir = fs::absolute(options.traceDir, ec).lexically_normal();
    fs::create_directories(traceDir, ec);
    if (ec || !fs::is_directory(traceDir)) {
        err << "kelrun: cannot make the trace folder " << traceDir.string() << "\n";
        return launchUsage;
    }
    const std::set<fs::path> before = tracesIn(traceDir);

    std::string preload = binding.string();
    if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != 0) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("KEL_TRACE_DIR", traceDir.c_str(), 1);
    if (options.followChildren)
        setenv("KEL_FOLLOW_CHILDREN", "1", 1);
    else
        unsetenv("KEL_FOLLOW_CHILDREN");
    const int status = runAndWait(options.command, false);
    // keltrace itself runs untraced.
    unsetenv("LD_PRELOAD");
    unsetenv("KEL_FOLLOW_CHILDREN");
    if (!options.analyze) return status < 0 ? launchCannotRun : status;

    // Its status says whether anything was found.
    std::vector<std::string> command{findProgram("keltrace", KEL_BUILD_KELTRACE), "--error-exitcode", "1", "--file"};
    for (const fs::path& trace : tracesIn(traceDir))
        if (before.count(trace) == 0) command.push_back(trace.string());
    if (command.size() == 4) {
        err << "kelrun: the program wrote no trace into " << traceDir.string() << "\n";
        return launchNoBinding;
    }
    return runAndWait(command, false);
}
