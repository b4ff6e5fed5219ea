// The template reader on any bytes. Each input is loaded twice into fresh
// templates: both loads must agree (result, records, messages), and a load
// that succeeds must hold what the loaders require of a template: at least
// one domain, at least one tor in each, at least one args in each tor.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "template_reader.h"

namespace {

struct Load {
    int rc = 0;
    Template tmpl;
    std::string out, err;
    std::string messages() const { return out + err; }
    // The parser rejected the document: its exception is reported on a line of its own.
    bool rejectedByParser() const {
        return out.rfind("libxml++ exception: ", 0) == 0 || out.find("\nlibxml++ exception: ") != std::string::npos;
    }
};

Load load() {
    Load l;
    kelfuzz::CapturedStreams captured;
    l.rc = saxparser_templateLoader(l.tmpl, "template.xml");
    l.out = captured.out();
    l.err = captured.err();
    return l;
}

void checkShape(const Load& l) {
    if (l.rc != 0) return;
    if (l.tmpl.domains.empty()) kelfuzz::trap("loaded without a domain", l.messages());
    for (const Domain& d : l.tmpl.domains) {
        if (d.allocators.size() + d.deallocators.size() + d.reallocators.size() + d.operators.size() == 0) {
            kelfuzz::trap("domain loaded without a tor", d.name);
        }
        for (const auto* list : {&d.allocators, &d.deallocators, &d.reallocators, &d.operators}) {
            for (const Tor& t : *list) {
                if (t.args.empty()) kelfuzz::trap("tor loaded without args", t.name);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelfuzz::enterScratchFolder("template");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kelfuzz::writeInput("template.xml", std::string(reinterpret_cast<const char*>(data), size));
    const Load first = load();
    const Load second = load();
    if (first.rc != second.rc) {
        kelfuzz::trap("two loads of one file give different results", first.messages(), second.messages());
    }
    if (first.out != second.out || first.err != second.err) {
        kelfuzz::trap("two loads print different messages", first.messages(), second.messages());
    }
    if (!(first.tmpl == second.tmpl)) kelfuzz::trap("two loads give different templates", first.messages());
    if (first.rejectedByParser() && !(first.tmpl == Template())) {
        kelfuzz::trap("a document the parser rejected changed the template", first.messages());
    }
    checkShape(first);
    return 0;
}
