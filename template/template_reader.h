// The template reader: the template's records, the SAX event recorder and the
// recursive-descent loaders that turn recorded events into records.
// Used by kelgen (the user's template) and keltrace (the copy inside a trace).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <libxml++/parsers/saxparser.h>

// ---------------------------------------------------------------- records

struct Expr {
    std::string oper;
    std::string type;
    std::string value;
};

struct Arg {
    std::string type;
    std::string name;
    // Optional attributes; absent, they take these values, so that a template
    // which does not use them generates and analyses as the base format says.
    bool optional = false;  // a trailing parameter that callers may leave out (open's mode)
};

struct Tor {
    std::string name;
    std::vector<Arg> args;
    std::int64_t float_arg_n1 = 0;
    std::int64_t float_arg_n2 = 0;
    std::vector<std::string> validateDom_before;
    bool is_handle_arg_out = false;
    std::int64_t handle_arg_out = 0;
    Expr expr;
    std::string cpp_alias;
    // Where the tor's start tag begins in the document (1 = first line; 0 =
    // unknown), for messages. Not part of what the template says: equality
    // ignores it.
    std::int64_t sourceLine = 0;
    // Optional attributes; absent, they take these values, so that a template
    // which does not use them generates and analyses as the base format says.
    bool bad_handle_ok = false;  // a BAD handle argument is no finding (free(NULL))
    std::string float_size_expr;  // a C expression over the parameters: the size traced (strdup)
    // How many handles the argument at handle_arg_out points to: 0 the
    // argument is the handle itself; 1 the handle is *arg (posix_memalign's
    // memptr, getline's lineptr); n > 1 an array of n handles (pipe's fds).
    std::int64_t handle_arg_deref = 0;
    std::string traced_if;   // a C condition over the parameters: false, the call is not traced (realpath's buffer)
    std::string va_forward;  // the va_list function a variadic wrapper calls (asprintf through vasprintf)
    // A call that first releases another handle (dup2's target descriptor):
    // when release_if holds before the call, the wrapper writes a record of
    // the deallocator release_tor for the argument at release_arg.
    std::string release_tor;
    std::int64_t release_arg = 0;
    std::string release_if;
    bool c_only = false;  // no redefinition in C++ sources (getline is also std::getline there)
};

struct Domain {
    std::string name;
    bool float_handle = false;
    std::string handle;
    Expr expr;
    bool includesGlobal = false;
    std::vector<std::string> includes;
    std::vector<Tor> allocators;
    std::vector<Tor> deallocators;
    std::vector<Tor> reallocators;
    std::vector<Tor> operators;
    // Optional attributes; absent, they take these values, so that a template
    // which does not use them generates and analyses as the base format says.
    std::string untracked_use;  // "ignore": a use of a never-allocated handle is no finding
    bool warn_unused = true;    // false: no "never operated" warning at release
    bool interior = false;      // a use inside a live sized block is a use of that block
    // Where the domain's start tag begins in the document, as for Tor.
    std::int64_t sourceLine = 0;
};

struct Template {
    std::string name;
    std::string prefix;
    std::string errlogmode;
    // Flags start false so that a template which leaves a flag out (or spells it
    // wrongly) yields a defined value.
    bool trap_on_io_err = false;
    bool remote_mode = false;
    bool force_flush = false;
    bool fork_enabled = false;
    bool multithreaded = false;
    std::string threading;
    std::string compiler_type;
    std::string trace_target;
    std::vector<Domain> domains;
    // Optional attributes; absent, they take these values, so that a template
    // which does not use them generates and analyses as the base format says.
    bool trace_per_process = false;  // "%p" in trace_target becomes the process id
    bool auto_start = false;         // a constructor calls kel_start before main
    bool buffered_records = false;   // one formatted buffer and one write per record
    bool gnu_source = false;         // kel.c defines _GNU_SOURCE, for wrappers of GNU functions
    bool link_wrap = false;          // kel.c also defines __wrap_NAME for the linker's --wrap=NAME
    bool mapped_records = false;     // records copied into a shared mapping of the trace file
};

// Deep equality, field by field, the optional attributes included: two
// templates are equal when they would generate and analyse alike. The source
// lines are left out: a copy of the document without its empty lines says
// the same.
bool operator==(const Expr& a, const Expr& b);
bool operator==(const Arg& a, const Arg& b);
bool operator==(const Tor& a, const Tor& b);
bool operator==(const Domain& a, const Domain& b);
bool operator==(const Template& a, const Template& b);
// The same for everything but the domains: the root's settings.
bool sameSettings(const Template& a, const Template& b);
inline bool operator!=(const Expr& a, const Expr& b) { return !(a == b); }
inline bool operator!=(const Arg& a, const Arg& b) { return !(a == b); }
inline bool operator!=(const Tor& a, const Tor& b) { return !(a == b); }
inline bool operator!=(const Domain& a, const Domain& b) { return !(a == b); }
inline bool operator!=(const Template& a, const Template& b) { return !(a == b); }

// The text a string field holds when its attribute is missing.
extern const char* const kMissingField;

// ---------------------------------------------------------------- recorded events

enum ChunkEvent : std::int32_t {
    onDocStart = 0,
    onDocEnd = 1,
    onElementStart = 2,
    onElementEnd = 3,
    onText = 4,
};

struct ChunkElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
};

struct Chunk {
    ChunkEvent event = onDocStart;
    ChunkElement element;
    std::string text;
    // The document line of the event: for a start tag the line where it
    // begins; 0 when the parser could not tell.
    std::int64_t line = 0;
};

// An ordered sequence of Chunk, held compactly: a big template records
// millions of events, and a Chunk object per event (strings and an attribute
// vector each) costs several times the template's own size. Each chunk is
// encoded into one byte string (its kind, then each string as a length and
// its bytes) and found through one offset; reading one gives a full copy.
class ChunkSequence {
public:
    void push_back(const Chunk& chunk);
    Chunk operator[](std::size_t i) const;
    std::size_t size() const { return offsets.size(); }
    bool empty() const { return offsets.empty(); }
    void clear();

private:
    std::string bytes;
    std::vector<std::uint64_t> offsets;  // where each chunk's encoding starts in bytes
};

// The loaders' input: the recorded events and a read cursor.
struct ChunkList {
    ChunkSequence chunks;
    std::uint64_t index = 0;
    std::uint64_t length = 0;

    Chunk getChunk();
    void putChunkBack();
    Chunk peekPrev();
    Chunk getNonTextChunk();
    void skipTextChunks();
};

// Records every SAX event of interest as a Chunk, in document order. The
// parser's warnings and errors go to `out`.
class kelSaxParser : public xmlpp::SaxParser {
public:
    explicit kelSaxParser(std::ostream& out = std::cout);
    ~kelSaxParser() override;

    ChunkSequence chunks;

    // Set when the parse asked for an external entity or DTD; the load was
    // refused and the parse stopped. The URL and the template line say which.
    bool refusedLoad = false;
    std::string refusedUrl;
    int refusedLine = 0;
    void refuseLoad(const char* url);

    // The first fatal error the parser reported, and its line: the reason a
    // document is rejected (later errors are often its consequences).
    std::string firstFatal;
    std::int64_t firstFatalLine = 0;

protected:
    void on_start_document() override;
    void on_end_document() override;
    void on_start_element(const Glib::ustring& name, const AttributeList& attributes) override;
    void on_end_element(const Glib::ustring& name) override;
    void on_characters(const Glib::ustring& characters) override;
    void on_comment(const Glib::ustring& text) override;
    void on_warning(const Glib::ustring& text) override;
    void on_error(const Glib::ustring& text) override;
    void on_fatal_error(const Glib::ustring& text) override;

private:
    std::ostream& out_;
    // The document line the parser stands on, and the one where the start
    // tag just read begins.
    std::int64_t currentLine() const;
    std::int64_t startTagLine() const;
};

// ---------------------------------------------------------------- loaders

enum ValueKind : std::int32_t {
    vkInteger = 3,
    vkString = 4,
    vkFlag = 5,
    // Attributes a template may leave out: a missing one leaves the field at
    // its default, silently, since leaving it out is no mistake.
    vkOptionalFlag = 6,
    vkOptionalString = 7,
};

struct AttributeBinding {
    void* target;  // std::int64_t*, std::string* or bool*, as kind says (bool* for vkOptionalFlag)
    const char* attribute;
    ValueKind kind;
};

// The entry: 0 loaded; -1 the XML parser rejected the file or a structural
// check failed (its diagnostic is on standard error). After a structural
// failure the Template keeps the records completed before it.
int saxparser_templateLoader(Template& tmpl, const char* path);
// The same; on -1 `failure` says why in one line, for a caller's own report:
// the reason the file could not be read, the parser's first fatal error with
// its line, the refused external load, or the structural check that failed.
// It does not name the file: the caller knows which file it asked for.
int saxparser_templateLoader(Template& tmpl, const char* path, std::string& failure);
// The same, with each domain handed to `onDomain` as soon as it is loaded
// instead of being kept in tmpl.domains: a caller that only compares the
// domains does not hold a second big template.
int saxparser_templateLoader(Template& tmpl, const char* path, std::string& failure,
                             const std::function<void(const Domain&)>& onDomain);
// The same, reporting to the caller's streams instead of the standard ones:
// the XML parser's diagnostics and the "libxml++ exception" line to `out`,
// the attribute, structure and refused-load messages to `err`. A caller that
// loads a file only to compare it passes streams that discard.
int saxparser_templateLoader(Template& tmpl, const char* path, std::string& failure, std::ostream& out,
                             std::ostream& err, const std::function<void(const Domain&)>& onDomain = nullptr);

// The loaders report their attribute and structure messages to `err`.
int domainLoader(Domain& domain, ChunkList& list, std::ostream& err = std::cerr);
int torLoader(Tor& tor, ChunkList& list, std::ostream& err = std::cerr);
int argsLoader(Arg& arg, ChunkList& list, std::ostream& err = std::cerr);
int exprLoader(Expr& expr, ChunkList& list, std::ostream& err = std::cerr);
int stringLoader(std::vector<std::string>& out, ChunkList& list, std::ostream& err = std::cerr);

int loadAttributes(const Chunk& chunk, const AttributeBinding* table, std::size_t count,
                   std::ostream& err = std::cerr);
std::string findAttribute(const Chunk& chunk, const std::string& name);
