// kelgen's entry: parses the command line, loads the template and maps every
// outcome to an exit status.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "gen_c.h"
#include "gen_link_wrap.h"
#include "gen_merge.h"
#include "gen_preload.h"
#include "template_reader.h"
#include "kel_version.h"
#include "kelgen_status.h"
#include "visible_text.h"

namespace {

void printGeneratorUsage() {
    std::puts("params:  <template> <header> <source> # generate kel.h kel.c from template file");
    std::puts("params:  <template>                   # dumps template (DEBUG VERSION ONLY)");
    std::puts("params:  --version                    # prints version");
    std::puts("example: tpl_generic3.xml kel.h kel.c");
    std::puts("example: tpl_generic3.xml");
}

// The flags on standard output, or in `path` (a linker response file).
int printWrapFlags(const char* templatePath, const char* path) {
    Template tmpl;
    std::string failure;
    if (saxparser_templateLoader(tmpl, templatePath, failure) == -1) {
        std::cerr << "kelgen: " << templatePath << ": " << visibleText(failure) << std::endl;
        return statusLoadFailed;
    }
    if (path == nullptr) {
        writeWrapFlags(tmpl, std::cout);
        return std::cout.flush() ? statusOk : statusOutputFailed;
    }
    std::ofstream file(path, std::ios::out | std::ios::trunc);
    writeWrapFlags(tmpl, file);
    file.close();
    if (!file) {
        std::cerr << "kelgen: cannot write " << path << std::endl;
        return statusOutputFailed;
    }
    return statusOk;
}

int writePreload(const char* templatePath, const char* sourcePath) {
    Template tmpl;
    std::string failure;
    if (saxparser_templateLoader(tmpl, templatePath, failure) == -1) {
        std::cerr << "kelgen: " << templatePath << ": " << visibleText(failure) << std::endl;
        return statusLoadFailed;
    }
    const int status = generatePreload(tmpl, templatePath, sourcePath);
    if (status == statusOk) std::cout << "File " << sourcePath << " is generated." << std::endl;
    return status;
}

int run(int argc, char** argv) {
    const int count = argc - 1;
    if (count == 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("KEL v%s%s%s\n", kelversion::kMajor, kelversion::kMinor, kelversion::kPatch);
        return statusOk;
    }
    // kelgen --merge <merged.xml> <template>...: one template from several.
    if (count >= 3 && std::strcmp(argv[1], "--merge") == 0)
        return mergeTemplates(argv[2], std::vector<std::string>(argv + 3, argv + argc), std::cerr);
    // kelgen --wrap-flags <template> [<file>]: -Wl,--wrap=NAME one a line.
    if ((count == 2 || count == 3) && std::strcmp(argv[1], "--wrap-flags") == 0)
        return printWrapFlags(argv[2], count == 3 ? argv[3] : nullptr);
    // kelgen --preload <template> <binding.c>: the library for LD_PRELOAD.
    if (count == 3 && std::strcmp(argv[1], "--preload") == 0) return writePreload(argv[2], argv[3]);
    if (count != 1 && count != 3) {
        printGeneratorUsage();
        return statusOk;
    }

    Template tmpl;
    std::string failure;
    if (saxparser_templateLoader(tmpl, argv[1], failure) == -1) {
        // perror's layout, with the file and the reader's reason where
        // errno's would be: by now errno holds whatever the parser's last
        // call left in it.
        std::fflush(stdout);
        std::cerr << "Unable to parse template file!\n: " << visibleText(argv[1]) << ": " << visibleText(failure)
                  << std::endl;
        return statusLoadFailed;
    }
    if (count == 1) return statusOk;

    // Generation errors keep their own status, as the shell sees it.
    const int status = generateFiles(tmpl, argv[1], argv[2], argv[3]);
    if (status != statusOk) {
        std::cerr << "Generation error. See err.log for details." << std::endl;
        std::cerr << "error code = " << status << std::endl;
        return status;
    }
    std::cout << "Files " << argv[2] << ", " << argv[3] << " are generated." << std::endl;
    return statusOk;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const char* what) {
        std::fflush(stdout);
        std::cerr << "kelgen: " << what << std::endl;
        return statusFailure;
    }
}
