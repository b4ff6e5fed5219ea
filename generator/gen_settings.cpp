#include "gen_settings.h"

Compiler compiler(const Template& t) {
    if (t.compiler_type == "gcc") return Compiler::gcc;
    if (t.compiler_type == "win32") return Compiler::win32;
    return Compiler::other;
}

ErrorLog errorLog(const Template& t) {
    if (t.errlogmode.empty()) return ErrorLog::none;
    if (t.errlogmode == "console") return ErrorLog::console;
    return ErrorLog::file;
}

MutexKind mutexKind(const Template& t) {
    // The mapped writer reserves each record's place atomically: no lock.
    if (!t.multithreaded || mapsRecords(t)) return MutexKind::none;
    if (t.threading == "posix") return MutexKind::posix;
    if (t.threading == "win32") return MutexKind::win32;
    return MutexKind::none;
}

const MutexBlocks& mutexBlocks(MutexKind kind) {
    static const MutexBlocks none{};
    static const MutexBlocks posix{
        {"#include <pthread.h>"},
        {"pthread_mutex_t kel_mutex;"},
        {"\tint retval;"},
        {"\tretval = pthread_mutex_lock(&kel_mutex);",
         "\tif(retval){kelerrlog(\"pthread_mutex_lock()\", __FILE__, __LINE__); exit(-2);}"},
        {"\tretval = pthread_mutex_unlock(&kel_mutex);",
         "\tif(retval){kelerrlog(\"pthread_mutex_unlock()\", __FILE__, __LINE__); exit(-2);}"},
        {"int rez;"},
        {"rez = pthread_mutex_init(&kel_mutex, NULL);",
         "if(rez){kelerrlog(\"pthread_mutex_init()\", __FILE__, __LINE__); exit(-2);}"},
        {"int rez;"},
        {"rez = pthread_mutex_destroy(&kel_mutex);",
         "if(rez != 0){kelerrlog(\"pthread_mutex_destroy()\", __FILE__, __LINE__);exit(-1);}"},
    };
    static const MutexBlocks win32{
        {"#include <Windows.h>", "#include <Winbase.h>"},
        {"HANDLE kel_mutex;"},
        {"\tDWORD dwWaitObject; BOOL bReleaseMutex;"},
        {"\tdwWaitObject = WaitForSingleObject(kel_mutex, INFINITE);",
         "\tif(dwWaitObject == WAIT_FAILED){kelerrlog(\"WaitForSingleObject()\", __FILE__, __LINE__); exit(-2);}"},
        {"\tbReleaseMutex = ReleaseMutex(kel_mutex);",
         "\tif(!bReleaseMutex){kelerrlog(\"ReleaseMutex()\", __FILE__, __LINE__); exit(-2);}"},
        {},
        {"kel_mutex = CreateMutex(NULL, FALSE, NULL);",
         "if(!kel_mutex){kelerrlog(\"CreateMutex()\", __FILE__, __LINE__); exit(-2);}"},
        {"BOOL rez;"},
        {"rez = CloseHandle(kel_mutex);", "if(!rez){kelerrlog(\"CloseHandle()\", __FILE__, __LINE__);exit(-1);}"},
    };
    switch (kind) {
        case MutexKind::posix:
            return posix;
        case MutexKind::win32:
            return win32;
        case MutexKind::none:
            break;
    }
    return none;
}

const TargetBlocks& targetBlocks(const Template& t) {
    static const TargetBlocks file{
        "FILE*\tkel_tracefile;",
        "fwrite(tmpstr, strlen(tmpstr), 1, kel_tracefile);",
        "fwrite(\" \", 1, 1, kel_tracefile);",
        "fwrite(\"\\n\", 1, 1, kel_tracefile);",
        // fwrite returns 0 when it fails: exit(kel_retval) would report the
        // lost trace as success.
        "if(kel_retval != 1){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}",
        {"fflush(kel_tracefile);", "fclose(kel_tracefile);"},
    };
    // The check names fwrite() in both modes: the error log's readers know it.
    static const TargetBlocks socket{
        "int\tkel_socket;",
        "send(kel_socket, tmpstr, strlen(tmpstr), 0);",
        "send(kel_socket, \" \", 1, 0);",
        "send(kel_socket, \"\\n\", 1, 0);",
        "if(kel_retval < 0){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(kel_retval);}",
        {"shutdown(kel_socket, SHUT_RDWR);", "close(kel_socket);"},
    };
    return t.remote_mode ? socket : file;
}

bool mapsRecords(const Template& t) { return t.mapped_records && !t.remote_mode && compiler(t) == Compiler::gcc; }

bool isVoid(const std::string& type) { return type == "void"; }

bool isAliased(const Tor& tor) { return !tor.cpp_alias.empty(); }

const std::string& returnType(const Tor& tor) { return tor.args.at(0).type; }

const std::string& argName(const Tor& tor, std::int64_t i) { return tor.args.at(static_cast<std::size_t>(i)).name; }

ResultLine resultLine(const Tor& tor) {
    if (isVoid(tor.expr.type)) return ResultLine::voidCall;
    if (tor.expr.type.empty()) return ResultLine::untested;
    return ResultLine::verdict;
}

std::vector<std::string> sizeValues(const Domain& d, const Tor& tor) {
    if (d.float_handle && !tor.float_size_expr.empty()) return {tor.float_size_expr};
    if (!d.float_handle || tor.float_arg_n1 == 0) return {};
    std::vector<std::string> values{argName(tor, tor.float_arg_n1)};
    if (tor.float_arg_n2 != 0) values.push_back(argName(tor, tor.float_arg_n2));
    return values;
}

int findDomainIndex(const Template& t, const std::string& name) {
    for (std::size_t i = 0; i < t.domains.size(); ++i)
        if (t.domains[i].name == name) return static_cast<int>(i);
    return -1;
}

const Tor* findReleaseTor(const Template& t, const Domain& d, const std::string& text, const Domain*& owner) {
    std::string name = text;
    owner = &d;
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos) {
        const int k = findDomainIndex(t, text.substr(0, colon));
        owner = nullptr;
        if (k == -1) return nullptr;
        owner = &t.domains[static_cast<std::size_t>(k)];
        name = text.substr(colon + 1);
    }
    for (const Tor& r : owner->deallocators)
        if (r.name == name) return &r;
    return nullptr;
}

bool forwardsVariadic(const Tor& tor) { return !tor.va_forward.empty() && !tor.args.empty(); }

Tor namedPart(const Tor& tor) {
    Tor named = tor;
    if (forwardsVariadic(tor)) named.args.pop_back();
    return named;
}

bool hasOptionalParameters(const Tor& tor) {
    for (std::size_t i = 1; i < tor.args.size(); ++i)
        if (tor.args[i].optional) return true;
    return false;
}

std::size_t requiredParameters(const Tor& tor) {
    std::size_t count = 0;
    while (count + 1 < tor.args.size() && !tor.args[count + 1].optional) ++count;
    return count;
}

Tor withParameters(const Tor& tor, std::size_t count) {
    Tor cut = tor;
    cut.args.resize(count + 1);
    if (cut.validateDom_before.size() > count + 1) cut.validateDom_before.resize(count + 1);
    return cut;
}

std::string arityName(const Tor& tor, std::size_t count) { return tor.name + "_" + std::to_string(count); }

bool splitTarget(const std::string& target, std::string& host, std::string& port) {
    const std::string head = target.substr(0, 99);
    const auto colon = head.find(':');
    if (colon == std::string::npos) return false;
    host = head.substr(0, colon);
    port = head.substr(colon + 1, 7);
    return true;
}
