#include "report_html.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <algorithm>
#include <unordered_map>

#include "kel_version.h"
#include "report_json.h"
#include "utils_numeric.h"

namespace {

using reportjson::dumped;
using reportjson::json;

// The texts and sites the page refers to, each written once: a group's
// occurrences repeat the same few file names many times.
class PageTexts {
public:
    explicit PageTexts(const Report& report) : report_(report) {}

    json text(std::uint32_t id) {
        if (id == Report::kNone) return nullptr;
        auto found = textIndex_.find(id);
        if (found == textIndex_.end()) {
            found = textIndex_.emplace(id, static_cast<std::uint32_t>(texts_.size())).first;
            texts_.push_back(report_.text(id));
        }
        return found->second;
    }
    json site(const Report::Site& s) {
        if (s.file == Report::kNone) return nullptr;
        const std::uint64_t key = (std::uint64_t(s.file) << 32) | s.line;
        auto found = siteIndex_.find(key);
        if (found == siteIndex_.end()) {
            found = siteIndex_.emplace(key, static_cast<std::uint32_t>(sites_.size())).first;
            sites_.push_back(json::array({text(s.file), text(s.line)}));
        }
        return found->second;
    }
    const json& texts() const { return texts_; }
    const json& sites() const { return sites_; }

private:
    const Report& report_;
    std::unordered_map<std::uint32_t, std::uint32_t> textIndex_;
    std::unordered_map<std::uint64_t, std::uint32_t> siteIndex_;
    json texts_ = json::array();
    json sites_ = json::array();
};

json rangeArrays(const LiveSampler& live, std::size_t domain, bool bytes) {
    json min = json::array(), max = json::array(), last = json::array();
    for (std::size_t i = 0; i < live.samples(); ++i) {
        const LiveSampler::Range& r = bytes ? live.bytes(i, domain) : live.handles(i, domain);
        min.push_back(r.min);
        max.push_back(r.max);
        last.push_back(r.last);
    }
    return json{{"min", std::move(min)}, {"max", std::move(max)}, {"last", std::move(last)}};
}

json chartValue(const HtmlContext& c) {
    const LiveSampler* live = c.live;
    json domains = json::array();
    for (std::size_t d = 0; d < c.domains.size(); ++d) {
        const bool sized = d < c.sized.size() && c.sized[d];
        json entry{{"name", c.domains[d]}, {"sized", sized}};
        if (live && d < live->domains()) {
            entry["handles"] = rangeArrays(*live, d, false);
            if (sized) entry["bytes"] = rangeArrays(*live, d, true);
        }
        domains.push_back(std::move(entry));
    }
    return json{{"records", live ? live->records() : 0},
                {"width", live ? live->width() : 1},
                {"samples", live ? live->samples() : 0},
                {"domains", std::move(domains)}};
}

}  // namespace

std::string scriptSafeJson(std::string_view text) {
    std::string safe;
    safe.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '<') {
            safe += "\\u003c";
        } else if (c == '>') {
            safe += "\\u003e";
        } else if (c == '&') {
            safe += "\\u0026";
        } else if (c == '\xE2' && i + 2 < text.size() && text[i + 1] == '\x80' &&
                   (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
            safe += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            safe += c;
        }
    }
    return safe;
}

void writeHtml(std::ostream& out, const Report& report, const HtmlContext& c) {
    PageTexts page(report);

    json head;
    head["tool"] = json{{"name", "keltrace"}, {"version", keltraceVersion()}};
    head["template"] = c.names.templateName;
    head["trace"] = c.names.traces.empty() ? json(c.names.trace) : json();
    head["records"] = c.live ? c.live->records() : 0;
    head["summary"] = reportjson::summaryValue(report);
    head["error_exitcode"] = c.errorExitcode != 0 ? json(c.errorExitcode) : json();
    head["leak_report"] = c.leakReport;
    // How the analysis ended, only when there is something to say (as in
    // the JSON file): a complete run of one trace has no such keys.
    if (!c.names.traces.empty() || !c.names.note.empty()) {
        head["incomplete"] = c.names.incomplete;
        head["note"] = c.names.note.empty() ? json() : json(c.names.note);
    }
    if (!c.names.traces.empty()) {
        json traces = json::array();
        for (const TraceSummary& one : c.names.traces)
            traces.push_back(json{{"trace", one.trace}, {"note", one.note.empty() ? json() : json(one.note)}});
        head["traces"] = std::move(traces);
    }
    head["occurrence_cap"] = c.occurrences;
    json kinds = json::array();
    for (std::size_t i = 0; i < kFindingKindCount; ++i) {
        const FindingKindInfo& k = kFindingKinds[i];
        kinds.push_back(json{{"id", k.id}, {"severity", severityName(k.severity)}, {"description", k.description}});
    }
    head["kinds"] = std::move(kinds);
    head["chart"] = chartValue(c);

    out << "<!DOCTYPE html>\n"
           "<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           // Nothing outside this file may load, whatever the data says.
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
           "style-src 'unsafe-inline'; script-src 'unsafe-inline'\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>keltrace report</title>\n<style>\n"
        << kReportPageCss
        << "</style>\n</head>\n<body>\n"
           "<noscript><p>This report draws its summary, chart and tables with JavaScript: allow scripts for this "
           "file to see it.</p></noscript>\n"
           "<main id=\"report\"></main>\n"
           "<script type=\"application/json\" id=\"kel-data\">";

    // The data object, with the groups written one by one.
    std::string text = dumped(head);
    text.pop_back();
    out << scriptSafeJson(text) << ",\"groups\":[";
    bool first = true;
    for (const Report::Group* g : report.sortedGroups()) {
        json occurrences = json::array();
        const std::size_t shown = std::min(g->occurrences.size(), c.occurrences);
        for (std::size_t i = 0; i < shown; ++i) {
            const Report::Occurrence& o = g->occurrences[i];
            occurrences.push_back(json::array({o.hasHandle ? json("0x" + toHex16(o.handle)) : json(),
                                               page.site(o.call), page.site(o.allocated), page.site(o.deallocated),
                                               o.bytes}));
        }
        json entry{{"kind", static_cast<std::size_t>(g->kind)},
                   {"suppressed", g->suppressed},
                   {"domain", page.text(g->domain)},
                   {"tor", page.text(g->tor)},
                   {"site", page.site(g->site)},
                   {"count", g->count},
                   {"bytes", g->bytes},
                   {"sized", g->sized},
                   {"occurrences", std::move(occurrences)}};
        out << (first ? "" : ",") << scriptSafeJson(dumped(entry));
        first = false;
    }
    out << "],\"strings\":" << scriptSafeJson(dumped(page.texts())) << ",\"sites\":" << dumped(page.sites())
        << "}</script>\n<script>\n"
        << kReportPageJs << "</script>\n</body>\n</html>\n";
}
