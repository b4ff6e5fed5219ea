// Small helpers the analyzer uses to read the trace's hexadecimal fields and
// to print handles, call sites and handle states in its messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "handle_table.h"

// Reads 1 to 16 upper-case hexadecimal digits. Throws the C strings
// "incoming value is very strange" (empty or too long) and "non xdigit".
std::uint64_t parseHex(const std::string& text);
// The same over the `size` characters at `text`, so a field inside a longer
// line is read without copying it out first.
std::uint64_t parseHex(const char* text, std::size_t size);

// Exactly 16 upper-case digits, zero-padded, no prefix.
std::string toHex16(std::uint64_t value);

// "file:line"; empty when file and line are equal (both empty included).
std::string formatCallSite(const CallSite& site);

// "valid" or "bad".
const char* handleStateName(HandleState state);
