// The pieces every writer of generated text uses: a whole line, a block of
// lines from a settings table, the trace's fields as C expressions, and a
// tor's parameters in the forms the generated C spells them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "gen_literal.h"
#include "template_reader.h"

// One helper writes a whole line: pieces joined, then std::endl.
template <class... P>
void line(std::ostream& out, const P&... pieces) {
    (out << ... << pieces) << std::endl;
}

// A block of lines from a settings table.
inline void block(std::ostream& out, const std::vector<const char*>& lines) {
    for (const char* l : lines) line(out, l);
}

// A trace field as a C string literal.
inline std::string quoted(const std::string& field) { return cStringLiteral(field); }

// A value for keluint64tostr1: handles are pointers as often as integers, and
// the cast converts both without a warning, to the same value.
inline std::string asHex(const std::string& value) { return "(keluint64)(" + value + ")"; }

// A one-field kel_trace call.
inline std::string kelTrace1(const std::string& field) { return "kel_trace(1, " + quoted(field) + ");"; }

// The parameters (args 1 and up) in the three forms the generated text uses:
// "type name, " each, "name, " each, and the names joined by ", ".
inline std::string declaredParameters(const Tor& tor) {
    std::string s;
    for (std::size_t i = 1; i < tor.args.size(); ++i) s += tor.args[i].type + " " + tor.args[i].name + ", ";
    return s;
}

inline std::string passedParameters(const Tor& tor) {
    std::string s;
    for (std::size_t i = 1; i < tor.args.size(); ++i) s += tor.args[i].name + ", ";
    return s;
}

inline std::string parameterNames(const Tor& tor) {
    std::string s = passedParameters(tor);
    if (!s.empty()) s.resize(s.size() - 2);
    return s;
}
