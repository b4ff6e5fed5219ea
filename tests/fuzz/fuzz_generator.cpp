// kelgen's checks and writers on any template bytes. An input that loads is
// handed to generateFiles, as kelgen's generate form does. When kelgen
// generates, the template block is read back from kel.c the way a C compiler
// reads it (the string literals of kel_start's kel_trace calls, decoded
// here on their own), written out as keltrace writes template.tmp, and
// loaded: it must give a Template equal to the one kel.c was generated from.
// A literal a compiler would read otherwise (a raw line end or control byte,
// a trigraph, a byte outside UTF-8) is a finding too, as is a crash or a
// generation that fails for any reason but a refused template.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "gen_c.h"
#include "template_reader.h"
#include "kelgen_status.h"
#include "visible_text.h"

namespace {

std::string readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool isOctal(char c) { return c >= '0' && c <= '7'; }
bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The value of the C string literal that fills `literal` (the text between
// its quotes), as a C compiler reads it; traps on anything a compiler would
// reject, warn about or read as something else.
std::string decodeLiteral(const std::string& literal, const std::string& wholeLine) {
    std::string value;
    for (std::size_t i = 0; i < literal.size();) {
        const unsigned char byte = static_cast<unsigned char>(literal[i]);
        if (literal[i] == '?' && i + 2 < literal.size() && literal[i + 1] == '?' &&
            std::string("=/'()!<>-").find(literal[i + 2]) != std::string::npos)
            kelfuzz::trap("a trigraph in a template literal", wholeLine);
        if (literal[i] == '"') kelfuzz::trap("an unescaped '\"' in a template literal", wholeLine);
        if (literal[i] != '\\') {
            if (byte < 0x20 && literal[i] != '\t') kelfuzz::trap("a raw control byte in a template literal", wholeLine);
            if (byte == 0x7F) kelfuzz::trap("a raw DEL in a template literal", wholeLine);
            if (byte >= 0x80) {
                const std::size_t n = utf8SequenceLength(literal, i);
                if (n == 0) kelfuzz::trap("a raw byte outside UTF-8 in a template literal", wholeLine);
                value.append(literal, i, n);
                i += n;
                continue;
            }
            value += literal[i++];
            continue;
        }
        if (++i == literal.size()) kelfuzz::trap("a literal that ends in a backslash", wholeLine);
        const char e = literal[i];
        static const std::string simple = "\"\\?'abfnrtv";
        static const std::string meaning = "\"\\?'\a\b\f\n\r\t\v";
        if (const auto k = simple.find(e); k != std::string::npos) {
            value += meaning[k];
            ++i;
        } else if (isOctal(e)) {
            unsigned v = 0;
            for (int digits = 0; digits < 3 && i < literal.size() && isOctal(literal[i]); ++digits, ++i)
                v = v * 8 + static_cast<unsigned>(literal[i] - '0');
            if (v > 0xFF) kelfuzz::trap("an octal escape past a byte", wholeLine);
            value += static_cast<char>(v);
        } else if (e == 'x') {
            ++i;
            unsigned v = 0;
            std::size_t digits = 0;
            for (; i < literal.size() && isHex(literal[i]); ++i, ++digits)
                v = v * 16 + static_cast<unsigned>(std::stoi(std::string(1, literal[i]), nullptr, 16));
            if (digits == 0 || digits > 2) kelfuzz::trap("a hexadecimal escape a compiler reads otherwise", wholeLine);
            value += static_cast<char>(v);
        } else {
            kelfuzz::trap("an unknown escape in a template literal", wholeLine);
        }
    }
    return value;
}

// The template block of kel_start: the lines after the protocol line, each
// a kel_trace call of one literal, up to the atexit call.
std::vector<std::string> templateBlock(const std::string& source) {
    const std::string start = "kel_trace(1, \"KEL PROTOCOL 01\");\n";
    const std::string stop = "kel_retval = atexit(kel_stop);";
    const std::string head = "kel_trace(1, \"";
    const std::string tail = "\");";
    auto at = source.find(start);
    if (at == std::string::npos) kelfuzz::trap("kel.c has no protocol line in kel_start", source);
    at += start.size();
    std::vector<std::string> block;
    for (;;) {
        const auto feed = source.find('\n', at);
        if (feed == std::string::npos) kelfuzz::trap("kel.c ends inside kel_start", source.substr(at));
        const std::string line = source.substr(at, feed - at);
        at = feed + 1;
        if (line == stop) return block;
        if (line.size() < head.size() + tail.size() || line.compare(0, head.size(), head) != 0 ||
            line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
            kelfuzz::trap("a line of the template block is not one kel_trace call", line);
        block.push_back(decodeLiteral(line.substr(head.size(), line.size() - head.size() - tail.size()), line));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelfuzz::enterScratchFolder("generator");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kelfuzz::writeInput("template.xml", std::string(reinterpret_cast<const char*>(data), size));
    Template generated;
    int status = 0;
    std::string messages;
    {
        kelfuzz::CapturedStreams captured;
        if (saxparser_templateLoader(generated, "template.xml") != 0) return 0;
        status = generateFiles(generated, "template.xml", "kel.h", "kel.c");
        messages = captured.out() + captured.err();
    }
    if (status == statusTemplateRejected) return 0;
    if (status != statusOk) kelfuzz::trap("generation failed", "status " + std::to_string(status), messages);

    // template.tmp as keltrace writes it: every trace line of the block with
    // a line feed, through the first "</template>" line.
    std::string copy;
    bool ended = false;
    for (const std::string& line : templateBlock(readFile("kel.c"))) {
        if (line.find('\n') != std::string::npos || line.find('\0') != std::string::npos)
            kelfuzz::trap("a template line the trace cannot carry as one line", line);
        if (line.size() > 254) kelfuzz::trap("a template line longer than keltrace reads", line);
        if (ended) kelfuzz::trap("a trace line after the template block would be taken for a record", line);
        copy += line + "\n";
        ended = line == "</template>";
    }
    if (!ended) kelfuzz::trap("the template block has no \"</template>\" line", copy);
    kelfuzz::writeInput("template.tmp", copy);

    Template readBack;
    std::string readBackMessages;
    int loaded = 0;
    {
        kelfuzz::CapturedStreams captured;
        loaded = saxparser_templateLoader(readBack, "template.tmp");
        readBackMessages = captured.out() + captured.err();
    }
    if (loaded != 0) kelfuzz::trap("the trace's copy of the template does not load", copy, readBackMessages);
    if (!(readBack == generated)) {
        kelfuzz::trap("the trace's copy of the template loads to another template",
                      std::string(reinterpret_cast<const char*>(data), size), copy);
    }
    return 0;
}
