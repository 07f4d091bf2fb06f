// Buffers a thread keeps from one job to its next.
//
// A small job allocates little, but all at once: the output of a few hundred kilobytes grows by
// doubling, each page's content is decoded into a buffer of its own size. When the job ends the
// memory goes back to malloc, and on any thread but the main one glibc hands the top of that
// thread's arena back to the kernel (the pages are dropped with madvise) as soon as more than a
// quarter of a megabyte lies free there. The next job on the thread then faults every page in
// afresh, which costs a small job about a third of its time on a worker thread and none on the
// main one. Keeping the two largest buffers for the thread's next job removes that cost: they are
// not freed, their pages stay mapped, and the output no longer grows by copying.
//
// Only buffers up to kSpareMaxBytes are kept (larger jobs spend their time elsewhere), so a thread
// that has run jobs holds at most twice that until it exits.
#pragma once
#include <cstddef>

#include "text/buf.h"

namespace qm {

inline constexpr size_t kSpareMaxBytes = size_t{1} << 20;

enum class spare_kind { output, content };

// The thread's kept buffer of that kind, emptied (its capacity kept), or an empty buffer.
buf spare_take(spare_kind k);

// Keeps b's block for the thread's next spare_take of that kind when it is at most
// kSpareMaxBytes and none is kept yet; otherwise frees it. b is left empty either way.
void spare_keep(spare_kind k, buf& b);

}  // namespace qm
