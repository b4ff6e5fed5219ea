// The per-field and the buffered record writers, and the buffered runtime
// that the buffered writer's lines call.
#include "gen_records.h"

#include "gen_lines.h"
#include "gen_settings.h"
#include "trace_protocol.h"

namespace {

// ---------------------------------------------------------------- per field

// A generated test: a true condition traces "BAD", a false one "OK". `fields`
// are the kel_trace arguments before the verdict (count first), `rest` what
// follows it.
void writeVerdict(std::ostream& out, const std::string& condition, const std::string& fields,
                  const std::string& rest) {
    line(out, "\tif(", condition, "){");
    line(out, "\t\tkel_trace(", fields, quoted(kelproto::kBAD), rest);
    line(out, "\t}");
    line(out, "\telse\t{");
    line(out, "\t\tkel_trace(", fields, quoted(kelproto::kOK), rest);
    line(out, "\t}");
}

class PerFieldWriter final : public RecordWriter {
public:
    void writeRuntime(const Template&, std::ostream&) const override {}
    void writeLocals(std::ostream&) const override {}

    void writeStart(std::ostream& out, const std::string& domain, const std::string& tor,
                    const std::string& prefix) const override {
        line(out, "\t", kelTrace1(domain));
        line(out, "\t", kelTrace1(tor));
        line(out, "\tkel_trace(1, ", prefix, "file);");
        line(out, "\tkel_trace(1, kelsize_t2str(", prefix, "line));");
    }

    void writeValidation(std::ostream& out, const std::string& domain, const std::string& condition,
                         const std::string& value) const override {
        writeVerdict(out, condition, "3, " + quoted(domain) + ", ", ", keluint64tostr1(" + asHex(value) + "));");
    }

    void writeSize(std::ostream& out, const std::string& value) const override {
        line(out, "\tkel_trace(1, keluint64tostr1(", asHex(value), "));");
    }

    void writeBeforeCall(std::ostream&) const override {}

    void writeMarkers(std::ostream& out, std::initializer_list<const char*> texts) const override {
        for (const char* text : texts) line(out, "\t", kelTrace1(text));
    }

    void writeResultVerdict(std::ostream& out, const std::string& condition) const override {
        writeVerdict(out, condition, "1, ", ");");
    }

    void writeHandleLine(std::ostream& out, const std::string& condition, const std::string& handle) const override {
        writeVerdict(out, condition, "2, ", ", keluint64tostr1(" + asHex(handle) + "));");
    }

    void writeEnd(std::ostream&) const override {}
};

// ---------------------------------------------------------------- buffered
//
// A buffered wrapper formats its record into a kel_record on its own stack
// and hands it to the target in one write (two where the part before the
// traced call must reach the target first). kel_trace stays for kel_start,
// kel_stop and the fork trap.

// Big enough for any usual record; a longer one is written out in pieces.
constexpr int kRecordBufferSize = 512;

bool hasWrappers(const Template& t) {
    bool any = false;
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) { any = any || !isAliased(tor); });
    return any;
}

// The lines of a wrapper that carry a hex16 field, as the wrapper writers
// decide them.
bool writesHex(const Template& t, const Domain& d, const Tor& tor) {
    for (std::size_t i = 1; i < tor.validateDom_before.size(); ++i)
        if (!tor.validateDom_before[i].empty() && findDomainIndex(t, tor.validateDom_before[i]) != -1) return true;
    return !sizeValues(d, tor).empty() || tor.is_handle_arg_out;
}

// kel_put_hex is written only when a wrapper calls it: an unused static
// function would warn under -Wall.
bool recordsWriteHex(const Template& t) {
    bool any = false;
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            forEachWrapper(tor, [&](const Tor& arity, const std::string&) { any = any || writesHex(t, d, arity); });
        });
    return any;
}

// kel_record_out: one write of a record's bytes, checked as kel_trace checks
// its writes. A failed write ends the program with -1: fwrite's result (0)
// would report the failure as success.
void writeRecordOut(const Template& t, std::ostream& out) {
    const bool win32 = compiler(t) == Compiler::win32;
    line(out, "static void\tkel_record_out(const char *text, size_t size){");
    if (t.remote_mode) {
        line(out, win32 ? "int\tsent;" : "ssize_t\tsent;");
        if (t.auto_start) line(out, "if(kel_started != 1) return;");
        // send() may take a part of a long record, or be interrupted.
        line(out, "while(size > 0){");
        line(out, "\tsent = send(kel_socket, text, ", win32 ? "(int)size" : "size", ", 0);");
        if (!win32) line(out, "\tif(sent < 0 && errno == EINTR) continue;");
        if (t.trap_on_io_err)
            line(out, "\tif(sent <= 0){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}");
        else
            line(out, "\tif(sent <= 0) return;");
        line(out, "\ttext += sent;");
        line(out, "\tsize -= (size_t)sent;");
        line(out, "\t}");
    } else {
        if (t.auto_start) line(out, "if(kel_started != 1) return;");
        // fwrite() of nothing returns 0, which the check would take for a failure.
        line(out, "if(size == 0) return;");
        if (t.trap_on_io_err)
            line(out, "if(fwrite(text, size, 1, kel_tracefile) != 1){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}");
        else
            line(out, "fwrite(text, size, 1, kel_tracefile);");
    }
    line(out, "}");
    line(out);
}

// kel_put and its forms: append to the record. A piece that does not fit
// sends the record so far out first, and one larger than the whole buffer
// goes out directly, so no file name is too long.
void writeRecordPut(const Template& t, std::ostream& out) {
    line(out, "static void\tkel_put(kel_record *r, const char *text, size_t size){");
    line(out, "if(size > sizeof(r->text) - r->used){");
    line(out, "\tkel_record_out(r->text, r->used);");
    line(out, "\tr->used = 0;");
    line(out, "\tif(size > sizeof(r->text)){");
    line(out, "\t\tkel_record_out(text, size);");
    line(out, "\t\treturn;");
    line(out, "\t\t}");
    line(out, "\t}");
    line(out, "memcpy(r->text + r->used, text, size);");
    line(out, "r->used += size;");
    line(out, "}");
    line(out);
    line(out, "#define KEL_PUT_TEXT(r, literal)\tkel_put((r), (literal), sizeof(literal) - 1)");
    line(out);
    line(out, "static void\tkel_put_line(kel_record *r, const char *text){");
    line(out, "kel_put(r, text, strlen(text));");
    line(out, "kel_put(r, \"\\n\", 1);");
    line(out, "}");
    line(out);
    // The line number as kelsize_t2str writes it, with its line feed.
    line(out, "static void\tkel_put_dec(kel_record *r, unsigned long value){");
    line(out, "char\tdigits[24];");
    line(out, "size_t\ti = sizeof(digits) - 1;");
    line(out, "digits[i] = '\\n';");
    line(out, "do\t{");
    line(out, "\tdigits[--i] = (char)('0' + value % 10);");
    line(out, "\tvalue /= 10;");
    line(out, "\t} while(value != 0);");
    line(out, "kel_put(r, digits + i, sizeof(digits) - i);");
    line(out, "}");
    line(out);
    if (recordsWriteHex(t)) {
        // hex16 as keluint64tostr1 writes it; it always ends its line.
        line(out, "static void\tkel_put_hex(kel_record *r, keluint64 value){");
        line(out, "static const char\txdigits[] = \"0123456789ABCDEF\";");
        line(out, "char\tdigits[17];");
        line(out, "int\ti;");
        line(out, "for(i = 15; i >= 0; i--){");
        line(out, "\tdigits[i] = xdigits[value & 15];");
        line(out, "\tvalue >>= 4;");
        line(out, "\t}");
        line(out, "digits[16] = '\\n';");
        line(out, "kel_put(r, digits, sizeof(digits));");
        line(out, "}");
        line(out);
    }
}

// kel_record_call runs just before the traced call, kel_record_end after the
// record's last line. Whatever the per-field runtime has handed to the target
// before the call is handed over here too: a program that dies inside the
// call leaves the same trace.
void writeRecordEnds(const Template& t, std::ostream& out) {
    const bool flush = !t.remote_mode && t.force_flush;
    if (flush) {
        line(out, "static void\tkel_record_flush(void){");
        if (t.auto_start) line(out, "if(kel_started != 1) return;");
        if (t.trap_on_io_err)
            line(out, "if(fflush(kel_tracefile) != 0){kelerrlog(\"fflush()\", __FILE__, __LINE__); exit(-1);}");
        else
            line(out, "fflush(kel_tracefile);");
        line(out, "}");
        line(out);
    }
    line(out, "static void\tkel_record_call(kel_record *r){");
    if (defersRecordStart(t)) {
        line(out, "kel_pending = r;");
    } else {
        line(out, "kel_record_out(r->text, r->used);");
        line(out, "r->used = 0;");
        if (flush) line(out, "kel_record_flush();");
    }
    line(out, "}");
    line(out);
    line(out, "static void\tkel_record_end(kel_record *r){");
    if (defersRecordStart(t)) line(out, "kel_pending = NULL;");
    line(out, "kel_record_out(r->text, r->used);");
    if (flush) line(out, "kel_record_flush();");
    line(out, "}");
    line(out);
}

// A template name as its own C literal followed by the line feed's: an escape
// at the name's end cannot swallow what follows.
std::string nameLine(const std::string& name) { return quoted(name) + " \"\\n\""; }

// A verdict appended to the record: `name`, when not empty, is the field
// before the verdict (a validation line); `after` ends the literal.
void writePutVerdict(std::ostream& out, const std::string& condition, const std::string& name, const char* after) {
    const std::string before = name.empty() ? "\"" : quoted(name) + " \" ";
    line(out, "\tif(", condition, "){");
    line(out, "\t\tKEL_PUT_TEXT(&kel_rec, ", before, kelproto::kBAD, after, "\");");
    line(out, "\t}");
    line(out, "\telse\t{");
    line(out, "\t\tKEL_PUT_TEXT(&kel_rec, ", before, kelproto::kOK, after, "\");");
    line(out, "\t}");
}

class BufferedWriter final : public RecordWriter {
public:
    // The buffered runtime exists only where a wrapper uses it.
    void writeRuntime(const Template& t, std::ostream& out) const override {
        if (!hasWrappers(t)) return;
        line(out, "typedef struct {");
        line(out, "\tsize_t\tused;");
        line(out, "\tchar\ttext[", kRecordBufferSize, "];");
        line(out, "} kel_record;");
        line(out);
        if (defersRecordStart(t)) {
            line(out, "static kel_record\t*kel_pending = NULL;");
            line(out);
        }
        writeRecordOut(t, out);
        writeRecordPut(t, out);
        writeRecordEnds(t, out);
    }

    void writeLocals(std::ostream& out) const override { line(out, "\tkel_record kel_rec;"); }

    void writeStart(std::ostream& out, const std::string& domain, const std::string& tor,
                    const std::string& prefix) const override {
        line(out, "\tkel_rec.used = 0;");
        line(out, "\tKEL_PUT_TEXT(&kel_rec, ", nameLine(domain), " ", nameLine(tor), ");");
        line(out, "\tkel_put_line(&kel_rec, ", prefix, "file);");
        line(out, "\tkel_put_dec(&kel_rec, (unsigned long)", prefix, "line);");
    }

    void writeValidation(std::ostream& out, const std::string& domain, const std::string& condition,
                         const std::string& value) const override {
        writePutVerdict(out, condition, domain, " ");
        line(out, "\tkel_put_hex(&kel_rec, ", asHex(value), ");");
    }

    void writeSize(std::ostream& out, const std::string& value) const override {
        line(out, "\tkel_put_hex(&kel_rec, ", asHex(value), ");");
    }

    void writeBeforeCall(std::ostream& out) const override { line(out, "\tkel_record_call(&kel_rec);"); }

    void writeMarkers(std::ostream& out, std::initializer_list<const char*> texts) const override {
        std::string joined;
        for (const char* text : texts) joined += std::string(text) + "\\n";
        line(out, "\tKEL_PUT_TEXT(&kel_rec, \"", joined, "\");");
    }

    void writeResultVerdict(std::ostream& out, const std::string& condition) const override {
        writePutVerdict(out, condition, "", "\\n");
    }

    void writeHandleLine(std::ostream& out, const std::string& condition, const std::string& handle) const override {
        writePutVerdict(out, condition, "", " ");
        line(out, "\tkel_put_hex(&kel_rec, ", asHex(handle), ");");
    }

    void writeEnd(std::ostream& out) const override { line(out, "\tkel_record_end(&kel_rec);"); }
};

}  // namespace

const RecordWriter& recordWriter(const Template& t) {
    static const PerFieldWriter perField;
    static const BufferedWriter buffered;
    if (t.buffered_records) return buffered;
    return perField;
}

bool defersRecordStart(const Template& t) {
    return t.buffered_records && hasWrappers(t) && !t.remote_mode && !t.force_flush;
}
