// The bytes of one input file in memory, owned by its document.
#pragma once
#include <atomic>
#include <cstddef>
#include <memory>

namespace qm {

// Gives back the room of a file's bytes: an anonymous mapping of `mapped` bytes, or, with mapped
// 0, an array from new[].
struct file_data_release {
  size_t mapped = 0;

  file_data_release() = default;
  explicit file_data_release(size_t m) noexcept : mapped(m) {}
  // Bytes from new[] (std::make_unique<char[]>) are taken over as they are.
  file_data_release(std::default_delete<char[]>) noexcept {}
  void operator()(char* p) const noexcept;
};

using file_data = std::unique_ptr<char[], file_data_release>;

// Room for the n bytes of a file about to be read, or null when there is no memory. A large file
// gets an anonymous mapping of its own whose pages are all made present at once: the read then
// copies into memory that is there already, instead of stopping at a page fault every 4 KiB,
// which for files of some megabytes takes longer than the copy itself.
file_data file_data_alloc(size_t n);

// Files from this size on get a mapping of their own: 1 MiB (SIZE_MAX in AddressSanitizer builds),
// unless a test changes it (SIZE_MAX sends every file through new[], where tests can refuse
// allocations).
extern std::atomic<size_t> file_data_map_min;

}  // namespace qm
