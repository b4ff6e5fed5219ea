// The call sites of one analysis, each file and line pair stored once: a
// record holds a 4-byte id instead of two strings, and a message takes the
// site's text ready-made. Owned by the TraceAnalysis; the replay interns the
// site of every record it reads.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "handle_table.h"

class SiteTable {
public:
    SiteTable();  // holds the empty site, as kNoSite

    SiteId intern(std::string_view file, std::string_view line);
    // The table's own copy of `file` when one of the sites found last has
    // it, else null: a reader that must keep the file while it reads the
    // line keeps this instead of a copy.
    const std::string* recentFile(std::string_view file) const;

    // The strings as the trace wrote them; stable for the table's life.
    const CallSite& site(SiteId id) const { return entries_[id].site; }
    // The site as messages print it: "file:line", or nothing when file and
    // line are equal; unprintable bytes spelled out (visibleText).
    const std::string& shown(SiteId id) const { return entries_[id].shown; }
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        CallSite site;
        std::string shown;
        std::size_t hash;
    };
    static std::size_t hashOf(std::string_view file, std::string_view line);
    SiteId lookUp(std::string_view file, std::string_view line);
    void grow();

    std::deque<Entry> entries_;
    std::vector<SiteId> slots_;  // open addressing over entries_; kEmpty for none
    // The sites found last, newest first: a program calls its tors from a
    // few places, so comparing with these settles most records unhashed.
    // Each with its entry, which the deque keeps in place.
    struct Recent {
        SiteId id;
        const CallSite* site;
    };
    static constexpr std::size_t kRecent = 4;
    Recent recent_[kRecent] = {};
};
