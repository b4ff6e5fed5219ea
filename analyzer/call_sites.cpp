#include "call_sites.h"

#include <functional>

#include "same_text.h"
#include "utils_numeric.h"
#include "visible_text.h"

namespace {
constexpr SiteId kEmpty = 0xFFFFFFFFu;
}

SiteTable::SiteTable() : slots_(64, kEmpty) {
    lookUp({}, {});
    for (Recent& r : recent_) r = Recent{kNoSite, &entries_[kNoSite].site};
}

std::size_t SiteTable::hashOf(std::string_view file, std::string_view line) {
    const std::size_t h = std::hash<std::string_view>()(file);
    return (h * 0x9E3779B97F4A7C15ull) ^ std::hash<std::string_view>()(line);
}

SiteId SiteTable::intern(std::string_view file, std::string_view line) {
    for (std::size_t i = 0; i < kRecent; ++i) {
        const Recent hit = recent_[i];
        const CallSite& site = *hit.site;
        // The file is often the table's own copy (recentFile): no need to compare it then.
        const bool sameFile = (site.file.data() == file.data() && site.file.size() == file.size()) || sameText(site.file, file);
        if (sameText(site.line, line) && sameFile) {
            // Moved to the front, so that the sites of a loop stay in reach.
            for (; i > 0; --i) recent_[i] = recent_[i - 1];
            recent_[0] = hit;
            return hit.id;
        }
    }
    const SiteId id = lookUp(file, line);
    for (std::size_t i = kRecent - 1; i > 0; --i) recent_[i] = recent_[i - 1];
    recent_[0] = Recent{id, &entries_[id].site};
    return id;
}

const std::string* SiteTable::recentFile(std::string_view file) const {
    for (const Recent& hit : recent_) {
        const std::string& known = hit.site->file;
        if (sameText(known, file)) return &known;
    }
    return nullptr;
}

SiteId SiteTable::lookUp(std::string_view file, std::string_view line) {
    const std::size_t hash = hashOf(file, line);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const SiteId id = slots_[i];
        if (id == kEmpty) break;
        const Entry& e = entries_[id];
        if (e.hash == hash && e.site.file == file && e.site.line == line) return id;
    }
    const SiteId id = static_cast<SiteId>(entries_.size());
    CallSite site{std::string(file), std::string(line)};
    std::string shown = site.file == site.line ? std::string() : visibleText(file) + ":" + visibleText(line);
    entries_.push_back(Entry{std::move(site), std::move(shown), hash});
    if (entries_.size() * 2 > slots_.size()) {
        grow();
    } else {
        std::size_t i = hash & mask;
        while (slots_[i] != kEmpty) i = (i + 1) & mask;
        slots_[i] = id;
    }
    return id;
}

void SiteTable::grow() {
    slots_.assign(slots_.size() * 2, kEmpty);
    const std::size_t mask = slots_.size() - 1;
    for (SiteId id = 0; id < entries_.size(); ++id) {
        std::size_t i = entries_[id].hash & mask;
        while (slots_[i] != kEmpty) i = (i + 1) & mask;
        slots_[i] = id;
    }
}
