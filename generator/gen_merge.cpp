#include "gen_merge.h"

#include <fstream>
#include <map>
#include <sstream>

#include "gen_settings.h"
#include "template_reader.h"
#include "kelgen_status.h"

namespace {

bool readText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

// Past the markup that may come before the root: the XML declaration,
// processing instructions, comments and a document type declaration (with
// its internal subset).
std::size_t skipProlog(const std::string& text, std::size_t at) {
    for (;;) {
        at = text.find_first_not_of(" \t\r\n", at);
        if (at == std::string::npos) return at;
        std::string end;
        if (text.compare(at, 2, "<?") == 0)
            end = "?>";
        else if (text.compare(at, 4, "<!--") == 0)
            end = "-->";
        else if (text.compare(at, 9, "<!DOCTYPE") == 0) {
            const std::size_t subset = text.find_first_of("[>", at);
            if (subset == std::string::npos) return subset;
            if (text[subset] == '[') {
                const std::size_t close = text.find("]", subset);
                if (close == std::string::npos) return close;
                at = text.find('>', close);
                if (at == std::string::npos) return at;
                ++at;
                continue;
            }
            at = subset + 1;
            continue;
        } else
            return at;
        const std::size_t close = text.find(end, at);
        if (close == std::string::npos) return close;
        at = close + end.size();
    }
}

// The position just after the '>' that ends the start tag at `at`; quoted
// attribute values may hold '>'.
std::size_t endOfStartTag(const std::string& text, std::size_t at) {
    char quote = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return at + 1;
        }
    }
    return std::string::npos;
}

// The root start tag with its name attribute's value replaced.
std::string renamed(const std::string& startTag, const std::string& name) {
    for (std::size_t at = startTag.find("name"); at != std::string::npos; at = startTag.find("name", at + 4)) {
        if (at == 0 || (startTag[at - 1] != ' ' && startTag[at - 1] != '\t' && startTag[at - 1] != '\n' &&
                        startTag[at - 1] != '\r'))
            continue;
        std::size_t eq = startTag.find_first_not_of(" \t\r\n", at + 4);
        if (eq == std::string::npos || startTag[eq] != '=') continue;
        const std::size_t open = startTag.find_first_not_of(" \t\r\n", eq + 1);
        if (open == std::string::npos || (startTag[open] != '"' && startTag[open] != '\'')) continue;
        const std::size_t close = startTag.find(startTag[open], open + 1);
        if (close == std::string::npos) break;
        return startTag.substr(0, open + 1) + name + startTag.substr(close);
    }
    return startTag;
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* flag(bool value) { return value ? "true" : "false"; }

// The settings that change how the traced program runs: a later template
// that wants another value is told that the first one's stays.
void noteOtherSettings(const Template& first, const std::string& firstPath, const Template& t,
                       const std::string& path, std::ostream& err) {
    const std::pair<const char*, std::pair<std::string, std::string>> settings[] = {
        {"multithreaded", {flag(first.multithreaded), flag(t.multithreaded)}},
        {"threading", {first.threading, t.threading}},
        {"remote_mode", {flag(first.remote_mode), flag(t.remote_mode)}},
        {"force_flush", {flag(first.force_flush), flag(t.force_flush)}},
        {"fork_enabled", {flag(first.fork_enabled), flag(t.fork_enabled)}},
        {"compiler_type", {first.compiler_type, t.compiler_type}},
    };
    for (const auto& [name, values] : settings)
        if (values.first != values.second)
            err << "kelgen: note: " << path << " sets " << name << "=\"" << values.second
                << "\"; the merged template keeps \"" << values.first << "\" from " << firstPath << std::endl;
}

}  // namespace

bool splitTemplateText(const std::string& text, std::string& beforeClosing, std::size_t& contentStart) {
    const std::size_t root = skipProlog(text, 0);
    if (root == std::string::npos || text.compare(root, 9, "<template") != 0) return false;
    contentStart = endOfStartTag(text, root);
    if (contentStart == std::string::npos) return false;
    // The last non-empty line must be exactly "</template>".
    std::size_t end = text.find_last_not_of("\n");
    if (end == std::string::npos) return false;
    const std::size_t lineStart = text.rfind('\n', end);
    const std::size_t from = lineStart == std::string::npos ? 0 : lineStart + 1;
    if (text.substr(from, end + 1 - from) != "</template>" || from < contentStart) return false;
    beforeClosing = text.substr(0, from);
    return true;
}

int mergeTemplates(const std::string& outputPath, const std::vector<std::string>& inputs, std::ostream& err) {
    std::map<std::string, std::string> domainFrom, torFrom;  // name -> template path
    std::string merged, names;
    Template first;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const std::string& path = inputs[i];
        Template t;
        std::string failure;
        if (saxparser_templateLoader(t, path.c_str(), failure) == -1) {
            err << "kelgen: cannot merge " << path << ": " << failure << std::endl;
            return statusLoadFailed;
        }
        for (const Domain& d : t.domains) {
            const auto [at, fresh] = domainFrom.emplace(d.name, path);
            if (!fresh) {
                err << "kelgen: cannot merge " << path << ": its domain '" << d.name << "' is also in "
                    << at->second << std::endl;
                return statusTemplateRejected;
            }
            bool clash = false;
            forEachTorHeaderOrder(d, [&](const Tor& tor) {
                if (clash || isAliased(tor)) return;
                const auto [other, first] = torFrom.emplace(tor.name, path);
                if (!first) {
                    err << "kelgen: cannot merge " << path << ": '" << tor.name << "' is also traced by "
                        << other->second << std::endl;
                    clash = true;
                }
            });
            if (clash) return statusTemplateRejected;
        }
        std::string text, beforeClosing;
        std::size_t contentStart = 0;
        if (!readText(path, text) || !splitTemplateText(text, beforeClosing, contentStart)) {
            err << "kelgen: cannot merge " << path
                << ": its root element must start the document and \"</template>\" stand alone on its last line"
                << std::endl;
            return statusTemplateRejected;
        }
        names += (i == 0 ? "" : "+") + t.name;
        if (i == 0)
            first = t;
        else
            noteOtherSettings(first, inputs[0], t, path, err);
        if (i == 0) {
            merged = beforeClosing;
        } else {
            merged += "  <!-- merged from " + baseName(path) + " -->";
            merged += beforeClosing.substr(contentStart);
        }
    }
    // The root's name says which templates the trace holds.
    std::string unused;
    std::size_t contentStart = 0;
    splitTemplateText(merged + "</template>\n", unused, contentStart);
    const std::size_t root = skipProlog(merged, 0);
    merged = merged.substr(0, root) + renamed(merged.substr(root, contentStart - root), names) +
             merged.substr(contentStart) + "</template>\n";

    std::ofstream out(outputPath, std::ios::binary | std::ios::trunc);
    out << merged;
    out.close();
    if (!out) {
        err << "kelgen: cannot write " << outputPath << std::endl;
        return statusOutputFailed;
    }
    return statusOk;
}
