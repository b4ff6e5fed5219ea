#include "gen_attributes.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "gen_lines.h"
#include "gen_settings.h"

namespace {

// What the C library declares for a function, as glibc's headers spell it.
// `parameters` must match the tor's for the entry to apply; `deallocator`
// names the function that releases what it returns (gcc pairs the two).
struct LibraryFunction {
    const char* name;
    std::size_t parameters;
    const char* attributes;   // for gcc and clang
    const char* deallocator;  // "" when the result is not paired
    const char* realDeallocator;  // "" when it may be undeclared where kel.h is read
};

const LibraryFunction kLibrary[] = {
    {"malloc", 1, "__malloc__, __alloc_size__(1)", "free", "__builtin_free"},
    {"calloc", 2, "__malloc__, __alloc_size__(1, 2)", "free", "__builtin_free"},
    {"realloc", 2, "__alloc_size__(2)", "", ""},
    {"reallocarray", 3, "__alloc_size__(2, 3)", "", ""},
    {"aligned_alloc", 2, "__malloc__, __alloc_size__(2)", "free", "__builtin_free"},
    {"strdup", 1, "__malloc__, __nonnull__(1)", "free", "__builtin_free"},
    {"strndup", 2, "__malloc__, __nonnull__(1)", "free", "__builtin_free"},
    {"posix_memalign", 3, "__nonnull__(1)", "", ""},
    {"memset", 3, "__nonnull__(1)", "", ""},
    {"memcpy", 3, "__nonnull__(1, 2)", "", ""},
    {"memmove", 3, "__nonnull__(1, 2)", "", ""},
    {"fopen", 2, "__malloc__", "fclose", "fclose"},
    {"fdopen", 2, "__malloc__", "fclose", "fclose"},
    {"tmpfile", 0, "__malloc__", "fclose", "fclose"},
    {"open_memstream", 2, "__malloc__", "fclose", "fclose"},
    // pclose is POSIX: under a strict -std it is not declared, so only the
    // wrapper can be named.
    {"popen", 2, "__malloc__", "pclose", ""},
};

const LibraryFunction* libraryFunction(const Tor& tor) {
    if (isAliased(tor) || hasOptionalParameters(tor) || tor.args.empty()) return nullptr;
    for (const LibraryFunction& f : kLibrary)
        if (tor.name == f.name && tor.args.size() == f.parameters + 1) return &f;
    return nullptr;
}

// The wrapper that a call of the real deallocator reaches: the macro sends
// every call of that name to it, whichever domain traces it.
const Tor* tracedTor(const Template& t, const std::string& name) {
    const Tor* found = nullptr;
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            if (found == nullptr && tor.name == name && !isAliased(tor) && !hasOptionalParameters(tor)) found = &tor;
        });
    return found;
}

std::string declaration(const Template& t, const Tor& tor) {
    return returnType(tor) + "\t" + t.prefix + tor.name + "(" + declaredParameters(tor) + "const char *file, size_t line)";
}

struct Attributed {
    std::string declaration;
    std::string common;   // gcc and clang
    std::string pairing;  // gcc 11 and later: malloc with a deallocator
};

std::vector<Attributed> attributedWrappers(const Template& t) {
    std::vector<Attributed> out;
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            const LibraryFunction* f = libraryFunction(tor);
            if (f == nullptr) return;
            Attributed a{declaration(t, tor), f->attributes, ""};
            if (*f->deallocator != '\0') {
                // Released by the real function (a call that escapes the
                // macro, such as (free)(p)) or by its wrapper, when the
                // template traces it.
                // The C library's deallocators take the resource first.
                if (*f->realDeallocator != '\0') a.pairing = std::string("__malloc__(") + f->realDeallocator + ", 1)";
                if (tracedTor(t, f->deallocator) != nullptr) {
                    if (!a.pairing.empty()) a.pairing += ", ";
                    a.pairing += "__malloc__(" + t.prefix + f->deallocator + ", 1)";
                }
            }
            out.push_back(a);
        });
    return out;
}

}  // namespace

void writeAttributes(const Template& t, std::ostream& out) {
    if (compiler(t) != Compiler::gcc) return;
    const std::vector<Attributed> wrappers = attributedWrappers(t);
    if (wrappers.empty()) return;
    // Only where the program calls the wrappers: kel.c tests the arguments
    // the attributes promise, and must keep those tests.
    line(out, "/* foo attr BEGIN ***********************************/");
    line(out, "#if defined(__GNUC__) && !defined(KEL_NO_REDEF)");
    for (const Attributed& a : wrappers) line(out, a.declaration, " __attribute__((", a.common, "));");
    bool paired = false;
    for (const Attributed& a : wrappers) paired = paired || !a.pairing.empty();
    if (paired) {
        line(out, "#if !defined(__clang__) && __GNUC__ >= 11");
        for (const Attributed& a : wrappers)
            if (!a.pairing.empty()) line(out, a.declaration, " __attribute__((", a.pairing, "));");
        line(out, "#endif");
    }
    line(out, "#endif");
    line(out, "/* foo attr END *************************************/");
    line(out);
}

void writeNonnullBarriers(const Template& t, const Tor& tor, std::ostream& out) {
    if (compiler(t) != Compiler::gcc) return;
    const LibraryFunction* f = libraryFunction(tor);
    if (f == nullptr) return;
    const std::string attributes = f->attributes;
    const std::string key = "__nonnull__(";
    const std::size_t at = attributes.find(key);
    if (at == std::string::npos) return;
    std::vector<std::string> names;
    const char* p = attributes.c_str() + at + key.size();
    while (*p != ')' && *p != '\0') {
        char* end = nullptr;
        const unsigned long index = std::strtoul(p, &end, 10);
        if (end == p) break;
        if (index >= 1 && index < tor.args.size()) names.push_back(tor.args[index].name);
        p = end;
        while (*p == ',' || *p == ' ') ++p;
    }
    if (names.empty()) return;
    line(out, "#ifdef __GNUC__");
    for (const std::string& name : names) line(out, "\t__asm__(\"\" : \"+r\"(", name, "));");
    line(out, "#endif");
}
