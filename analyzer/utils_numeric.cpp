#include "utils_numeric.h"

#include "trace_protocol.h"

std::uint64_t parseHex(const std::string& text) {
    if (text.empty() || text.size() > kelproto::kHex16Digits) throw "incoming value is very strange";
    std::uint64_t value = 0;
    for (char c : text) {
        std::uint64_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint64_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint64_t>(c - 'A' + 10);
        } else {
            // Lower case too: the writer only ever produces upper case.
            throw "non xdigit";
        }
        value = (value << 4) | digit;
    }
    return value;
}

std::string toHex16(std::uint64_t value) { return kelproto::hex16(value); }

std::string formatCallSite(const CallSite& site) {
    // An unset site has two equal (empty) strings and prints as nothing.
    if (site.file == site.line) return std::string();
    return site.file + ":" + site.line;
}

const char* handleStateName(HandleState state) { return state == bad ? "bad" : "valid"; }
