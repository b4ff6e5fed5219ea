// The __wrap_NAME functions of the linker route and the renames that keep
// kel.c's own calls on the real functions.
#include "gen_link_wrap.h"

#include <set>

#include "gen_lines.h"
#include "gen_literal.h"
#include "gen_settings.h"

const char* const kNoCallSite = "(no call site)";

// "type name, type name", or "void" for none (a prototype, not an old-style
// declaration).
std::string parameterList(const Tor& tor) {
    std::string s = declaredParameters(tor);
    if (s.empty()) return "void";
    s.resize(s.size() - 2);
    return s;
}

bool isVariadic(const Tor& tor) {
    for (const Arg& a : tor.args)
        if (a.type.find("...") != std::string::npos || a.name.find("...") != std::string::npos) return true;
    return !tor.va_forward.empty();
}

std::vector<const Tor*> linkWrappedTors(const Template& t) {
    if (!t.link_wrap) return {};
    return fixedParameterTors(t);
}

std::vector<const Tor*> fixedParameterTors(const Template& t) {
    std::vector<const Tor*> tors;
    std::set<std::string> seen;
    for (const Domain& d : t.domains)
        forEachTorSourceOrder(d, [&](const Tor& tor) {
            if (isAliased(tor) || hasOptionalParameters(tor) || isVariadic(tor) || tor.args.empty()) return;
            if (seen.insert(tor.name).second) tors.push_back(&tor);
        });
    return tors;
}

void writeRealNames(const Template& t, std::ostream& out) {
    const std::vector<const Tor*> tors = linkWrappedTors(t);
    if (tors.empty()) return;
    out << "/* link_wrap: the program is linked with -Wl,--wrap=NAME for the functions below, which sends\n"
           "   its references to NAME to __wrap_NAME (at the end of this file); the runtime and the\n"
           "   wrappers call the real function, which the linker names __real_NAME. */\n";
    // Headers read later in this file would declare the real name under its
    // new one.
    out << "#include <errno.h>\n#include <sys/stat.h>\n";
    for (const Tor* tor : tors) {
        out << returnType(*tor) << " __real_" << tor->name << "(" << parameterList(*tor) << ");\n";
        out << "#undef " << tor->name << "\n#define " << tor->name << " __real_" << tor->name << "\n";
    }
    out << "\n";
}

void writeLinkWrappers(const Template& t, std::ostream& out) {
    const std::vector<const Tor*> tors = linkWrappedTors(t);
    if (tors.empty()) return;
    // The names are macros for __real_NAME from here on: the wrapper's name
    // is spelt out.
    out << "/* link_wrap: the references that kel.h did not rewrite (a call through a pointer, a source\n"
           "   built with KEL_NO_REDEF or without kel.h) come here; their records have no call site. */\n";
    for (const Tor* tor : tors) {
        const std::string head = returnType(*tor) + " __wrap_" + tor->name + "(" + parameterList(*tor) + ")";
        out << head << ";\n" << head << "{\n\t";
        if (!isVoid(returnType(*tor))) out << "return ";
        out << t.prefix << tor->name << "(" << passedParameters(*tor) << cStringLiteral(kNoCallSite) << ", 0);\n}\n\n";
    }
}

void writeWrapFlags(const Template& t, std::ostream& out) {
    for (const Tor* tor : linkWrappedTors(t)) out << "-Wl,--wrap=" << tor->name << "\n";
}
