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

namespace qm {

void file_data_release::operator()(char* p) const noexcept {
  if (!p || lent) return;
  if (mapped == 0 && aligned)
    ::operator delete[](p, std::align_val_t{kFileDataAlign});
  else if (mapped == 0)
    delete[] p;
  else
    ::munmap(p, mapped);
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
  void* p = ::operator new[](n > 0 ? n : 1, std::align_val_t{kFileDataAlign}, std::nothrow);
  file_data_release heap;
  heap.aligned = true;
  return file_data(static_cast<char*>(p), heap);
}

}  // namespace qm
