// One helper writes a whole message or output line for both programs:
// pieces joined, then the line end and a flush, so that a line is on its
// stream before anything else happens.
#pragma once

#include <ostream>

template <class... P>
void line(std::ostream& out, const P&... pieces) {
    (out << ... << pieces) << std::endl;
}
