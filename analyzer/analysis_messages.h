// The messages of an analysis that are not findings, for the reader, the
// engines and the driver alike. Findings go through the report, which writes
// them to out without a flush; a message flushes the findings before it, and
// a message on err flushes out too, so that the two streams keep their order
// on a shared terminal.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ostream>

#include "frozen_texts.h"
#include "message_text.h"
#include "trace_analysis.h"

template <class... P>
void writeMessage(MessageText& m, std::ostream& to, const P&... pieces) {
    m.clear();
    (m << ... << pieces);
    m.writeLine(to);
    to.flush();
}

// A message on out (the texts the analysis prints there), after the
// findings before it.
template <class... P>
void say(TraceAnalysis& a, const P&... pieces) {
    a.report.flushLines();
    writeMessage(a.scratch.message, a.out, pieces...);
}

// A complaint about the trace on err.
template <class... P>
void complain(TraceAnalysis& a, const P&... pieces) {
    a.report.flushLines();
    a.out.flush();
    writeMessage(a.scratch.message, a.err, pieces...);
}

// keltrace's own messages about one line of the trace.
template <class... P>
void complainAt(TraceAnalysis& a, std::int64_t number, const P&... pieces) {
    complain(a, "keltrace: line ", number, ": ", pieces...);
}

// A record state outside the three is a broken invariant, never input: say
// where it was caught, in the form of a failed assertion, and stop at once.
[[noreturn]] inline void internalError(TraceAnalysis& a, const char* function, frozen::Text tag) {
    complain(a, frozen::internal::first);
    complain(a, tag, ": ", function, frozen::internal::assertion);
    std::abort();
}
