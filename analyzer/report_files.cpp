#include "report_files.h"


#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "atomic_file.h"
#include "kel_version.h"
#include "report_json.h"
#include "utils_numeric.h"

namespace {

using reportjson::dumped;
using reportjson::json;
using reportjson::summaryValue;

// A line as traced is text; a plain decimal one is written as a number.
json lineValue(const std::string& line) {
    if (!line.empty() && line.size() <= 9 && line.find_first_not_of("0123456789") == std::string::npos) {
        return std::stoul(line);
    }
    return line;
}

json siteValue(const Report& report, const Report::Site& site) {
    return json{{"file", report.text(site.file)}, {"line", lineValue(report.text(site.line))}};
}

// Everything of a JSON object but its closing brace, so that a large array
// can follow it element by element instead of as one tree in memory.
std::string openObject(const json& object) {
    std::string text = dumped(object);
    text.pop_back();
    return text;
}

// The traces of a report over many, for the JSON and SARIF files.
json tracesValue(const ReportContext& context) {
    json list = json::array();
    for (const TraceSummary& t : context.traces) {
        list.push_back(json{{"trace", t.trace},
                            {"template", t.templateName},
                            {"complete", !t.incomplete},
                            {"note", t.note.empty() ? json() : json(t.note)}});
    }
    return list;
}

// What the report files say of how the analysis ended; nothing for a single
// trace read completely and closed.
void addOutcome(json& object, const ReportContext& context) {
    if (!context.traces.empty()) {
        object["incomplete"] = context.incomplete;
        object["note"] = context.note.empty() ? json() : json(context.note);
        object["traces"] = tracesValue(context);
    } else if (!context.note.empty()) {
        object["incomplete"] = context.incomplete;
        object["note"] = context.note;
    }
}

// A text for a report over many traces: the one trace's name, and how many
// traces had the group.
json groupTraces(const Report& report, const Report::Group& g) {
    return json{{"traces", g.traces}, {"first_trace", report.text(g.firstTrace)}};
}

}  // namespace

void writeJson(std::ostream& out, const Report& report, const ReportContext& context) {
    const std::vector<const Report::Group*> groups = report.sortedGroups();
    json head;
    head["tool"] = json{{"name", "keltrace"}, {"version", keltraceVersion()}};
    head["template"] = context.templateName;
    head["trace"] = context.traces.empty() ? json(context.trace) : json();
    json summary = summaryValue(report);
    summary["groups"] = groups.size();
    head["summary"] = summary;
    head["max_occurrences"] = report.settings().maxOccurrences;
    addOutcome(head, context);
    out << openObject(head) << ",\"findings\":[";
    bool firstGroup = true;
    for (const Report::Group* g : groups) {
        const FindingKindInfo& info = findingInfo(g->kind);
        json entry;
        entry["kind"] = info.id;
        entry["severity"] = severityName(info.severity);
        entry["domain"] = g->domain == Report::kNone ? json() : json(report.text(g->domain));
        entry["tor"] = g->tor == Report::kNone ? json() : json(report.text(g->tor));
        entry["site"] = g->site.file == Report::kNone ? json() : siteValue(report, g->site);
        entry["count"] = g->count;
        entry["bytes"] = g->bytes;
        entry["suppressed"] = g->suppressed;
        entry["occurrences_omitted"] = g->count - g->occurrences.size();
        if (report.traceCount() > 0) entry.update(groupTraces(report, *g));
        out << (firstGroup ? "" : ",") << openObject(entry) << ",\"occurrences\":[";
        firstGroup = false;
        bool firstOccurrence = true;
        for (const Report::Occurrence& o : g->occurrences) {
            json item;
            if (o.hasHandle) item["handle"] = "0x" + toHex16(o.handle);
            if (o.call.file != Report::kNone) item["call"] = siteValue(report, o.call);
            if (o.allocated.file != Report::kNone) item["allocated"] = siteValue(report, o.allocated);
            if (o.deallocated.file != Report::kNone) item["deallocated"] = siteValue(report, o.deallocated);
            item["bytes"] = o.bytes;
            if (o.trace != Report::kNone) item["trace"] = report.text(o.trace);
            out << (firstOccurrence ? "" : ",") << dumped(item);
            firstOccurrence = false;
        }
        out << "]}";
    }
    out << "]}\n";
}

void writeSarif(std::ostream& out, const Report& report, const ReportContext& context) {
    json rules = json::array();
    for (std::size_t i = 0; i < kFindingKindCount; ++i) {
        const FindingKindInfo& info = kFindingKinds[i];
        rules.push_back(json{{"id", info.id},
                             {"shortDescription", {{"text", info.description}}},
                             {"defaultConfiguration", {{"level", severityName(info.severity)}}}});
    }
    json log;
    log["$schema"] = "https://docs.oasis-open.org/sarif/sarif/v2.1.0/errata01/os/schemas/sarif-schema-2.1.0.json";
    log["version"] = "2.1.0";
    json run;
    run["tool"] = {{"driver", {{"name", "keltrace"}, {"version", keltraceVersion()}, {"rules", rules}}}};
    run["properties"] = {{"template", context.templateName},
                         {"trace", context.traces.empty() ? json(context.trace) : json()},
                         {"summary", summaryValue(report)}};
    addOutcome(run["properties"], context);
    if (!context.traces.empty() || !context.note.empty()) {
        // A replay that stopped early did not do what it was asked: the
        // findings may miss errors in the records it did not read.
        json notifications = json::array();
        auto notify = [&](bool incomplete, const std::string& text) {
            notifications.push_back(json{{"level", incomplete ? "error" : "note"}, {"message", {{"text", text}}}});
        };
        if (context.traces.empty()) notify(context.incomplete, context.note);
        for (const TraceSummary& t : context.traces)
            if (!t.note.empty()) notify(t.incomplete, t.trace + ": " + t.note);
        json invocation{{"executionSuccessful", !context.incomplete}};
        if (!notifications.empty()) invocation["toolExecutionNotifications"] = notifications;
        run["invocations"] = json::array({invocation});
    }
    run["results"] = json::array();
    log["runs"] = json::array({run});
    // The results come last and are written one by one: a trace can have
    // many thousands of sites.
    std::string head = dumped(log);
    const std::string tail = "]}]}";
    head.erase(head.size() - tail.size());
    out << head;
    bool first = true;
    for (const Report::Group* g : report.sortedGroups()) {
        const FindingKindInfo& info = findingInfo(g->kind);
        std::string where;
        if (g->domain != Report::kNone) where = report.text(g->domain) + ":";
        if (g->tor != Report::kNone) where += report.text(g->tor);
        std::string message = std::string(info.description) + " (" + where + "), " + std::to_string(g->count) +
                              (g->count == 1 ? " time" : " times");
        if (g->kind == FindingKind::leak && g->sized) message += ", " + std::to_string(g->bytes) + " bytes";
        json result{{"ruleId", info.id},
                    {"ruleIndex", static_cast<std::size_t>(g->kind)},
                    {"level", severityName(info.severity)},
                    {"message", {{"text", message}}}};
        if (g->site.file != Report::kNone) {
            json location{{"artifactLocation", {{"uri", report.text(g->site.file)}}}};
            const json line = lineValue(report.text(g->site.line));
            if (line.is_number() && line.get<unsigned long>() >= 1) location["region"] = {{"startLine", line}};
            result["locations"] = json::array({json{{"physicalLocation", location}}});
        }
        result["occurrenceCount"] = g->count;
        result["properties"] = {{"domain", g->domain == Report::kNone ? json() : json(report.text(g->domain))},
                                {"tor", g->tor == Report::kNone ? json() : json(report.text(g->tor))},
                                {"bytes", g->bytes}};
        if (report.traceCount() > 0) result["properties"].update(groupTraces(report, *g));
        if (g->suppressed) {
            result["suppressions"] =
                json::array({json{{"kind", "external"}, {"justification", "matched a keltrace suppressions rule"}}});
        }
        out << (first ? "" : ",") << dumped(result);
        first = false;
    }
    out << tail << "\n";
}

bool writeFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                         std::ostream& err) {
    auto fail = [&](int reason) {
        err << "keltrace: cannot write '" << path << "': " << std::strerror(reason) << std::endl;
        return false;
    };
    AtomicFile file;
    if (const int error = file.create(path)) return fail(error);
    {
        std::ofstream out(file.tempPath(), std::ios::binary | std::ios::trunc);
        if (out) write(out);
        out.close();
        if (!out) return fail(errno != 0 ? errno : EIO);
    }
    if (const int error = file.commit()) return fail(error);
    return true;
}
