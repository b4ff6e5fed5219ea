#include "report.h"

#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "same_text.h"

namespace {

std::string trim(const std::string& s) {
    const std::size_t from = s.find_first_not_of(" \t\r");
    if (from == std::string::npos) return "";
    const std::size_t to = s.find_last_not_of(" \t\r");
    return s.substr(from, to - from + 1);
}

const char* plural(std::uint64_t n, const char* one, const char* many) { return n == 1 ? one : many; }

bool matches(const std::string& pattern, const std::string& subject) {
    return fnmatch(pattern.c_str(), subject.c_str(), 0) == 0;
}

}  // namespace

bool readSuppressions(const std::string& path, std::vector<SuppressionRule>& rules, std::string& problem) {
    std::ifstream in(path);
    if (!in) {
        problem = "keltrace: cannot read suppressions file '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::string text;
    for (std::size_t number = 1; std::getline(in, text); ++number) {
        // "#" starts a comment anywhere on the line; blanks around a rule do not count.
        const std::size_t hash = text.find('#');
        if (hash != std::string::npos) text.erase(hash);
        text = trim(text);
        if (text.empty()) continue;
        const std::string where = "keltrace: " + path + ":" + std::to_string(number) + ": ";
        const std::size_t colon = text.find(':');
        if (colon == std::string::npos) {
            problem = where + "'" + text + "' is not a rule of the form kind:pattern";
            return false;
        }
        SuppressionRule rule;
        const std::string kind = trim(text.substr(0, colon));
        rule.pattern = trim(text.substr(colon + 1));
        if (kind == "*") {
            rule.anyKind = true;
        } else if (!findingKindById(kind, rule.kind)) {
            problem = where + "unknown finding kind '" + kind + "'";
            return false;
        }
        if (rule.pattern.empty()) {
            problem = where + "the rule '" + text + "' has no pattern after its kind";
            return false;
        }
        rules.push_back(std::move(rule));
    }
    if (in.bad()) {
        problem = "keltrace: cannot read suppressions file '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

std::size_t Report::GroupKeyHash::operator()(const GroupKey& k) const {
    std::uint64_t h = (std::uint64_t(k.domain) << 32) ^ k.tor;
    h = h * 0x9E3779B97F4A7C15ull ^ ((std::uint64_t(k.file) << 32) | k.line);
    h = h * 0x9E3779B97F4A7C15ull ^ (std::uint64_t(k.kind) << 1 | k.suppressed);
    return static_cast<std::size_t>(h ^ (h >> 29));
}

Report::Report(std::ostream& out, ReportSettings settings) : out_(out), settings_(std::move(settings)) {
    if (settings_.group || settings_.keepOccurrences) settings_.keepGroups = true;
    // A block's room at once: a buffer that grew in steps past the allocator's
    // threshold for mapping would leave it keeping larger blocks for good.
    if (settings_.holdLines) lines_.reserve(kHeldBytes + 4096);
}

std::uint32_t Report::intern(const std::string& text) {
    auto found = ids_.find(text);
    if (found != ids_.end()) return found->second;
    const std::uint32_t id = static_cast<std::uint32_t>(texts_.size());
    auto placed = ids_.emplace(text, id).first;
    texts_.push_back(&placed->first);
    return id;
}

std::uint32_t Report::torId(const std::string& name) {
    // A template has few tors: a short scan beats hashing every record's name.
    for (const auto& [text, id] : torCache_)
        if (sameText(*text, name)) return id;
    const std::uint32_t id = intern(name);
    torCache_.emplace_back(texts_[id], id);
    return id;
}

Report::Site Report::internSite(const CallSite* site) {
    if (!site) return {};
    return {intern(site->file), intern(site->line)};
}

bool Report::suppressed(const Finding& f) const {
    if (settings_.suppressions.empty()) return false;
    std::string subjects[4];
    std::size_t n = 0;
    subjects[n++] = f.domain ? *f.domain + ":" + (f.tor ? *f.tor : "") : (f.tor ? *f.tor : "");
    for (const CallSite* s : {f.call, f.allocated, f.deallocated})
        if (s) subjects[n++] = s->file + ":" + s->line;
    for (const SuppressionRule& rule : settings_.suppressions) {
        if (!rule.anyKind && rule.kind != f.kind) continue;
        for (std::size_t i = 0; i < n; ++i)
            if (matches(rule.pattern, subjects[i])) return true;
    }
    return false;
}

bool Report::record(const Finding& f) {
    const FindingKindInfo& info = findingInfo(f.kind);
    const bool hidden = suppressed(f);
    last_ = f.kind;
    hasLast_ = true;
    if (hidden) {
        ++totals_.suppressed;
    } else if (info.severity == Severity::error) {
        ++totals_.errors;
        if (f.kind == FindingKind::leak) {
            ++totals_.leaks;
            totals_.bytesLeaked += f.bytes;
        }
    } else {
        ++totals_.warnings;
    }
    if (settings_.keepGroups) {
        const std::uint32_t domain = f.domain ? intern(*f.domain) : kNone;
        const std::uint32_t tor = f.tor ? intern(*f.tor) : kNone;
        const Site call = internSite(f.call);
        const Site allocated = internSite(f.allocated);
        const Site site = f.kind == FindingKind::leak ? allocated : call;
        const GroupKey key{domain, tor, site.file, site.line, static_cast<unsigned char>(f.kind), hidden};
        auto found = groupIndex_.find(key);
        if (found == groupIndex_.end()) {
            found = groupIndex_.emplace(key, groups_.size()).first;
            groups_.push_back(Group{f.kind, hidden, domain, tor, site, 0, 0, f.sized, {}});
        }
        Group& g = groups_[found->second];
        ++g.count;
        g.bytes += f.bytes;
        if (settings_.keepOccurrences &&
            (settings_.maxOccurrences == 0 || g.occurrences.size() < settings_.maxOccurrences)) {
            g.occurrences.push_back(Occurrence{f.handle, f.bytes, call, allocated, internSite(f.deallocated),
                                               f.hasHandle});
        }
    }
    return !hidden && !settings_.group;
}

std::vector<const Report::Group*> Report::sortedGroups() const {
    std::vector<const Group*> sorted;
    sorted.reserve(groups_.size());
    for (const Group& g : groups_) sorted.push_back(&g);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Group* a, const Group* b) { return a->count > b->count; });
    return sorted;
}

void Report::absorb(const Report& trace, const std::string& traceName) {
    const std::uint32_t traceId = intern(traceName);
    ++traces_;
    const Totals& t = trace.totals_;
    totals_.errors += t.errors;
    totals_.warnings += t.warnings;
    totals_.leaks += t.leaks;
    totals_.bytesLeaked += t.bytesLeaked;
    totals_.suppressed += t.suppressed;
    auto text = [&](std::uint32_t id) { return id == kNone ? kNone : intern(trace.text(id)); };
    auto site = [&](const Site& s) { return Site{text(s.file), text(s.line)}; };
    for (const Group& g : trace.groups_) {
        const std::uint32_t domain = text(g.domain), tor = text(g.tor);
        const Site where = site(g.site);
        const GroupKey key{domain, tor, where.file, where.line, static_cast<unsigned char>(g.kind), g.suppressed};
        auto found = groupIndex_.find(key);
        if (found == groupIndex_.end()) {
            found = groupIndex_.emplace(key, groups_.size()).first;
            groups_.push_back(Group{g.kind, g.suppressed, domain, tor, where, 0, 0, g.sized, {}, 0, traceId});
        }
        Group& mine = groups_[found->second];
        mine.count += g.count;
        mine.bytes += g.bytes;
        ++mine.traces;
        for (const Occurrence& o : g.occurrences) {
            if (settings_.maxOccurrences != 0 && mine.occurrences.size() >= settings_.maxOccurrences) break;
            mine.occurrences.push_back(
                Occurrence{o.handle, o.bytes, site(o.call), site(o.allocated), site(o.deallocated), o.hasHandle, traceId});
        }
    }
}

void Report::printGroups(std::ostream& out, const std::string& note) const {
    for (const Group* g : sortedGroups()) {
        if (g->suppressed) continue;
        const FindingKindInfo& info = findingInfo(g->kind);
        // Names and sites come from the trace: quoted visibly, as in the live lines.
        MessageText m;
        m << g->count << " x " << info.id << " (" << severityName(info.severity) << "): ";
        if (g->domain != kNone) m << Quoted{text(g->domain)} << ":";
        if (g->tor != kNone) m << Quoted{text(g->tor)};
        if (g->site.file != kNone) m << " at " << Quoted{text(g->site.file)} << ":" << Quoted{text(g->site.line)};
        if (g->kind == FindingKind::leak && g->sized) m << ", " << g->bytes << plural(g->bytes, " byte", " bytes");
        if (traces_ > 0) {
            m << "; in " << g->traces << " of " << traces_ << plural(traces_, " trace", " traces") << " (first: "
              << Quoted{text(g->firstTrace)} << ")";
        }
        m.writeLine(out);
    }
    printSummary(out, note);
}

void Report::printSummary(std::ostream& out, const std::string& note) const {
    const Totals& t = totals_;
    out << "Summary: " << t.errors << plural(t.errors, " error", " errors") << " (" << t.leaks
        << plural(t.leaks, " leak", " leaks") << ", " << t.bytesLeaked << plural(t.bytesLeaked, " byte", " bytes")
        << " leaked), " << t.warnings << plural(t.warnings, " warning", " warnings") << ", " << t.suppressed
        << " suppressed" << (note.empty() ? "" : "; ") << note << std::endl;
}
