// The bytes of one input file in memory, owned by its document.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace qm {

// Gives back the room of a file's bytes: an anonymous mapping of `mapped` bytes, or, with mapped
// 0, an array from new[] (with `room` set: one of that many bytes aligned to kFileDataAlign,
// which the thread may keep for its next file); or nothing, for bytes that the caller lent and
// keeps (borrowed()).
struct file_data_release {
  size_t mapped = 0;
  bool lent = false;
  size_t room = 0;

  file_data_release() = default;
  explicit file_data_release(size_t m) noexcept : mapped(m) {}
  static file_data_release borrowed() noexcept {
    file_data_release r;
    r.lent = true;
    return r;
  }
  // Bytes from new[] (std::make_unique<char[]>) are taken over as they are.
  file_data_release(std::default_delete<char[]>) noexcept {}
  void operator()(char* p) const noexcept;
};

using file_data = std::unique_ptr<char[], file_data_release>;

// Files from this size on get a mapping of their own unless the caller says otherwise: 1 MiB, or
// SIZE_MAX in AddressSanitizer builds (reads past the end of an array are caught, reads past the
// end of a mapping, up to its last page, are not).
#if defined(__SANITIZE_ADDRESS__)
#define QM_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef QM_ADDRESS_SANITIZER
inline constexpr size_t kFileMapMin = SIZE_MAX;
#else
inline constexpr size_t kFileMapMin = size_t{1} << 20;
#endif

// The alignment of the arrays that files are read into. The kernel copies a file into them with
// the processor's string copy, which on some processors (AMD Zen among them) runs about three
// times slower when the destination lies 1 to 63 bytes past a 4 KiB boundary, where malloc puts
// most blocks; an array aligned to 64 bytes never does.
inline constexpr size_t kFileDataAlign = 64;

// Room for the n bytes of a file about to be read, or null when there is no memory. A file of
// map_min bytes or more gets an anonymous mapping of its own whose pages are all made present at
// once: the read then copies into memory that is there already, instead of stopping at a page
// fault every 4 KiB, which for files of some megabytes takes longer than the copy itself.
// (SIZE_MAX sends every file through new[].)
//
// A smaller file goes into an aligned array, and when its document lets the array go, the thread
// keeps it (up to kKeptFileArrays of them, each under kKeptFileArrayMax bytes) for the next file
// it reads that fits: a job reads two files, and jobs one after another on a thread mostly read
// files of the same sizes. Without that, each such file's array comes fresh from malloc, which on
// glibc means a mapping of its own, faulted in page by page as the file is read and unmapped
// again at the end, once the file passes the mapping threshold (128 KiB, raised to the largest
// mapped block freed so far, so a file of the same size as the last one is mapped again): a
// fifth of a job of a few hundred kilobytes, and on several threads each unmapping also stops
// the others to flush their address translations. Kept arrays are freed when the thread ends.
inline constexpr size_t kKeptFileArrays = 2;
inline constexpr size_t kKeptFileArrayMax = size_t{1} << 20;
file_data file_data_alloc(size_t n, size_t map_min = kFileMapMin);

}  // namespace qm
