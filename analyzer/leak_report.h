// The leak report, the analysis's last phase: every resource the replay
// left allocated or operated, with where it was allocated, whether it was
// used, and the bytes it holds in a domain with sizes.
#pragma once

#include "trace_analysis.h"

// Reports every resource still live; always true.
bool postTransactionAnalyzer(TraceAnalysis& analysis);
