// The HTML report (--html): one self-contained page with the run's summary
// and verdict, a chart of the live resources over the replay, the findings
// grouped as --group groups them, and the leaks by allocation site. The page
// loads nothing: its style, its script and its data are inline, and its
// script draws the chart as SVG. Everything that comes from the trace (file,
// domain and tor names) travels as JSON inside a
// <script type="application/json"> block and reaches the page as text only.
// Written after the analysis by runAnalysis, through writeFileAtomically.
#pragma once

#include <cstddef>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "live_sampler.h"
#include "report.h"
#include "report_files.h"

// Occurrences the page lists per group unless --max-occurrences says
// otherwise.
constexpr std::size_t kHtmlOccurrences = 20;

struct HtmlContext {
    ReportContext names;                   // the template's name and the trace's
    std::vector<std::string> domains;      // the template's domains, in order
    std::vector<bool> sized;               // per domain: it tracks bytes (float_handle)
    const LiveSampler* live = nullptr;     // finished; null gives an empty chart
    int errorExitcode = 0;                 // as given, 0 for none
    std::size_t occurrences = kHtmlOccurrences;
    bool leakReport = true;                // false when a malformed record ended the run first
};

void writeHtml(std::ostream& out, const Report& report, const HtmlContext& context);

// JSON text made safe inside a <script> element: "<", ">" and "&" (which
// can only stand inside JSON strings) become \u003c, \u003e and \u0026, so
// no "</script" or "<!--" can end or change the element; U+2028 and U+2029
// become \u2028 and \u2029. The result is the same JSON value.
std::string scriptSafeJson(std::string_view json);

// The page's own style and script, as they are embedded.
extern const char kReportPageCss[];
extern const char kReportPageJs[];
