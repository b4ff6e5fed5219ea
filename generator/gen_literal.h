// Template text that the generated C carries: as the content of C string
// literals, in the banner comment, and as the template block that kel_start
// writes into every trace. The writers of kel.h and kel.c and the checks in
// gen_checks share these, so that what is checked is what is written.
#pragma once

#include <functional>
#include <string>
#include <string_view>

// The text as the inside of a C string literal whose value is exactly the
// text's bytes: a backslash before '"', '\\' and every '?' that follows a
// '?' (no trigraph can form), a three-digit octal escape for every control
// byte but the tab and for every byte outside well-formed UTF-8; printable
// ASCII, tabs and well-formed UTF-8 stay as they are.
std::string cStringContent(std::string_view text);
// The same between double quotes.
std::string cStringLiteral(std::string_view text);

// The text for a line inside a block comment: unprintable characters shown
// visibly, and a blank put into every "*/" and "/*", which would end the
// comment early or make the compiler warn.
std::string commentText(std::string_view text);

// Letters, digits and '_', not starting with a digit, not empty.
bool isCIdentifier(std::string_view text);

// The template block as a trace carries it: calls visit(line) for each
// non-empty line of the template file, in file order, without a carriage
// return that ends it. Stops where the line reader stops: at the end of the
// file, at a line it cannot read (over 254 characters, a NUL byte), or when
// the file cannot be read.
void forEachTemplateBlockLine(const char* templatePath, const std::function<void(const std::string&)>& visit);
