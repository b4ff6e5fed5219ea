// The JSON pieces that the report files (JSON, SARIF) and the HTML page's
// data share, so that the three say the same things the same way.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "report.h"

namespace reportjson {

// Keys in the order they are set: the files read in the order a user expects.
using json = nlohmann::ordered_json;

// A value as JSON text. Names and file names come from the trace, and JSON
// holds only UTF-8: a byte that is not part of well-formed UTF-8 becomes
// U+FFFD instead of failing the whole file.
inline std::string dumped(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// The report's totals: errors, warnings, leaks, bytes leaked, suppressed.
inline json summaryValue(const Report& report) {
    const Report::Totals& t = report.totals();
    return json{{"errors", t.errors},         {"warnings", t.warnings},     {"leaks", t.leaks},
                {"bytes_leaked", t.bytesLeaked}, {"suppressed", t.suppressed}};
}

}  // namespace reportjson
