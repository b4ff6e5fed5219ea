// The three ways a generated wrapper hands its record to the trace target,
// behind one interface: one kel_trace call per line, each field written as it
// comes (per field); the record formatted into a kel_record on the wrapper's
// stack and handed over in one write (buffered_records); or that record copied
// into a place of its own in a shared mapping of the trace file, reserved
// before the call for a release and after it otherwise (mapped_records). The
// wrapper writers ask recordWriter(t) once and write every record through it;
// all give the trace the same bytes. The runtime writer asks it for the
// functions its lines call.
#pragma once

#include <initializer_list>
#include <ostream>
#include <string>

#include "template_reader.h"

class RecordWriter {
public:
    virtual ~RecordWriter() = default;

    // kel.c's runtime functions that this writer's lines call, after kel_trace.
    virtual void writeRuntime(const Template& t, std::ostream& out) const = 0;
    // The wrapper's locals that hold the record.
    virtual void writeLocals(std::ostream& out) const = 0;
    // The record's first lines: the domain, the tor, the caller's file and line
    // (the wrapper's parameters `prefix`file and `prefix`line).
    virtual void writeStart(std::ostream& out, const std::string& domain, const std::string& tor,
                            const std::string& prefix) const = 0;
    // A validation line: the verdict of `condition`, the domain's name, then
    // `value` in hex16.
    virtual void writeValidation(std::ostream& out, const std::string& domain, const std::string& condition,
                                 const std::string& value) const = 0;
    // A size line: `value` in hex16.
    virtual void writeSize(std::ostream& out, const std::string& value) const = 0;
    // After the record's first lines in a wrapper that writes its record
    // around the call: where the record goes, for a writer that places
    // records (the mapped writer places a release before the call).
    virtual void writePlacement(std::ostream&, const Domain&, const Tor&) const {}
    // Just before the traced call: what must reach the target before it.
    virtual void writeBeforeCall(std::ostream& out) const = 0;
    // Marker lines ("void", "-", "OK"), written together.
    virtual void writeMarkers(std::ostream& out, std::initializer_list<const char*> texts) const = 0;
    // The result line: the verdict of `condition` on the stored result.
    virtual void writeResultVerdict(std::ostream& out, const std::string& condition) const = 0;
    // The handle line: the verdict of the domain's test `condition`, then
    // `handle` in hex16.
    virtual void writeHandleLine(std::ostream& out, const std::string& condition,
                                 const std::string& handle) const = 0;
    // After the record's last line.
    virtual void writeEnd(std::ostream& out) const = 0;
};

// The writer the template's record mode picks: mapped_records (where it
// applies), else buffered_records, else per field.
const RecordWriter& recordWriter(const Template& t);

// In file mode without force_flush a buffered record need not reach the file
// before the traced call: the whole record goes in one write after it.
// kel_pending names the record whose call is running, so that kel_stop, run
// by an exit() inside that call, still writes what the per-field runtime
// would have.
bool defersRecordStart(const Template& t);

// The mapped writer's kel_trace, kel_start, kel_stop and fork trap, which
// replace the stdio ones (gen_runtime.cpp writes the others).
void writeMappedStart(const Template& t, const char* templatePath, std::ostream& out);
void writeMappedStop(const Template& t, std::ostream& out);
void writeMappedForkTrap(const Template& t, std::ostream& out);
