// The library generator's driver: checks the template, then streams kel.h
// (gen_header) and kel.c (gen_runtime, gen_wrappers, gen_link_wrap) into the
// output files (gen_output), each replaced only once both are complete.
#include "gen_c.h"

#include <iostream>

#include "gen_checks.h"
#include "gen_link_wrap.h"
#include "gen_output.h"
#include "kelgen_status.h"

int generateFiles(const Template& t, const char* templatePath, const char* headerPath, const char* sourcePath) {
    if (!checkOutputPaths(templatePath, headerPath, sourcePath, std::cerr) || !checkTemplate(t, templatePath, std::cerr))
        return statusTemplateRejected;
    warnUnknownDomains(t, templatePath, std::cerr);

    OutputFile header(headerPath);
    OutputFile source(sourcePath);
    if (!header.open(std::cerr) || !source.open(std::cerr)) return statusOutputFailed;

    // Each text streams into its own temporary file; neither file is replaced
    // until both are complete.
    writeHeader(t, header.stream());
    writeSource(t, templatePath, source.stream());

    if (!header.finish(std::cerr) || !source.finish(std::cerr) || !header.commit(std::cerr) ||
        !source.commit(std::cerr))
        return statusOutputFailed;
    return statusOk;
}

void writeSource(const Template& t, const char* templatePath, std::ostream& out) {
    writeRuntime(t, templatePath, out);
    writeWrappers(t, out);
    writeLinkWrappers(t, out);
}
