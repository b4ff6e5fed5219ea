// The texts keltrace must keep byte for byte: the findings' messages, the
// complaints of the record reader about a malformed record, and the
// "tracer:NNN" tags some of them carry. Stored reports, users' scripts and
// suppression files match these texts, and the tags name places that users
// quote in their reports; a change here breaks them silently. Never edit,
// reword or renumber a text; a new message gets a new constant.
//
// Each message is written out in full above its pieces, with its values in
// capitals: H a handle (16 hex digits), D a domain, T a tor, S a call site
// (file:line), N a number or trace line, X a line's text as read.
#pragma once

#include <string_view>

namespace frozen {

using Text = std::string_view;

// Pieces that many messages share.
constexpr Text by = " by ";
constexpr Text at = " at ";
constexpr Text usedBy = " used by ";
constexpr Text torSeparator = ":";  // D:T and file:line

// ------------------------------------------------------------ tags

namespace tag {
constexpr Text releaseChunks = "tracer:476";      // a deallocator's handle line without three chunks
constexpr Text releaseVerdict = "tracer:467";     // ... whose verdict is neither OK nor BAD
constexpr Text operatorFormat = "tracer:376";     // an operator's handle line without three chunks
constexpr Text operatorDomain = "tracer:357";     // ... naming no domain
constexpr Text operatorVerdict = "tracer:365";    // ... whose verdict is neither OK nor BAD
constexpr Text reallocSize = "tracer:626";        // a reallocator's size line not 16 digits
constexpr Text reallocFromBad = "tracer:671";     // the handle line of a reallocation from BAD
constexpr Text reallocNotSupported = "tracer:686";
constexpr Text reallocVerdict = "tracer:695";     // an old handle neither OK nor BAD
constexpr Text deallocatorState = "tracer:440";   // a record state outside the three, on release
constexpr Text leakState = "tracer:825";          // ... in the leak report
}  // namespace tag

// ------------------------------------------------------------ findings

// Warning: allocation zero bytes by D:T at S
constexpr Text zeroAlloc = "Warning: allocation zero bytes by ";

// Error: allocated handle 0xH from 'D' at S marked as already allocated at: S S...
namespace alreadyAllocated {
constexpr Text head = "Error: allocated handle 0x";
constexpr Text from = " from '";
constexpr Text at = "' at ";
constexpr Text marked = " marked as already allocated at:";
}  // namespace alreadyAllocated

// Warning: deallocation of resource 0xH by D:T at S while allocated at S which never operated.
namespace neverUsed {
constexpr Text head = "Warning: deallocation of resource 0x";
constexpr Text allocatedAt = " while allocated at ";
constexpr Text tail = " which never operated.";
}  // namespace neverUsed

// Error: deallocation of address 0xH by D:T at S, which is inside resource 0xH at offset N, allocated at S
//   [and deallocated at S]
namespace freeInterior {
constexpr Text head = "Error: deallocation of address 0x";
constexpr Text inside = ", which is inside resource 0x";
constexpr Text offset = " at offset ";
constexpr Text allocatedAt = ", allocated at ";
constexpr Text deallocatedAt = " and deallocated at ";
}  // namespace freeInterior

// Error: deallocation of unallocated valid|bad handle 0xH by D:T at S
namespace unallocatedFree {
constexpr Text head = "Error: deallocation of unallocated ";
constexpr Text handle = " handle 0x";
}  // namespace unallocatedFree

// Error: deallocation of handle 0xH by D:T at S while the handle allocated at S and freed at S.
namespace doubleFree {
constexpr Text head = "Error: deallocation of handle 0x";
constexpr Text allocatedAt = " while the handle allocated at ";
constexpr Text freedAt = " and freed at ";
constexpr Text end = ".";
}  // namespace doubleFree

// Error 007: bad handle 0xH usage by D:T at S
namespace badHandleUse {
constexpr Text head = "Error 007: bad handle 0x";
constexpr Text usageBy = " usage by ";
}  // namespace badHandleUse

// Error: address 0xH used by D:T at S is inside resource 0xH at offset N, which was allocated at S and
//   deallocated at S
namespace useInsideFreed {
constexpr Text head = "Error: address 0x";
constexpr Text inside = " is inside resource 0x";
constexpr Text offset = " at offset ";
constexpr Text allocatedAt = ", which was allocated at ";
constexpr Text deallocatedAt = " and deallocated at ";
}  // namespace useInsideFreed

// Error: Unallocated resource usage 0xH by D:T at S
constexpr Text untrackedUse = "Error: Unallocated resource usage 0x";

// Error: resource 0xH used by D:T at S was allocated at S and deallocated at S
namespace useAfterFree {
constexpr Text head = "Error: resource 0x";
constexpr Text allocatedAt = " was allocated at ";
constexpr Text deallocatedAt = " and deallocated at ";
}  // namespace useAfterFree

// Error XX7: D:T at S trying to reallocate never allocated (or allocated by untracked function) handle 0xH
namespace reallocUntracked {
constexpr Text head = "Error XX7: ";
constexpr Text tail = " trying to reallocate never allocated (or allocated by untracked function) handle 0x";
}  // namespace reallocUntracked

// Warning: reallocation handle 0xH has the same size (N bytes) atS   (no blank before the site)
namespace sameSizeRealloc {
constexpr Text head = "Warning: reallocation handle 0x";
constexpr Text size = " has the same size (";
constexpr Text bytesAt = " bytes) at";
}  // namespace sameSizeRealloc

// Looks like target code execution died after calling T(0xX) at S   (X: the handle as written)
namespace diedInside {
constexpr Text head = "Looks like target code execution died after calling ";
constexpr Text open = "(0x";
constexpr Text closeAt = ") at ";
}  // namespace diedInside

// Warning: deallocation of resource 0xH by D:T at S reported failure; the resource counts as released.
namespace failedFree {
constexpr Text head = "Warning: deallocation of resource 0x";
constexpr Text tail = " reported failure; the resource counts as released.";
}  // namespace failedFree

// KEL detected fork() usage at FILE:LINE, meanwhile fork() is forbidden according to template settings.
//   Please, disable application fork() usage. If it isn't possible, contact KEL author.
namespace fork {
constexpr Text head = "KEL detected fork() usage at ";
constexpr Text tail =
    ", meanwhile fork() is forbidden according to template settings. Please, disable application fork() usage. If "
    "it isn't possible, contact KEL author.";
}  // namespace fork

// Error: resource leak; handle 0xH from 'D' allocated at S not deallocated[. Never operated]
//   [. Bytes leaked: N | . Bytes leaked: 0, plus indirect leakage for pointer (example: malloc(size), when size is 0)]
namespace leak {
constexpr Text head = "Error: resource leak; handle 0x";
constexpr Text from = " from '";
constexpr Text allocatedAt = "' allocated at ";
constexpr Text neverOperated = " not deallocated. Never operated";
constexpr Text notDeallocated = " not deallocated";
constexpr Text bytes = ". Bytes leaked: ";
constexpr Text zeroBytes = ". Bytes leaked: 0, plus indirect leakage for pointer (example: malloc(size), when size is 0)";
}  // namespace leak

// ------------------------------------------------------------ internal errors

// Internal error. Please, report to developers.
// tracer:NNN: FUNCTION: Assertion 'allocated, operated or deallocated == record.resourceState' failed.
namespace internal {
constexpr Text first = "Internal error. Please, report to developers.";
constexpr Text assertion = ": Assertion 'allocated, operated or deallocated == record.resourceState' failed.";
}  // namespace internal

// ------------------------------------------------------------ the header

// Unexpected data: 'X'   (on standard output: a header line that is not the protocol's)
namespace unexpectedData {
constexpr Text head = "Unexpected data: '";
constexpr Text end = "'";
}  // namespace unexpectedData
constexpr Text noHeader = "Unable to read header.";

// ------------------------------------------------------------ the record reader's complaints

// Unexpected tor name 'X' in domain 'D'.
namespace unknownTor {
constexpr Text head = "Unexpected tor name '";
constexpr Text inDomain = "' in domain '";
constexpr Text end = "'.";
}  // namespace unknownTor

// Strange error: domain 'D' isn't float, but allocator T has 2nd argument
namespace secondSize {
constexpr Text head = "Strange error: domain '";
constexpr Text butAllocator = "' isn't float, but allocator ";
constexpr Text tail = " has 2nd argument";
}  // namespace secondSize

// Unexpected value 'X' instead of OK or BAD at line N.
namespace allocVerdict {
constexpr Text head = "Unexpected value '";
constexpr Text atLine = "' instead of OK or BAD at line ";
constexpr Text end = ".";
}  // namespace allocVerdict

// Unexpected number of chars. Must be at least 4.
constexpr Text shortHandle = "Unexpected number of chars. Must be at least 4.";

// Strange values at begging of line 'X'.
namespace handlePrefix {
constexpr Text head = "Strange values at begging of line '";
constexpr Text end = "'.";
}  // namespace handlePrefix

// Unexpected numer of chunks at tracer:476
constexpr Text releaseChunks = "Unexpected numer of chunks at ";
// Unexpected value at tracer:467
constexpr Text releaseVerdict = "Unexpected value at ";

// Unexpected value 'X' at N.   (a deallocator's outcome lines, a reallocator's old handle line)
namespace unexpectedValue {
constexpr Text head = "Unexpected value '";
constexpr Text at = "' at ";
constexpr Text end = ".";
}  // namespace unexpectedValue

// unexpected/wrong format at tracer:376; invalid domain at tracer:357; unexpected value at tracer:365
constexpr Text operatorFormat = "unexpected/wrong format at ";
constexpr Text operatorDomain = "invalid domain at ";
constexpr Text operatorVerdict = "unexpected value at ";

// Unexpected format string "X" at tracefile line N. tracer:NNN
namespace formatString {
constexpr Text head = "Unexpected format string \"";
constexpr Text atLine = "\" at tracefile line ";
constexpr Text beforeTag = ". ";
}  // namespace formatString

// NYI at tracer:686   then   LINE: 'X' at line N   (both on standard output)
namespace notSupported {
constexpr Text first = "NYI at ";
constexpr Text head = "LINE: '";
constexpr Text atLine = "' at line ";
}  // namespace notSupported

// Abnormal content "X" at tracefile line N   (on standard output)
namespace abnormalContent {
constexpr Text head = "Abnormal content \"";
constexpr Text atLine = "\" at tracefile line ";
}  // namespace abnormalContent

}  // namespace frozen
