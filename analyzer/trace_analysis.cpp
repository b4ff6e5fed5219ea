#include "trace_analysis.h"

#include <utility>

bool rangesMatter(const Domain& domain) { return domain.interior && domain.float_handle; }

TraceAnalysis::TraceAnalysis(HandleTableFactory tableFactory, std::ostream& outStream, std::ostream& errStream,
                             ReportSettings reportSettings)
    : makeTable(std::move(tableFactory)), out(outStream), err(errStream), report(outStream, std::move(reportSettings)) {}
