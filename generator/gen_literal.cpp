#include "gen_literal.h"

#include "line_fetchers.h"
#include "visible_text.h"

std::string cStringContent(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    char previous = '\0';
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\' || (c == '?' && previous == '?')) {
            out += '\\';
            out += c;
        } else if ((byte >= 0x20 && byte < 0x7F) || c == '\t') {
            out += c;
        } else if (const std::size_t n = byte >= 0x80 ? utf8SequenceLength(text, i) : 0; n != 0) {
            out.append(text.substr(i, n));
            i += n;
            previous = '\0';
            continue;
        } else {
            // Always three digits: a digit that follows cannot extend the escape.
            out += '\\';
            out += static_cast<char>('0' + (byte >> 6));
            out += static_cast<char>('0' + ((byte >> 3) & 7));
            out += static_cast<char>('0' + (byte & 7));
        }
        previous = c;
        ++i;
    }
    return out;
}

std::string cStringLiteral(std::string_view text) { return "\"" + cStringContent(text) + "\""; }

std::string commentText(std::string_view text) {
    const std::string visible = visibleText(text);
    std::string out;
    out.reserve(visible.size());
    for (char c : visible) {
        if (!out.empty() && ((c == '/' && out.back() == '*') || (c == '*' && out.back() == '/'))) out += ' ';
        out += c;
    }
    return out;
}

bool isCIdentifier(std::string_view text) {
    if (text.empty() || (text[0] >= '0' && text[0] <= '9')) return false;
    for (char c : text) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && c != '_' && !(c >= '0' && c <= '9')) return false;
    }
    return true;
}

void forEachTemplateBlockLine(const char* templatePath, const std::function<void(const std::string&)>& visit) {
    CFileLineFetcher fetcher;
    fetcher.attach(templatePath);
    std::string text;
    for (;;) {
        try {
            fetcher.getLine(text);
        } catch (...) {
            return;
        }
        // A CRLF template must give the same trace lines as an LF one.
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty()) continue;
        visit(text);
    }
}
