// The pieces every writer of generated text uses: a whole line, and a tor's
// parameters in the forms the generated C spells them.
#pragma once

#include <ostream>
#include <string>

#include "gen_xml_sax_read.h"

// One helper writes a whole line: pieces joined, then std::endl.
template <class... P>
void line(std::ostream& out, const P&... pieces) {
    (out << ... << pieces) << std::endl;
}

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
