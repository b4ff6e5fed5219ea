// The compiler attributes of the wrappers: a wrapper of a C library function
// is declared with what that function's own declaration tells gcc and clang
// (malloc, alloc_size, nonnull, and gcc's pairing of an allocator with its
// deallocator), so that their checks (-Wuse-after-free, -Wmismatched-dealloc,
// -Warray-bounds, -Wnonnull) see the traced calls as they see the real ones.
// Called by writeHeader; the block is written only when a tor has any.
#pragma once

#include <ostream>

#include "template_reader.h"

void writeAttributes(const Template& t, std::ostream& out);
