#include "findings.h"

const FindingKindInfo kFindingKinds[] = {
#define KEL_FINDING_INFO(name, id, severity, text) {FindingKind::name, id, Severity::severity, text},
    KEL_FINDING_KINDS(KEL_FINDING_INFO)
#undef KEL_FINDING_INFO
};

const std::size_t kFindingKindCount = sizeof kFindingKinds / sizeof kFindingKinds[0];

bool findingKindById(std::string_view id, FindingKind& kind) {
    for (std::size_t i = 0; i < kFindingKindCount; ++i) {
        if (id == kFindingKinds[i].id) {
            kind = kFindingKinds[i].kind;
            return true;
        }
    }
    return false;
}

const char* severityName(Severity severity) { return severity == Severity::error ? "error" : "warning"; }
