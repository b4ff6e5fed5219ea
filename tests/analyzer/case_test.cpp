// Runs the real keltrace on every case in tests/analyzer/cases and compares
// standard output, standard error, exit status and left files exactly.
#include <gtest/gtest.h>

#include <filesystem>

#include "golden_case.h"

namespace {

const std::string kCases = std::string(KEL_SOURCE_DIR) + "/tests/analyzer/cases";
const std::string kTemplates = std::string(KEL_SOURCE_DIR) + "/tests/analyzer/templates";

void expectSame(const std::string& what, const std::string& expected, const std::string& actual) {
    const std::string diff = diffTexts(expected, actual);
    if (!diff.empty()) ADD_FAILURE() << what << " differs:\n" << diff;
}

class KeltraceCase : public ::testing::TestWithParam<std::string> {};

TEST_P(KeltraceCase, MatchesExpectedOutput) {
    const GoldenCase c = readCase(kCases + "/" + GetParam() + ".case", kTemplates);
    const RunResult r = runCase(c, KELTRACE_PATH);
    EXPECT_EQ(r.status, c.status);
    expectSame("standard output", c.expectedOut, r.out);
    expectSame("standard error", c.expectedErr, r.err);
    for (const auto& [name, content] : c.expectedFiles) expectSame(name, content, readFile(r.workDir + "/" + name));
    for (const std::string& name : c.absentFiles) {
        EXPECT_FALSE(std::filesystem::exists(r.workDir + "/" + name)) << name << " was created";
    }
    std::filesystem::remove_all(std::filesystem::path(r.workDir).parent_path());
}

INSTANTIATE_TEST_SUITE_P(Cases, KeltraceCase, ::testing::ValuesIn(listCases(kCases)),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(KeltraceCases, ThereAreCases) { EXPECT_GE(listCases(kCases).size(), 40u); }

}  // namespace
