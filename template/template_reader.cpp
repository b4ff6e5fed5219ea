// The template reader: records every SAX event as a Chunk, then walks the
// chunks with one recursive-descent loader per element kind.
#include "template_reader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libxml++/exceptions/exception.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>

#include "visible_text.h"

const char* const kMissingField = "<MISSING FIELD>";

namespace {

// A failed structural check: its diagnostic is already on the loader's error
// stream. Unwinds to saxparser_templateLoader, which returns -1.
struct StructureError {
    const char* condition;
    const char* function;
};

// The diagnostic names the condition, the function, and the tag that
// identifies the check: "gen_xml_sax_read:NNN" is a frozen tag that stored
// reports and users' scripts match, so it stays as it is whatever this file
// is called and wherever the check stands in it.
void check(bool ok, const char* condition, const char* function, int line, std::ostream& err) {
    if (ok) return;
    err << "gen_xml_sax_read:" << line << ": " << function << ": Assertion '" << condition
              << "' failed." << std::endl;
    throw StructureError{condition, function};
}

// Cursor misuse is a defect of the caller, never reached by any input: the
// program stops, so the diagnostic goes where the user sees it, whatever
// streams the load reports to.
[[noreturn]] void cursorFailure(const char* function, const char* condition, int line) {
    std::cerr << "gen_xml_sax_read:" << line << ": " << function << ": Assertion '" << condition
              << "' failed." << std::endl;
    std::abort();
}

bool isStart(const Chunk& c, const char* name) {
    return c.event == onElementStart && c.element.name == name;
}

// getNonTextChunk then putChunkBack: consumes the text before the next
// element-level chunk and returns that chunk without taking it.
Chunk peek(ChunkList& list) {
    Chunk c = list.getNonTextChunk();
    list.putChunkBack();
    return c;
}

// A copy of the chunk at the cursor, cursor unchanged.
Chunk look(ChunkList& list) {
    Chunk c = list.getChunk();
    list.putChunkBack();
    return c;
}

}  // namespace

// ---------------------------------------------------------------- records

bool operator==(const Expr& a, const Expr& b) {
    return a.oper == b.oper && a.type == b.type && a.value == b.value;
}

bool operator==(const Arg& a, const Arg& b) {
    return a.type == b.type && a.name == b.name && a.optional == b.optional;
}

bool operator==(const Tor& a, const Tor& b) {
    return a.name == b.name && a.args == b.args && a.float_arg_n1 == b.float_arg_n1 &&
           a.float_arg_n2 == b.float_arg_n2 && a.validateDom_before == b.validateDom_before &&
           a.is_handle_arg_out == b.is_handle_arg_out && a.handle_arg_out == b.handle_arg_out && a.expr == b.expr &&
           a.cpp_alias == b.cpp_alias && a.bad_handle_ok == b.bad_handle_ok && a.float_size_expr == b.float_size_expr &&
           a.handle_arg_deref == b.handle_arg_deref && a.traced_if == b.traced_if && a.va_forward == b.va_forward &&
           a.release_tor == b.release_tor && a.release_arg == b.release_arg && a.release_if == b.release_if &&
           a.c_only == b.c_only;
}

bool operator==(const Domain& a, const Domain& b) {
    return a.name == b.name && a.float_handle == b.float_handle && a.handle == b.handle && a.expr == b.expr &&
           a.includesGlobal == b.includesGlobal && a.includes == b.includes && a.allocators == b.allocators &&
           a.deallocators == b.deallocators && a.reallocators == b.reallocators && a.operators == b.operators &&
           a.untracked_use == b.untracked_use && a.warn_unused == b.warn_unused && a.interior == b.interior;
}

bool operator==(const Template& a, const Template& b) { return sameSettings(a, b) && a.domains == b.domains; }

bool sameSettings(const Template& a, const Template& b) {
    return a.name == b.name && a.prefix == b.prefix && a.errlogmode == b.errlogmode &&
           a.trap_on_io_err == b.trap_on_io_err && a.remote_mode == b.remote_mode && a.force_flush == b.force_flush &&
           a.fork_enabled == b.fork_enabled && a.multithreaded == b.multithreaded && a.threading == b.threading &&
           a.compiler_type == b.compiler_type && a.trace_target == b.trace_target &&
           a.trace_per_process == b.trace_per_process && a.auto_start == b.auto_start &&
           a.buffered_records == b.buffered_records && a.gnu_source == b.gnu_source &&
           a.link_wrap == b.link_wrap;
}

// ---------------------------------------------------------------- chunk storage

namespace {

// Lengths and counts as base-128 varints: names and values are short, so
// nearly every one takes a single byte.
void putNumber(std::string& out, std::uint64_t n) {
    while (n >= 0x80) {
        out += static_cast<char>((n & 0x7F) | 0x80);
        n >>= 7;
    }
    out += static_cast<char>(n);
}

std::uint64_t getNumber(const std::string& in, std::size_t& at) {
    std::uint64_t n = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char byte = static_cast<unsigned char>(in[at++]);
        n |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return n;
    }
}

void putText(std::string& out, const std::string& text) {
    putNumber(out, text.size());
    out += text;
}

void getText(const std::string& in, std::size_t& at, std::string& text) {
    const std::size_t n = static_cast<std::size_t>(getNumber(in, at));
    text.assign(in, at, n);
    at += n;
}

}  // namespace

void ChunkSequence::push_back(const Chunk& chunk) {
    offsets.push_back(bytes.size());
    bytes += static_cast<char>(chunk.event);
    putNumber(bytes, static_cast<std::uint64_t>(chunk.line));
    putText(bytes, chunk.element.name);
    putNumber(bytes, chunk.element.attributes.size());
    for (const auto& attribute : chunk.element.attributes) {
        putText(bytes, attribute.first);
        putText(bytes, attribute.second);
    }
    putText(bytes, chunk.text);
}

Chunk ChunkSequence::operator[](std::size_t i) const {
    std::size_t at = static_cast<std::size_t>(offsets[i]);
    Chunk c;
    c.event = static_cast<ChunkEvent>(static_cast<unsigned char>(bytes[at++]));
    c.line = static_cast<std::int64_t>(getNumber(bytes, at));
    getText(bytes, at, c.element.name);
    const std::uint64_t count = getNumber(bytes, at);
    c.element.attributes.resize(static_cast<std::size_t>(count));
    for (auto& attribute : c.element.attributes) {
        getText(bytes, at, attribute.first);
        getText(bytes, at, attribute.second);
    }
    getText(bytes, at, c.text);
    return c;
}

void ChunkSequence::clear() {
    bytes.clear();
    offsets.clear();
}

// ---------------------------------------------------------------- cursor

Chunk ChunkList::getChunk() {
    if (!(index < length)) cursorFailure("getChunk", "i < l", __LINE__);
    return chunks[index++];
}

void ChunkList::putChunkBack() {
    if (!(index > 0)) cursorFailure("putChunkBack", "i > 0", __LINE__);
    --index;
}

Chunk ChunkList::peekPrev() {
    if (!(index > 0)) cursorFailure("peekPrev", "i > 0", __LINE__);
    return chunks[index - 1];
}

Chunk ChunkList::getNonTextChunk() {
    for (;;) {
        Chunk c = getChunk();
        if (c.event != onText) return c;
    }
}

void ChunkList::skipTextChunks() {
    getNonTextChunk();
    putChunkBack();
}

// ---------------------------------------------------------------- recorder

kelSaxParser::kelSaxParser(std::ostream& out) : xmlpp::SaxParser(false), out_(out) {}

kelSaxParser::~kelSaxParser() = default;

std::int64_t kelSaxParser::currentLine() const {
    if (context_ == nullptr || context_->input == nullptr || context_->input->line < 0) return 0;
    return context_->input->line;
}

std::int64_t kelSaxParser::startTagLine() const {
    // The parser calls back once it has read the tag's attributes, so its
    // line is that of the tag's end. The tag begins at the last '<' before
    // the read position ('<' cannot stand inside an attribute value); every
    // line feed between the two is a line further down.
    std::int64_t line = currentLine();
    if (line == 0) return 0;
    const xmlChar* base = context_->input->base;
    const xmlChar* p = context_->input->cur;
    if (base == nullptr || p == nullptr) return line;
    while (p > base) {
        --p;
        if (*p == '<') return line;
        if (*p == '\n') --line;
    }
    return currentLine();  // the tag's start is no longer in the buffer
}

void kelSaxParser::on_start_document() {
    Chunk c;
    c.event = onDocStart;
    c.line = currentLine();
    chunks.push_back(c);
}

void kelSaxParser::on_end_document() {
    Chunk c;
    c.event = onDocEnd;
    c.line = currentLine();
    chunks.push_back(c);
}

void kelSaxParser::on_start_element(const Glib::ustring& name, const AttributeList& attributes) {
    Chunk c;
    c.event = onElementStart;
    c.element.name = name.raw();
    for (const auto& a : attributes) c.element.attributes.emplace_back(a.name.raw(), a.value.raw());
    c.line = startTagLine();
    chunks.push_back(std::move(c));
}

void kelSaxParser::on_end_element(const Glib::ustring&) {
    Chunk c;
    c.event = onElementEnd;
    c.line = currentLine();
    chunks.push_back(c);
}

void kelSaxParser::on_characters(const Glib::ustring& characters) {
    // Runs made only of blanks and line feeds are layout, not text. Both are
    // single-byte in UTF-8, so a byte test counts the same as a code-point test.
    const std::string& bytes = characters.raw();
    bool layoutOnly = true;
    for (char ch : bytes) {
        if (ch != ' ' && ch != '\n') {
            layoutOnly = false;
            break;
        }
    }
    if (layoutOnly) return;
    Chunk c;
    c.event = onText;
    c.text = bytes;
    c.line = currentLine();
    chunks.push_back(std::move(c));
}

void kelSaxParser::on_comment(const Glib::ustring& text) {
    Chunk c;
    c.event = onText;
    c.text = text.raw();
    c.line = currentLine();
    chunks.push_back(std::move(c));
}

// After a refused external load the parse is stopped; what libxml2 still
// reports is a consequence of the refusal, which has its own message.
void kelSaxParser::on_warning(const Glib::ustring& text) {
    if (refusedLoad) return;
    out_ << "on_warning(): " << text.raw() << std::endl;
}

void kelSaxParser::on_error(const Glib::ustring& text) {
    if (refusedLoad) return;
    // libxml2 sends fatal errors through the error callback too; the error it
    // has just raised carries the level.
    const xmlError* last = xmlGetLastError();
    if (last != nullptr && last->level == XML_ERR_FATAL) {
        on_fatal_error(text);
        return;
    }
    out_ << "on_error(): " << text.raw() << std::endl;
}

void kelSaxParser::on_fatal_error(const Glib::ustring& text) {
    if (refusedLoad) return;
    if (firstFatal.empty()) {
        firstFatal = text.raw();
        while (!firstFatal.empty() && (firstFatal.back() == '\n' || firstFatal.back() == ' ')) firstFatal.pop_back();
        firstFatalLine = currentLine();
    }
    out_ << "on_fatal_error(): " << text.raw() << std::endl;
}

void kelSaxParser::refuseLoad(const char* url) {
    if (refusedLoad) return;
    refusedLoad = true;
    refusedUrl = url != nullptr ? url : "";
    refusedLine = context_ != nullptr && context_->input != nullptr ? context_->input->line : 0;
    if (context_ != nullptr) xmlStopParser(context_);
}

// ---------------------------------------------------------------- attributes

std::string findAttribute(const Chunk& chunk, const std::string& name) {
    for (const auto& attribute : chunk.element.attributes) {
        if (attribute.first == name) return attribute.second;
    }
    return kMissingField;
}

int loadAttributes(const Chunk& chunk, const AttributeBinding* table, std::size_t count, std::ostream& err) {
    for (std::size_t i = 0; i < count; ++i) {
        const AttributeBinding& row = table[i];
        const std::string text = findAttribute(chunk, row.attribute);
        ValueKind kind = row.kind;
        if (kind == vkOptionalFlag || kind == vkOptionalString) {
            // Left out is no mistake: no message, the field keeps its default.
            if (text == kMissingField) continue;
            kind = kind == vkOptionalFlag ? vkFlag : vkString;
        }
        switch (kind) {
        case vkInteger:
            // atoll's reading; out-of-range texts saturate instead of being undefined.
            *static_cast<std::int64_t*>(row.target) = std::strtoll(text.c_str(), nullptr, 10);
            break;
        case vkString:
            *static_cast<std::string*>(row.target) = text;
            break;
        case vkFlag:
            if (text == "true") {
                *static_cast<bool*>(row.target) = true;
            } else if (text == "false") {
                *static_cast<bool*>(row.target) = false;
            } else {
                // "ccloader:29" is a frozen tag, matched as it is by users' scripts.
                err << "unexpected value '" << text << "' at " << "ccloader" << ":" << 29 << std::endl;
            }
            break;
        case vkOptionalFlag:
        case vkOptionalString:
            break;  // mapped above
        }
    }
    return 0;
}

// ---------------------------------------------------------------- loaders

int stringLoader(std::vector<std::string>& out, ChunkList& list, std::ostream& err) {
    Chunk c = list.getChunk();
    check(onElementStart == c.event, "onElementStart == chunk.event", "stringLoader", 214, err);
    c = list.getChunk();
    if (c.event == onText) {
        out.push_back(c.text);
        c = list.getChunk();
        check(onElementEnd == c.event, "onElementEnd == chunk.event", "stringLoader", 224, err);
    }
    return 0;
}

int exprLoader(Expr& expr, ChunkList& list, std::ostream& err) {
    Chunk c = list.getChunk();
    check("expr" == c.element.name, "\"expr\" == chunk.element.name", "exprLoader", 240, err);
    const AttributeBinding table[] = {
        {&expr.oper, "oper", vkString},
        {&expr.type, "type", vkString},
        {&expr.value, "value", vkString},
    };
    loadAttributes(c, table, sizeof table / sizeof table[0], err);
    c = list.getChunk();
    check(onElementEnd == c.event, "onElementEnd == chunk.event", "exprLoader", 252, err);
    return 0;
}

int argsLoader(Arg& arg, ChunkList& list, std::ostream& err) {
    Chunk c = list.getChunk();
    check("args" == c.element.name, "\"args\" == chunk.element.name", "argsLoader", 263, err);
    const AttributeBinding table[] = {
        {&arg.type, "type", vkString},
        {&arg.name, "name", vkString},
        {&arg.optional, "optional", vkOptionalFlag},
    };
    loadAttributes(c, table, sizeof table / sizeof table[0], err);
    c = list.getChunk();
    check(onElementEnd == c.event, "onElementEnd == chunk.event", "argsLoader", 274, err);
    return 0;
}

int torLoader(Tor& tor, ChunkList& list, std::ostream& err) {
    Chunk c = list.getChunk();
    check("tor" == c.element.name, "\"tor\" == chunk.element.name", "torLoader", 285, err);
    tor.sourceLine = c.line;
    const AttributeBinding table[] = {
        {&tor.name, "name", vkString},
        {&tor.float_arg_n1, "float_arg_n1", vkInteger},
        {&tor.float_arg_n2, "float_arg_n2", vkInteger},
        {&tor.is_handle_arg_out, "is_handle_arg_out", vkFlag},
        {&tor.handle_arg_out, "handle_arg_out", vkInteger},
        {&tor.cpp_alias, "cpp_alias", vkString},
        {&tor.bad_handle_ok, "bad_handle_ok", vkOptionalFlag},
        {&tor.float_size_expr, "float_size_expr", vkOptionalString},
        // A missing integer reads as 0 (the handle is the argument itself),
        // without a message.
        {&tor.handle_arg_deref, "handle_arg_deref", vkInteger},
        {&tor.traced_if, "traced_if", vkOptionalString},
        {&tor.va_forward, "va_forward", vkOptionalString},
        {&tor.release_tor, "release_tor", vkOptionalString},
        {&tor.release_arg, "release_arg", vkInteger},
        {&tor.release_if, "release_if", vkOptionalString},
        {&tor.c_only, "c_only", vkOptionalFlag},
    };
    loadAttributes(c, table, sizeof table / sizeof table[0], err);

    // The first child is read as a validateDom_before element whatever its name.
    do {
        list.skipTextChunks();
        stringLoader(tor.validateDom_before, list, err);
    } while (isStart(peek(list), "validateDom_before"));

    do {
        list.skipTextChunks();
        Arg arg;
        argsLoader(arg, list, err);
        tor.args.push_back(std::move(arg));
    } while (isStart(peek(list), "args"));

    // The last peek has already consumed the text before the expr.
    Expr expr;
    exprLoader(expr, list, err);
    tor.expr.oper = expr.oper;
    tor.expr.type = expr.type;
    tor.expr.value = expr.value;

    // No text may stand between the expr and the tor's end tag.
    c = list.getChunk();
    check(onElementEnd == c.event, "onElementEnd == chunk.event", "torLoader", 341, err);
    return 0;
}

int domainLoader(Domain& domain, ChunkList& list, std::ostream& err) {
    Chunk c = list.getChunk();
    check("domain" == c.element.name, "\"domain\" == chunk.element.name", "domainLoader", 361, err);
    domain.sourceLine = c.line;
    const AttributeBinding table[] = {
        {&domain.name, "name", vkString},
        {&domain.float_handle, "float_handle", vkFlag},
        {&domain.handle, "handle", vkString},
        {&domain.includesGlobal, "includesGlobal", vkFlag},
        {&domain.untracked_use, "untracked_use", vkOptionalString},
        {&domain.warn_unused, "warn_unused", vkOptionalFlag},
        {&domain.interior, "interior", vkOptionalFlag},
    };
    loadAttributes(c, table, sizeof table / sizeof table[0], err);

    list.skipTextChunks();
    Expr expr;
    exprLoader(expr, list, err);
    domain.expr.oper = expr.oper;
    domain.expr.type = expr.type;
    domain.expr.value = expr.value;

    // The first child after the expr is read as an includes element whatever its name.
    do {
        list.skipTextChunks();
        stringLoader(domain.includes, list, err);
    } while (isStart(peek(list), "includes"));

    do {
        list.skipTextChunks();
        const Chunk start = look(list);
        check(onElementStart == start.event, "onElementStart == chunk.event", "domainLoader", 399, err);
        const std::string type = findAttribute(start, "__type__");
        Tor tor;
        if (type == "allocator") {
            torLoader(tor, list, err);
            domain.allocators.push_back(std::move(tor));
        } else if (type == "deallocator") {
            torLoader(tor, list, err);
            domain.deallocators.push_back(std::move(tor));
        } else if (type == "reallocator") {
            torLoader(tor, list, err);
            domain.reallocators.push_back(std::move(tor));
        } else if (type == "operator") {
            torLoader(tor, list, err);
            domain.operators.push_back(std::move(tor));
        } else {
            err << "Unexpected element '" << type << "' !" << std::endl;
            check(false, "false", "domainLoader", 421, err);
        }
    } while (isStart(peek(list), "tor"));

    c = list.getChunk();
    check(onElementEnd == c.event, "onElementEnd == chunk.event", "domainLoader", 433, err);
    return 0;
}

namespace {

// libxml2 opens every input, the document itself included, through one
// process-wide loader. While a template is parsed, that loader opens the
// template file once and refuses everything after it: an external entity or
// DTD would copy another file's content (or a network reply) into the
// template, and from there into kel.h or template.tmp.
struct ExternalLoadGuard {
    static kelSaxParser* parser;
    static bool documentOpened;
    static xmlExternalEntityLoader previous;

    static xmlParserInputPtr load(const char* url, const char* id, xmlParserCtxtPtr context) {
        // The first input opened is the document itself (under its path, or
        // a canonical form of it when no file has that exact name).
        if (!documentOpened) {
            documentOpened = true;
            return previous(url, id, context);
        }
        if (parser != nullptr) parser->refuseLoad(url != nullptr ? url : id);
        return nullptr;
    }

    explicit ExternalLoadGuard(kelSaxParser& p) {
        parser = &p;
        documentOpened = false;
        previous = xmlGetExternalEntityLoader();
        xmlSetExternalEntityLoader(load);
    }
    ~ExternalLoadGuard() {
        xmlSetExternalEntityLoader(previous);
        parser = nullptr;
    }
    ExternalLoadGuard(const ExternalLoadGuard&) = delete;
    ExternalLoadGuard& operator=(const ExternalLoadGuard&) = delete;
};

kelSaxParser* ExternalLoadGuard::parser = nullptr;
bool ExternalLoadGuard::documentOpened = false;
xmlExternalEntityLoader ExternalLoadGuard::previous = nullptr;

// libxml2 reports what happens before the parse has a context of its own
// (above all a file it cannot open, as "I/O warning : failed to load
// external entity") through its process-wide generic error function, which
// writes to standard error. The load's own failure already says why the file
// cannot be read, so while a template is parsed those lines are dropped; the
// parser's diagnostics proper reach the recorder's callbacks.
class GenericErrorsDropped {
public:
    GenericErrorsDropped() : previous_(xmlGenericError), context_(xmlGenericErrorContext) {
        xmlSetGenericErrorFunc(nullptr, drop);
    }
    ~GenericErrorsDropped() { xmlSetGenericErrorFunc(context_, previous_); }
    GenericErrorsDropped(const GenericErrorsDropped&) = delete;
    GenericErrorsDropped& operator=(const GenericErrorsDropped&) = delete;

private:
    static void drop(void*, const char*, ...) {}
    xmlGenericErrorFunc previous_;
    void* context_;
};

void reportRefusedLoad(const char* path, const kelSaxParser& parser, std::ostream& err) {
    err << visibleText(path) << ":" << parser.refusedLine << ": refused to load external entity or DTD '"
              << visibleText(parser.refusedUrl) << "': a template may only use entities declared inside it"
              << std::endl;
}

}  // namespace

namespace {

// Why the parser rejected the document, in one line. A file that cannot be
// read says so with the system's reason (libxml2 reports it only as an
// empty or unloadable document); otherwise the first fatal error, which
// names the fault (later ones follow from it); else the exception's text.
std::string parseFailure(const char* path, const kelSaxParser* parser, const xmlpp::exception& e) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::strerror(errno);
    struct stat st {};
    const bool directory = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    ::close(fd);
    if (directory) return std::strerror(EISDIR);
    if (parser != nullptr && !parser->firstFatal.empty()) {
        return "line " + std::to_string(parser->firstFatalLine) + ": " + parser->firstFatal;
    }
    std::string what = e.what();
    const auto feed = what.find('\n');
    if (feed != std::string::npos) what.resize(feed);
    return what;
}

}  // namespace

int saxparser_templateLoader(Template& tmpl, const char* path) {
    std::string failure;
    return saxparser_templateLoader(tmpl, path, failure);
}

int saxparser_templateLoader(Template& tmpl, const char* path, std::string& failure) {
    return saxparser_templateLoader(tmpl, path, failure, nullptr);
}

int saxparser_templateLoader(Template& tmpl, const char* path, std::string& failure,
                             const std::function<void(const Domain&)>& onDomain) {
    return saxparser_templateLoader(tmpl, path, failure, std::cout, std::cerr, onDomain);
}

int saxparser_templateLoader(Template& tmpl, const char* path, std::string& failure, std::ostream& out,
                             std::ostream& err, const std::function<void(const Domain&)>& onDomain) {
    ChunkList list;
    // Alive until the parse is over, so that a failure can quote its first fatal error.
    std::unique_ptr<kelSaxParser> recorder;
    try {
        recorder = std::make_unique<kelSaxParser>(out);
        kelSaxParser& parser = *recorder;
        parser.set_substitute_entities(true);
        // No DTD is fetched or validated, and nothing goes to the network,
        // whatever the loader below would allow.
        parser.set_parser_options(XML_PARSE_NONET,
                                  XML_PARSE_DTDLOAD | XML_PARSE_DTDATTR | XML_PARSE_DTDVALID | XML_PARSE_XINCLUDE);
        try {
            ExternalLoadGuard guard(parser);
            GenericErrorsDropped quiet;
            parser.parse_file(path);
        } catch (const xmlpp::exception&) {
            if (!parser.refusedLoad) throw;
        }
        if (parser.refusedLoad) {
            reportRefusedLoad(path, parser, err);
            failure = "refused to load external entity or DTD '" + parser.refusedUrl + "' at line " +
                      std::to_string(parser.refusedLine);
            return -1;
        }
        // The recorder is done with its chunks: move them, a template's worth
        // of events is too much to hold twice.
        list.chunks = std::move(parser.chunks);
        list.index = 0;
        list.length = list.chunks.size();
        recorder.reset();
    } catch (const xmlpp::exception& e) {
        out << "libxml++ exception: " << e.what() << std::endl;
        failure = parseFailure(path, recorder.get(), e);
        return -1;
    }

    try {
        Chunk c = list.getChunk();
        check(onDocStart == c.event, "onDocStart == chunk.event", "saxparser_templateLoader", 454, err);

        // The root: neither its kind nor its name is tested.
        c = list.getChunk();
        const AttributeBinding table[] = {
            {&tmpl.name, "name", vkString},
            {&tmpl.prefix, "prefix", vkString},
            {&tmpl.errlogmode, "errlogmode", vkString},
            {&tmpl.trap_on_io_err, "trap_on_io_err", vkFlag},
            {&tmpl.remote_mode, "remote_mode", vkFlag},
            {&tmpl.force_flush, "force_flush", vkFlag},
            {&tmpl.fork_enabled, "fork_enabled", vkFlag},
            {&tmpl.multithreaded, "multithreaded", vkFlag},
            {&tmpl.threading, "threading", vkString},
            {&tmpl.compiler_type, "compiler_type", vkString},
            {&tmpl.trace_target, "trace_target", vkString},
            {&tmpl.trace_per_process, "trace_per_process", vkOptionalFlag},
            {&tmpl.auto_start, "auto_start", vkOptionalFlag},
            {&tmpl.buffered_records, "buffered_records", vkOptionalFlag},
            {&tmpl.gnu_source, "gnu_source", vkOptionalFlag},
            {&tmpl.link_wrap, "link_wrap", vkOptionalFlag},
            {&tmpl.mapped_records, "mapped_records", vkOptionalFlag},
        };
        loadAttributes(c, table, sizeof table / sizeof table[0], err);

        do {
            list.skipTextChunks();
            Domain domain;
            domainLoader(domain, list, err);
            if (onDomain)
                onDomain(domain);
            else
                tmpl.domains.push_back(std::move(domain));
        } while (isStart(peek(list), "domain"));

        c = list.getChunk();
        check(onElementEnd == c.event, "onElementEnd == chunk.event", "saxparser_templateLoader", 496, err);
    } catch (const StructureError& e) {
        const std::int64_t line = list.index > 0 ? list.chunks[static_cast<std::size_t>(list.index - 1)].line : 0;
        failure = std::string("the document's structure: '") + e.condition + "' does not hold in " + e.function +
                  ", near line " + std::to_string(line);
        return -1;
    }
    return 0;
}
