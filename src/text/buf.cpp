// The growable, owned, zero-terminated byte buffer that collects every output text.
#include "text/buf.h"

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace qm {

namespace {

// The first block is small so that many short buffers (one content stream per output page, and a
// job may have a million pages) stay cheap; every growth doubles, so appends stay amortised O(1).
constexpr size_t kFirstCap = 64;

}  // namespace

buf::buf(buf&& o) noexcept : data(o.data), len(o.len), cap(o.cap) {
  o.data = nullptr;
  o.len = 0;
  o.cap = 0;
}

buf& buf::operator=(buf&& o) noexcept {
  if (this != &o) {
    std::free(data);
    data = o.data;
    len = o.len;
    cap = o.cap;
    o.data = nullptr;
    o.len = 0;
    o.cap = 0;
  }
  return *this;
}

buf::~buf() {
  std::free(data);
}

void buf_reserve(buf& b, size_t n) {
  // need = len + n + 1, the 1 being the room for the terminating zero.
  if (n > SIZE_MAX - 1 - b.len) throw std::bad_alloc();
  const size_t need = b.len + n + 1;
  if (b.data && need <= b.cap) return;
  size_t cap = b.data ? b.cap : kFirstCap;
  if (cap < kFirstCap) cap = kFirstCap;
  while (cap < need) {
    if (cap > SIZE_MAX / 2) {
      cap = need;
      break;
    }
    cap *= 2;
  }
  // On failure the old block and its text stay as they were; the caller sees the exception.
  void* p = std::realloc(b.data, cap);
  if (!p) throw std::bad_alloc();
  if (!b.data) {
    b.len = 0;
    static_cast<char*>(p)[0] = 0;
  }
  b.data = static_cast<char*>(p);
  b.cap = cap;
}

void copy_bytes(void* dst, const void* src, size_t n) {
  char* d = static_cast<char*>(dst);
  const char* s = static_cast<const char*>(src);
  const uintptr_t behind = (reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(s)) & 4095;
  if (n < 4096 || behind == 0 || behind >= 64) {
    std::memcpy(d, s, n);
    return;
  }
  // From the end, 128 bytes at a time: each store then lands behind the loads still to come.
  constexpr size_t kStep = 128;
  size_t i = n;
  while (i >= kStep) {
    i -= kStep;
    char t[kStep];
    std::memcpy(t, s + i, kStep);
    std::memcpy(d + i, t, kStep);
  }
  std::memcpy(d, s, i);
}

void buf_append(buf& b, const void* p, size_t n) {
  // The source may lie inside the buffer itself; remember it as an offset across a reallocation,
  // and copy it with memmove, since it may reach the end where the copy goes.
  const char* src = static_cast<const char*>(p);
  const auto at = reinterpret_cast<uintptr_t>(src);
  const auto base = reinterpret_cast<uintptr_t>(b.data);
  const bool inside = n > 0 && b.data && at >= base && at - base < b.cap;
  if (inside) {
    const size_t off = static_cast<size_t>(at - base);
    buf_reserve(b, n);
    src = b.data + off;
  } else {
    buf_reserve(b, n);
  }
  if (inside)
    std::memmove(b.data + b.len, src, n);
  else if (n > 0)
    copy_bytes(b.data + b.len, src, n);
  b.len += n;
  b.data[b.len] = 0;
}

void buf_commit(buf& b, size_t n) {
  // The caller has written n bytes into space obtained with buf_reserve.
  assert(b.data && n < b.cap - b.len);
  if (!b.data) buf_reserve(b, 0);
  if (n >= b.cap - b.len) n = b.cap - b.len - 1;
  b.len += n;
  b.data[b.len] = 0;
}

void buf_free(buf& b) {
  std::free(b.data);
  b.data = nullptr;
  b.len = 0;
  b.cap = 0;
}

}  // namespace qm
