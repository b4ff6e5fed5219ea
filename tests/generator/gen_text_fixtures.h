// Small templates built in code for the generator's text tests, and helpers
// that join expected lines and cut one block out of generated text.
#pragma once

#include <initializer_list>
#include <string>

#include "template_reader.h"

inline Arg arg(const char* type, const char* name) { return Arg{type, name}; }
inline Expr expr(const char* oper, const char* type, const char* value) { return Expr{oper, type, value}; }

// The mt_ example: domain mem (void* handles, sizes tracked, NULL is bad),
// allocator malloc(size_t size), deallocator free(void* ptr) checked against mem.
inline Template mtExample() {
    Template t;
    t.name = "mt";
    t.prefix = "mt_";
    t.errlogmode = "console";
    t.fork_enabled = true;
    t.threading = "posix";
    t.compiler_type = "gcc";
    t.trace_target = "trace.out";

    Domain mem;
    mem.name = "mem";
    mem.float_handle = true;
    mem.handle = "void*";
    mem.expr = expr("==", "void*", "NULL");
    mem.includesGlobal = true;
    mem.includes = {"stdlib.h"};

    Tor malloc;
    malloc.name = "malloc";
    malloc.args = {arg("void*", "ret"), arg("size_t", "size")};
    malloc.float_arg_n1 = 1;
    malloc.validateDom_before = {"-"};
    malloc.is_handle_arg_out = true;
    malloc.handle_arg_out = 0;
    malloc.expr = expr("==", "void*", "NULL");
    mem.allocators.push_back(malloc);

    Tor free;
    free.name = "free";
    free.args = {arg("void", "ret"), arg("void*", "ptr")};
    free.validateDom_before = {"-", "mem"};
    free.expr = expr("", "void", "");
    mem.deallocators.push_back(free);

    t.domains.push_back(mem);
    return t;
}

// The mt_ example with a descriptor domain fd (int handles, -1 is bad) whose
// allocator open(path, flags[, mode]) has the optional parameter mode.
inline Template withOpen() {
    Template t = mtExample();
    Domain fd;
    fd.name = "fd";
    fd.handle = "int";
    fd.expr = expr("==", "int", "-1");
    fd.includesGlobal = true;
    fd.includes = {"fcntl.h"};
    Tor open;
    open.name = "open";
    open.args = {arg("int", "ret"), arg("const char*", "path"), arg("int", "flags"), arg("mode_t", "mode")};
    open.args[3].optional = true;
    open.validateDom_before = {"-"};
    open.is_handle_arg_out = true;
    open.expr = expr("==", "int", "-1");
    fd.allocators.push_back(open);
    t.domains.push_back(fd);
    return t;
}

// Lines joined, each followed by a line feed.
inline std::string lines(std::initializer_list<const char*> ls) {
    std::string s;
    for (const char* l : ls) (s += l) += '\n';
    return s;
}

// The block of `text` that starts with the line `first` and ends with the
// first line "}" after it plus the empty line that follows; "" when absent.
inline std::string functionBlock(const std::string& text, const std::string& first) {
    const auto start = text.find(first + "\n");
    if (start == std::string::npos) return "";
    const auto end = text.find("\n}\n\n", start);
    if (end == std::string::npos) return "";
    return text.substr(start, end + 4 - start);
}

// The text between two markers (`from` included, `to` excluded); "" when absent.
inline std::string between(const std::string& text, const std::string& from, const std::string& to) {
    const auto start = text.find(from);
    if (start == std::string::npos) return "";
    const auto end = text.find(to, start + from.size());
    if (end == std::string::npos) return "";
    return text.substr(start, end - start);
}
