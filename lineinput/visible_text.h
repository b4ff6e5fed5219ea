// Quoting of untrusted text (trace lines, template values, file names) in
// messages, so that a terminal shows what the bytes are instead of acting on
// them: a carriage return at the end of a line must not make it look as if it
// matched. Used by both programs' messages.
#pragma once

#include <string>
#include <string_view>

// The text with "\r", "\n" and "\t" for those control characters, and "\xNN"
// (upper-case hex) for every other control byte (0x00-0x1F, 0x7F), for the
// C1 controls written in UTF-8 (C2 80 to C2 9F) and for every byte that is not
// part of a well-formed UTF-8 sequence. Printable ASCII, backslash included,
// and well-formed UTF-8 pass unchanged.
std::string visibleText(std::string_view text);

// Length of the well-formed UTF-8 sequence that starts at text[i] (2 to 4
// bytes), or 0 when none starts there (ASCII, a stray continuation byte, an
// overlong form, a surrogate, a code point past U+10FFFF, a cut sequence).
std::size_t utf8SequenceLength(std::string_view text, std::size_t i);  // i < text.size()
