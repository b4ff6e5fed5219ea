/*
 * The mapped trace writer: records are copied into a shared, writable mapping
 * of the trace file, so a record belongs to the kernel's page cache as soon as
 * its bytes are copied, and survives abort(), a segfault or SIGKILL.
 *
 * Written as the runtime of a generated kel.c would hold it: C99 + POSIX,
 * gcc/clang atomic builtins, no other dependency. A wrapper formats its
 * record on its stack as the buffered runtime does, then:
 *
 *   allocation or operation:   call; slot = kel_map_reserve(n); kel_map_copy(slot, rec, n);
 *   release (or reallocation): slot = kel_map_reserve(before + after_if_ok);
 *                              kel_map_copy(slot, rec, before);      -- before the call
 *                              call;
 *                              outcome as reserved: kel_map_copy(slot + before, out, after);
 *                              otherwise: kel_map_abandon(slot, before) and the whole
 *                              record appended as an allocation's is
 *
 * DESIGN.md says why, and what a cut trace can end with.
 */
#ifndef KEL_MAPPED_WRITER_H
#define KEL_MAPPED_WRITER_H

#include <stddef.h>

/* Opens (creates, truncates) the trace file at path, maps it and copies the
 * head (the trace's first lines) in. per_process: a child made by fork gets
 * its own trace, child_path(pid) names it; otherwise parent and child append
 * to the one trace. Returns 0, or -1 with errno set (nothing is traced). */
int	kel_map_open(const char *path, const char *head, size_t head_size, int per_process,
	const char *(*child_path)(unsigned long pid));

/* Reserves size bytes at the end of the trace: one atomic fetch-add, plus a
 * file extension under a lock once every KEL_MAP_STEP bytes. NULL when the
 * trace is not open, is stopped, or cannot grow (the record is then not
 * traced). Slots of different calls never overlap. */
char	*kel_map_reserve(size_t size);

/* Copies text into a reserved slot in ascending order: a kill during the copy
 * leaves a prefix of the text followed by zero bytes, never a hole. */
void	kel_map_copy(char *slot, const char *text, size_t size);

/* Gives up a slot whose first filled bytes were copied but whose outcome does
 * not fit: zeroes them from the last to the first, so the slot is always a
 * prefix and zeros. A normal end removes the zeros. */
void	kel_map_abandon(char *slot, size_t filled);

/* Normal end: reserves and copies tail (the closing line), stops further
 * reservations, removes abandoned slots, truncates the file to the length of
 * what was written, closes it. The mapping stays (a late thread's write
 * lands in the file, never in unmapped memory). */
void	kel_map_close(const char *tail, size_t tail_size);

#endif
