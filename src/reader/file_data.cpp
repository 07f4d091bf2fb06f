// Room for input files: large ones in anonymous mappings made present up front (MAP_POPULATE on
// Linux; elsewhere the mapping is plain, and faults in as it is read).
//
// The file itself is read into this memory, not mapped: a mapped file that another process
// truncates while the job runs would kill the host process with SIGBUS at the next access.
// Huge pages are not asked for either: on virtual machines that hand free memory back to their
// host, a fresh huge page can take a hundred milliseconds and more to come back.
#include "reader/file_data.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace qm {

namespace {

// Under AddressSanitizer every file goes through new[] unless a test says otherwise: reads past
// the end of an array are caught, reads past the end of a mapping (up to its last page) are not.
#if defined(__SANITIZE_ADDRESS__)
#define QM_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef QM_ADDRESS_SANITIZER
constexpr size_t kMapMin = SIZE_MAX;
#else
constexpr size_t kMapMin = size_t{1} << 20;
#endif

}  // namespace

std::atomic<size_t> file_data_map_min{kMapMin};

void file_data_release::operator()(char* p) const noexcept {
  if (!p) return;
  if (mapped == 0)
    delete[] p;
  else
    ::munmap(p, mapped);
}

file_data file_data_alloc(size_t n) {
  if (n >= file_data_map_min.load(std::memory_order_relaxed)) {
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;
#endif
    void* m = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (m != MAP_FAILED) return file_data(static_cast<char*>(m), file_data_release(n));
  }
  return file_data(new (std::nothrow) char[n > 0 ? n : 1]);
}

}  // namespace qm
