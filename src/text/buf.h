// Growable owned byte buffer: every output text is collected in one of these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qm {

// Appended to only; always zero-terminated after an append (the bytes themselves may hold zeros,
// so len, not the terminator, is the length). Growth doubles the capacity. An allocation failure
// throws std::bad_alloc, which the job reports as "out of memory": a buffer never silently loses
// its text.
struct buf {
  char* data = nullptr;
  size_t len = 0;
  size_t cap = 0;

  buf() = default;
  buf(const buf&) = delete;
  buf& operator=(const buf&) = delete;
  buf(buf&& o) noexcept;
  buf& operator=(buf&& o) noexcept;
  ~buf();

  std::string_view view() const { return {data ? data : "", len}; }
};

// Makes room for n more bytes plus the terminating zero.
void buf_reserve(buf& b, size_t n);
void buf_append(buf& b, const void* p, size_t n);
inline void buf_str(buf& b, std::string_view s) {
  buf_append(b, s.data(), s.size());
}
// Adds n bytes that the caller has already written at data + len (after buf_reserve).
void buf_commit(buf& b, size_t n);
void buf_free(buf& b);

// memcpy for blocks that do not overlap, without its one slow case: on some processors (AMD Zen
// among them) a long forward copy whose destination lies 1 to 63 bytes past its source, counted
// within a 4 KiB page, runs about thirty times slower than any other, every load waiting on a
// store that only seems to alias it. Two large blocks from malloc land in that window often
// enough (each starts 16 bytes into a chunk), so such copies run backwards instead.
void copy_bytes(void* dst, const void* src, size_t n);

}  // namespace qm
