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

// kel.h's nonnull promise reaches kel.c's own wrapper definitions when kel.c
// is compiled with kel.h forced in front (-include kel.h in a project's
// CFLAGS), and gcc then folds the wrappers' NULL tests away: a NULL argument
// would be recorded as a valid handle. Each promised parameter is passed
// through an empty asm at the top of the wrapper, which gcc cannot see
// through. Writes nothing for a wrapper without nonnull parameters.
void writeNonnullBarriers(const Template& t, const Tor& tor, std::ostream& out);
