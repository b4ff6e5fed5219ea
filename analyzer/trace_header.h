// The trace's header: its two fixed lines and the embedded template, which
// is written to the analysis's template file and loaded from there.
#pragma once

#include "line_fetchers.h"
#include "trace_analysis.h"

// Checks the two header lines, copies the embedded template to template.tmp,
// loads it and makes one empty table per domain. False when a header line
// does not match. Throws AnalysisExit when template.tmp cannot be written;
// the fetcher's "eof" / "i/o error" pass through.
bool readHeader(CVLineFetcher& fetcher, TraceAnalysis& analysis);
