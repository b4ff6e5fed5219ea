// The generator's C string literals through the real compilers: each reads
// every literal back to exactly the bytes it was made from.
#include <gtest/gtest.h>

#include <string>

#include "gen_literal.h"
#include "run_command.h"
#include "temp_dir.h"

namespace {

// Every byte value, and the runs of question marks that form trigraphs:
// the compilers read each literal back to exactly its text, without a
// warning (clang warns about bytes outside UTF-8 left raw).
TEST(CStringLiteral, CompilersReadEveryByteBack) {
    std::string text;
    for (int b = 0; b < 256; ++b) text += static_cast<char>(b);
    text += "?\?=?\?/?\?'?\?(?\?)?\?!?\?<?\?>?\?-?\?\?/\xC3\xA9\"\\7\n7";  // "?\?" keeps this file free of trigraphs
    TempDir dir;
    dir.write("bytes.c", "#include <stdio.h>\nstatic const char s[] = " + cStringLiteral(text) +
                             ";\nint main(void){ fwrite(s, 1, sizeof s - 1, stdout); return 0; }\n");
    for (const char* compiler : {"gcc", "gcc -std=c99 -trigraphs", "clang"}) {
        SCOPED_TRACE(compiler);
        const CommandResult built = runCommand("cd " + dir.path() + " && " + compiler +
                                               " -Wall -Wextra -Werror -o bytes bytes.c");
        ASSERT_EQ(0, built.status) << built.err;
        const CommandResult r = runCommand("cd " + dir.path() + " && ./bytes");
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(text, r.out);
    }
}

}  // namespace
