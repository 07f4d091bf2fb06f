// Room for input files: large ones in anonymous mappings made present up front (MAP_POPULATE on
// Linux; elsewhere the mapping is plain, and faults in as it is read).
//
// The file itself is read into this memory, not mapped: a mapped file that another process
// truncates while the job runs would kill the host process with SIGBUS at the next access.
// Huge pages are not asked for either: on virtual machines that hand free memory back to their
// host, a fresh huge page can take a hundred milliseconds and more to come back.
#include "reader/file_data.h"

#include <sys/mman.h>

#include <new>

#if defined(QM_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#define QM_POISON(p, n) __asan_poison_memory_region((p), (n))
#define QM_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#else
#define QM_POISON(p, n) ((void)(p), (void)(n))
#define QM_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace qm {
namespace {

// Frees an array of `room` bytes (a kept one may still be partly poisoned).
void free_array(char* p, size_t room) noexcept {
  QM_UNPOISON(p, room);
  ::operator delete[](p, std::align_val_t{kFileDataAlign});
}

// The arrays a thread keeps (see file_data_alloc). Plain data, so that a file let go while the
// thread is ending, after the closer below has run, still finds `closed` and frees its array.
struct kept_arrays {
  char* p[kKeptFileArrays];
  size_t room[kKeptFileArrays];
  bool closed;
};
thread_local kept_arrays t_kept;

struct kept_closer {
  ~kept_closer() {
    for (size_t i = 0; i < kKeptFileArrays; ++i) {
      if (t_kept.p[i]) free_array(t_kept.p[i], t_kept.room[i]);
      t_kept.p[i] = nullptr;
    }
    t_kept.closed = true;
  }
};

// Keeps a file's array for the thread's next file, in a free place or in place of a smaller one
// (which is freed); a larger array than all kept ones serves more files. Kept bytes are poisoned
// for AddressSanitizer until a file is read into them.
void keep_or_free(char* p, size_t room) noexcept {
  kept_arrays& k = t_kept;
  if (k.closed || room >= kKeptFileArrayMax) {
    free_array(p, room);
    return;
  }
  thread_local kept_closer closer;  // frees what the thread keeps when it ends
  (void)closer;
  size_t at = 0;  // a free place, else the smallest kept array
  for (size_t i = 0; i < kKeptFileArrays; ++i) {
    if (!k.p[i]) {
      at = i;
      break;
    }
    if (k.room[i] < k.room[at]) at = i;
  }
  if (k.p[at] && k.room[at] >= room) {
    free_array(p, room);
    return;
  }
  if (k.p[at]) free_array(k.p[at], k.room[at]);
  QM_POISON(p, room);
  k.p[at] = p;
  k.room[at] = room;
}

// The smallest kept array that holds n bytes, taken from the thread's keeping; null if none.
char* take_kept(size_t n, size_t& room) noexcept {
  kept_arrays& k = t_kept;
  size_t best = kKeptFileArrays;
  for (size_t i = 0; i < kKeptFileArrays; ++i)
    if (k.p[i] && k.room[i] >= n && (best == kKeptFileArrays || k.room[i] < k.room[best])) best = i;
  if (best == kKeptFileArrays) return nullptr;
  char* p = k.p[best];
  room = k.room[best];
  k.p[best] = nullptr;
  QM_UNPOISON(p, n);
  return p;
}

}  // namespace

void file_data_release::operator()(char* p) const noexcept {
  if (!p || lent) return;
  if (mapped != 0)
    ::munmap(p, mapped);
  else if (room != 0)
    keep_or_free(p, room);
  else
    delete[] p;
}

file_data file_data_alloc(size_t n, size_t map_min) {
  if (n >= map_min) {
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;
#endif
    void* m = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (m != MAP_FAILED) return file_data(static_cast<char*>(m), file_data_release(n));
  }
  if (n == 0) n = 1;
  file_data_release heap;
  char* p = take_kept(n, heap.room);
  if (!p) {
    p = static_cast<char*>(::operator new[](n, std::align_val_t{kFileDataAlign}, std::nothrow));
    heap.room = p ? n : 0;
  }
  return file_data(p, heap);
}

}  // namespace qm
