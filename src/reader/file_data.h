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
// gets a mapping of its own, aligned so that the system may back it with huge pages: reading it
// in then costs a few page faults instead of one per 4 KiB, which for files of some megabytes is
// most of the time spent reading them.
file_data file_data_alloc(size_t n);

// Files from this size on get a mapping of their own: 2 MiB (one huge page), unless a test
// changes it (SIZE_MAX sends every file through new[], where tests can refuse allocations).
extern std::atomic<size_t> file_data_map_min;

}  // namespace qm
