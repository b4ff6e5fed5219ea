// The wrappers, kel.c's second half: one per traced function (one per
// argument count for a tor with optional parameters), each writing its record
// through the record writer that the template's record mode picks.
#include "gen_c.h"

#include <cctype>

#include "gen_attributes.h"
#include "gen_lines.h"
#include "gen_records.h"
#include "trace_protocol.h"

// ---------------------------------------------------------------- wrappers

namespace {

void writeWrapperHead(const Template& t, const Domain& d, const Tor& tor, std::ostream& out,
                      const std::string& wrapperName);
void writeUntracedCall(const Template& t, const Tor& tor, std::ostream& out);
void writeTracedCall(const Template& t, const Tor& tor, const std::string& assign, std::ostream& out);
void writeRecordStart(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
void writeReleaseRecord(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
bool recordsAfterCall(const Tor& tor);
void writeAfterCallWrapper(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);

}  // namespace

void writeWrappers(const Template& t, std::ostream& out) {
    line(out, "/* *** BEGIN **************************************/");
    for (const Domain& d : t.domains)
        forEachTorSourceOrder(d, [&](const Tor& tor) { writeWrapper(t, d, tor, out); });
    line(out, "/* *** END ****************************************/");
}

void writeWrapper(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (recordsAfterCall(tor)) return writeAfterCallWrapper(t, d, tor, out);
    forEachWrapper(tor, [&](const Tor& arity, const std::string& name) {
        writeWrapperPrologue(t, d, arity, out, name);
        writeArgumentChecks(t, d, arity, out);
        writeCall(t, arity, out);
        writeWrapperEpilogue(t, d, arity, out);
    });
}

void writeWrapperPrologue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out,
                          const std::string& wrapperName) {
    if (isAliased(tor)) return;
    writeWrapperHead(t, d, tor, out, wrapperName);
    line(out);
    writeNonnullBarriers(t, tor, out);
    writeUntracedCall(t, tor, out);
    writeReleaseRecord(t, d, tor, out);
    writeRecordStart(t, d, tor, out);
    recordWriter(t).writePlacement(out, d, tor);
}

namespace {

void writeWrapperHead(const Template& t, const Domain& d, const Tor& tor, std::ostream& out,
                      const std::string& wrapperName) {
    const std::string& p = t.prefix;
    const std::string& name = wrapperName.empty() ? tor.name : wrapperName;
    if (forwardsVariadic(tor))
        line(out, returnType(tor), "\t", p, name, "(const char *", p, "file, size_t ", p, "line, ",
             declaredParameters(namedPart(tor)), "...){");
    else
        line(out, returnType(tor), "\t", p, name, "(", declaredParameters(tor), "const char *", p, "file, size_t ",
             p, "line){");
    if (!isVoid(returnType(tor))) line(out, "\t", returnType(tor), " ", p, "stored_retcode;");
    if (tor.is_handle_arg_out) line(out, "\t", d.handle, " ", p, "stored_handle;");
    block(out, mutexBlocks(mutexKind(t)).wrapperLocals);
    recordWriter(t).writeLocals(out);
}

// traced_if: a call for which the condition is false goes to the function
// without a record (realpath into the caller's own buffer allocates nothing).
void writeUntracedCall(const Template& t, const Tor& tor, std::ostream& out) {
    if (tor.traced_if.empty()) return;
    line(out, "\tif(!(", tor.traced_if, ")){");
    if (isVoid(returnType(tor))) {
        writeTracedCall(t, tor, "\t\t", out);
        line(out, "\t\treturn;");
    } else {
        writeTracedCall(t, tor, "\t\t" + t.prefix + "stored_retcode = ", out);
        line(out, "\t\treturn (", t.prefix, "stored_retcode);");
    }
    line(out, "\t}");
}

// The call of the traced function after `assign`; a forwarding wrapper hands
// its variable arguments over as a va_list.
void writeTracedCall(const Template& t, const Tor& tor, const std::string& assign, std::ostream& out) {
    if (!forwardsVariadic(tor)) {
        line(out, assign, tor.name, "(", parameterNames(tor), ");");
        return;
    }
    const Tor named = namedPart(tor);
    const std::string indent = assign.substr(0, assign.find_first_not_of('\t'));
    const std::string list = t.prefix + "va_args";
    line(out, indent, "{");
    line(out, indent, "va_list ", list, ";");
    line(out, indent, "va_start(", list, ", ", named.args.back().name, ");");
    line(out, assign, tor.va_forward, "(", passedParameters(named), list, ");");
    line(out, indent, "va_end(", list, ");");
    line(out, indent, "}");
}

// The lock, then the record's domain, tor, file and line.
void writeRecordStart(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    block(out, mutexBlocks(mutexKind(t)).lock);
    recordWriter(t).writeStart(out, d.name, tor.name, t.prefix);
}

// release_tor: a call that releases another handle on its way (dup2 closes
// its target descriptor, if open, before reusing its number) first writes,
// when release_if holds, the record of that release: the deallocator
// release_tor of the domain, for the argument at release_arg. Its expr type
// is "void" (the checks see to that), so its record needs no result.
void writeReleaseRecord(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (tor.release_tor.empty()) return;
    const Domain* owner = &d;
    const Tor* release = findReleaseTor(t, d, tor.release_tor, owner);
    if (release == nullptr) return;
    Tor view = *release;
    view.cpp_alias = "";
    if (view.args.size() > 1) view.args[1].name = argName(tor, tor.release_arg);
    const bool conditional = !tor.release_if.empty();
    if (conditional) line(out, "\tif(", tor.release_if, "){");
    writeRecordStart(t, *owner, view, out);
    writeArgumentChecks(t, *owner, view, out);
    const RecordWriter& record = recordWriter(t);
    record.writeMarkers(out, {kelproto::kVoid, kelproto::kNothing});
    record.writeEnd(out);
    block(out, mutexBlocks(mutexKind(t)).unlock);
    if (conditional) line(out, "\t}");
}

}  // namespace

void writeArgumentChecks(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    const RecordWriter& record = recordWriter(t);
    for (std::size_t i = 1; i < tor.validateDom_before.size(); ++i) {
        const std::string& n = tor.validateDom_before[i];
        if (n.empty()) continue;
        const int k = findDomainIndex(t, n);
        if (k == -1) continue;
        const Expr& e = t.domains[static_cast<std::size_t>(k)].expr;
        const std::string& a = argName(tor, static_cast<std::int64_t>(i));
        record.writeValidation(out, n, a + " " + e.oper + " " + e.value, a);
    }
    for (const std::string& size : sizeValues(d, tor)) record.writeSize(out, size);
}

void writeCall(const Template& t, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    const std::string& p = t.prefix;
    std::string assign = "\t";
    if (!isVoid(returnType(tor))) {
        assign += p + "stored_retcode = ";
        if (tor.is_handle_arg_out && tor.handle_arg_out == 0) assign += p + "stored_handle = ";
    }
    recordWriter(t).writeBeforeCall(out);
    line(out, assign, tor.name, "(", parameterNames(tor), ");");
    if (tor.is_handle_arg_out && tor.handle_arg_out != 0) {
        line(out, "\t", p, "stored_handle = ", argName(tor, tor.handle_arg_out), ";");
        // The trace reads the argument itself; the stored copy stays unread.
        line(out, "\t(void)", p, "stored_handle;");
    }
}

void writeWrapperEpilogue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    const std::string& p = t.prefix;
    const RecordWriter& record = recordWriter(t);

    switch (resultLine(tor)) {
        case ResultLine::voidCall:
            record.writeMarkers(out, {kelproto::kVoid});
            break;
        case ResultLine::untested:
            record.writeMarkers(out, {kelproto::kNothing});
            break;
        case ResultLine::verdict:
            record.writeResultVerdict(out, p + "stored_retcode " + tor.expr.oper + " " + tor.expr.value);
            break;
    }

    const Expr& f = d.expr;
    if (!tor.is_handle_arg_out) {
        record.writeMarkers(out, {kelproto::kNothing});
    } else {
        // The stored handle is tested with blanks around the operator, an
        // argument without.
        const bool fromReturn = tor.handle_arg_out == 0;
        const std::string h = fromReturn ? p + "stored_handle" : argName(tor, tor.handle_arg_out);
        record.writeHandleLine(out, fromReturn ? h + " " + f.oper + " " + f.value : h + f.oper + f.value, h);
    }

    record.writeEnd(out);
    block(out, mutexBlocks(mutexKind(t)).unlock);
    if (!isVoid(returnType(tor))) line(out, "\treturn (", p, "stored_retcode);");
    line(out, "}");
    line(out);
}

// ---------------------------------------------------------------- wrappers that record after the call
//
// A handle that comes back through a pointer (handle_arg_deref) exists only
// once the call has returned, and a forwarded variable argument list
// (va_forward) is consumed by the call: such a wrapper calls first and then
// writes its records, whole, with the same lines as any other wrapper.
//   handle_arg_deref 1 on an allocator: one record with the handle *arg; a
//     call that failed by the tor's expr records nothing.
//   handle_arg_deref n > 1: one record per handle arg[0] .. arg[n-1].
//   handle_arg_deref 1 on a reallocator: the old handle is *arg before the
//     call and the new one *arg after it, the sizes are read after it; a
//     call that changed neither the handle nor a size records nothing, and
//     one that did is a reallocation whatever it returned (getline
//     allocates its buffer even when it returns -1 at the end of a file).
// No lock is held across such a call.

namespace {

// float_size_expr may name the result by args entry 0's name (realpath's
// copy is strlen(ret) + 1): its value exists only after the call.
bool sizeNamesResult(const Tor& tor) {
    if (tor.float_size_expr.empty() || tor.args.empty() || !isCIdentifier(tor.args[0].name)) return false;
    const std::string& e = tor.float_size_expr;
    const std::string& name = tor.args[0].name;
    const auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (std::size_t at = e.find(name); at != std::string::npos; at = e.find(name, at + 1)) {
        const std::size_t end = at + name.size();
        if ((at == 0 || !word(e[at - 1])) && (end == e.size() || !word(e[end]))) return true;
    }
    return false;
}

bool recordsAfterCall(const Tor& tor) {
    return !isAliased(tor) && (tor.handle_arg_deref > 0 || forwardsVariadic(tor) || sizeNamesResult(tor));
}

bool isReallocator(const Domain& d, const Tor& tor) {
    for (const Tor& r : d.reallocators)
        if (&r == &tor) return true;
    return false;
}

// The verdict lines of a record written after the call: the result line is
// "OK" (a call that failed wrote no record), the handle line tests `handle`.
void writeOutcome(const Template& t, const Domain& d, const Tor& tor, const std::string& handle, std::ostream& out) {
    const RecordWriter& record = recordWriter(t);
    switch (resultLine(tor)) {
        case ResultLine::voidCall:
            record.writeMarkers(out, {kelproto::kVoid});
            break;
        case ResultLine::untested:
            record.writeMarkers(out, {kelproto::kNothing});
            break;
        case ResultLine::verdict:
            record.writeMarkers(out, {kelproto::kOK});
            break;
    }
    if (!tor.is_handle_arg_out)
        record.writeMarkers(out, {kelproto::kNothing});
    else
        record.writeHandleLine(out, handle + " " + d.expr.oper + " " + d.expr.value, handle);
    record.writeEnd(out);
    block(out, mutexBlocks(mutexKind(t)).unlock);
}

void writeAfterCallWrapper(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    const std::string& p = t.prefix;
    const bool returns = !isVoid(returnType(tor));
    const std::string ret = p + "stored_retcode";
    const std::string handle = p + "stored_handle";
    const std::string index = p + "handle_index";
    const std::string oldHandle = p + "old_handle";
    const std::string returnLine = returns ? "\treturn (" + ret + ");" : "\treturn;";
    const std::int64_t count = tor.handle_arg_deref;
    const bool resized = isReallocator(d, tor);
    const std::vector<std::string> sizes = sizeValues(d, tor);
    const std::string arg = tor.is_handle_arg_out && tor.handle_arg_out > 0 ? argName(tor, tor.handle_arg_out) : "";

    writeWrapperHead(t, d, tor, out, tor.name);
    if (count > 1) line(out, "\tint ", index, ";");
    if (resized) {
        line(out, "\t", d.handle, " ", oldHandle, ";");
        for (std::size_t i = 0; i < sizes.size(); ++i) line(out, "\tkeluint64 ", p, "old_size", i, ";");
    }
    line(out);
    writeNonnullBarriers(t, tor, out);
    writeUntracedCall(t, tor, out);
    writeReleaseRecord(t, d, tor, out);
    if (resized) {
        line(out, "\t", oldHandle, " = *", arg, ";");
        for (std::size_t i = 0; i < sizes.size(); ++i) line(out, "\t", p, "old_size", i, " = ", asHex(sizes[i]), ";");
    }
    writeTracedCall(t, tor, returns ? "\t" + ret + " = " : "\t", out);
    if (!resized && returns && !tor.expr.type.empty() && !isVoid(tor.expr.type))
        line(out, "\tif(", ret, " ", tor.expr.oper, " ", tor.expr.value, ") ", returnLine.substr(1));
    if (returns && sizeNamesResult(tor)) line(out, "\t", returnType(tor), " ", tor.args[0].name, " = ", ret, ";");

    // The record's lines, as the tor's other wrappers would write them,
    // with the old handle standing for the argument that points to it.
    Tor view = tor;
    if (resized) view.args[static_cast<std::size_t>(tor.handle_arg_out)].name = oldHandle;
    std::string produced;
    if (tor.is_handle_arg_out) {
        if (count == 0)
            produced = tor.handle_arg_out == 0 ? ret : arg;
        else
            produced = count > 1 ? arg + "[" + index + "]" : "*" + arg;
    }
    if (resized) {
        std::string unchanged = handle + " == " + oldHandle;
        for (std::size_t i = 0; i < sizes.size(); ++i)
            unchanged += " && " + asHex(sizes[i]) + " == " + p + "old_size" + std::to_string(i);
        line(out, "\t", handle, " = ", produced, ";");
        line(out, "\tif(", unchanged, ") ", returnLine.substr(1));
    }
    const std::string body = count > 1 ? "\t" : "";
    if (count > 1) line(out, "\tfor(", index, " = 0; ", index, " < ", count, "; ", index, "++){");
    if (tor.is_handle_arg_out && !resized) line(out, body, "\t", handle, " = ", produced, ";");
    writeRecordStart(t, d, tor, out);
    writeArgumentChecks(t, d, view, out);
    writeOutcome(t, d, tor, handle, out);
    if (count > 1) line(out, "\t}");
    line(out, returnLine);
    line(out, "}");
    line(out);
}

}  // namespace
