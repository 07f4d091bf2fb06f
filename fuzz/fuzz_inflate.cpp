// Fuzz target: the DEFLATE decoder, checked against zlib where both decoders' rules agree.
//
// Input: one control byte, then the zlib stream. The low three bits of the control byte choose
// the destination capacity, relative to the length n that zlib decodes (so that the boundaries
// "exactly fits" and "one byte short" are met often), and the high five bits a small capacity for
// the choice that ignores n.
//
// What is checked, besides the sanitizers' own checks (every destination is an exactly sized heap
// block, so one byte written past the capacity is caught):
//   - -1 always comes with produced 0, and 0 with produced <= capacity;
//   - data that zlib decodes completely (Adler-32 included) decodes here with 0 and the same bytes
//     when the capacity holds them, and with -1 when it does not;
//   - data whose first m decoded bytes zlib delivers before running out of room decodes here with
//     -1 for any capacity below m;
//   - a header that asks for a preset dictionary is refused (-1);
//   - where both decoders produced bytes, they agree on their common beginning, and where zlib
//     stops at damaged data (not at its stricter header and checksum tests), this decoder stops at
//     the same byte;
//   - the tests' reference decoder (the plain bit-by-bit one, tests/support/inflate_ref.h) gives
//     exactly the same result, produced count and bytes, for every input and capacity.
#include <sys/mman.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "inflate/inflate.h"
#include "support/inflate_ref.h"

namespace {

// zlib's output is taken up to this many bytes; longer results are compared on this beginning.
constexpr size_t kZlibLimit = size_t{1} << 22;

[[noreturn]] void fail(const char* what, int rc, uint64_t produced, uint64_t cap, size_t zlen,
                       int zret) {
  std::fprintf(stderr, "fuzz_inflate: %s (rc %d, produced %llu, capacity %llu, zlib %d/%zu)\n",
               what, rc, static_cast<unsigned long long>(produced),
               static_cast<unsigned long long>(cap), zret, zlen);
  std::abort();
}

struct zlib_result {
  int ret = Z_OK;
  size_t len = 0;
  const char* msg = nullptr;
};

zlib_result zlib_decode(const uint8_t* src, size_t n, unsigned char* out, size_t cap) {
  zlib_result r;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) std::abort();
  z.next_in = const_cast<Bytef*>(src);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(cap);
  r.ret = inflate(&z, Z_FINISH);
  r.len = z.total_out;
  r.msg = z.msg;
  inflateEnd(&z);
  return r;
}

// zlib's messages for what it checks and this decoder deliberately does not: the header's check
// bits and window size, and the Adler-32 value after the data.
bool zlib_stricter(const char* msg) {
  if (!msg) return false;
  for (const char* m : {"incorrect header check", "unknown compression method",
                        "invalid window size", "incorrect data check"})
    if (std::strcmp(msg, m) == 0) return true;
  return false;
}

// A 1 GiB area with a guard page after it, reserved once, for the largest accepted capacity;
// only the pages that a decode touches take memory.
unsigned char* gib_area() {
  static unsigned char* area = [] {
    const size_t page = 4096;
    void* p = mmap(nullptr, qm::kInflateMaxCap + page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return static_cast<unsigned char*>(nullptr);
    auto* a = static_cast<unsigned char*>(p);
    mprotect(a + qm::kInflateMaxCap, page, PROT_NONE);
    return a;
  }();
  return area;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const unsigned ctrl = data[0];
  const uint8_t* src = data + 1;
  const size_t srclen = size - 1;

  // zlib first: its length chooses the capacity.
  static std::unique_ptr<unsigned char[]> zout(new unsigned char[kZlibLimit]);
  const zlib_result z = zlib_decode(src, srclen, zout.get(), kZlibLimit);
  const bool complete = z.ret == Z_STREAM_END;
  const bool zfull = z.ret == Z_BUF_ERROR && z.len == kZlibLimit;
  const uint64_t n = z.len;

  uint64_t cap;
  switch (ctrl & 7) {
    case 0:
      cap = n;
      break;
    case 1:
      cap = n > 0 ? n - 1 : 0;
      break;
    case 2:
      cap = n + 1;
      break;
    case 3:
      cap = kZlibLimit;
      break;
    case 4:
      cap = 0;
      break;
    case 5:
      cap = (ctrl >> 3) * 37u;
      break;
    case 6:
      cap = qm::kInflateMaxCap + 1 + (ctrl >> 3);
      break;  // refused before any byte
    default:
      cap = qm::kInflateMaxCap;
      break;
  }

  // The destination: exactly `cap` bytes, except for the two capacities beyond what a test may
  // allocate per run: above the limit nothing may be written at all (a 16-byte block shows it),
  // and the limit itself gets the reserved area.
  unsigned char* dst;
  std::unique_ptr<unsigned char, decltype(&std::free)> owned(nullptr, &std::free);
  if (cap > qm::kInflateMaxCap) {
    owned.reset(static_cast<unsigned char*>(std::malloc(16)));
    dst = owned.get();
  } else if (cap == qm::kInflateMaxCap) {
    dst = gib_area();
    if (!dst) return 0;
  } else {
    owned.reset(static_cast<unsigned char*>(std::malloc(cap)));
    dst = owned.get();
    if (!dst && cap > 0) return 0;
  }

  uint64_t produced = 12345;
  const int rc = qm::inflate_decompress(src, srclen, dst, cap, &produced);
  if (rc != 0 && rc != -1) fail("result neither 0 nor -1", rc, produced, cap, n, z.ret);
  if (rc == -1 && produced != 0) fail("-1 with bytes produced", rc, produced, cap, n, z.ret);
  if (rc == 0 && produced > cap) fail("more bytes than the capacity", rc, produced, cap, n, z.ret);
  if (cap > qm::kInflateMaxCap && rc != -1)
    fail("capacity above 1 GiB accepted", rc, produced, cap, n, z.ret);

  if (complete && cap <= qm::kInflateMaxCap) {
    if (cap >= n) {
      if (rc != 0 || produced != n) fail("complete data not decoded", rc, produced, cap, n, z.ret);
    } else if (rc != -1) {
      fail("complete data larger than the capacity not refused", rc, produced, cap, n, z.ret);
    }
  }
  if (zfull && cap < n && rc != -1)
    fail("valid beginning larger than the capacity", rc, produced, cap, n, z.ret);
  if (z.ret == Z_NEED_DICT && rc != -1)
    fail("preset dictionary accepted", rc, produced, cap, n, z.ret);
  if (z.ret == Z_DATA_ERROR && !zlib_stricter(z.msg) && cap >= n && cap <= qm::kInflateMaxCap &&
      rc == 0 && produced != n)
    fail("damaged data ends at another byte than in zlib", rc, produced, cap, n, z.ret);
  if (rc == 0) {
    const uint64_t common = produced < n ? produced : n;
    if (common > 0 && std::memcmp(dst, zout.get(), common) != 0)
      fail("bytes differ from zlib's", rc, produced, cap, n, z.ret);
  }

  // The reference decoder, in a block of its own of the same capacity (except at the 1 GiB limit,
  // which only the reserved area holds): the same result, count and bytes, whatever the input.
  if (cap < qm::kInflateMaxCap) {
    std::unique_ptr<unsigned char, decltype(&std::free)> ref(
        static_cast<unsigned char*>(std::malloc(cap > 0 ? cap : 1)), &std::free);
    if (!ref) return 0;
    uint64_t ref_produced = 54321;
    const int ref_rc = qmref::inflate_decompress(src, srclen, ref.get(), cap, &ref_produced);
    if (ref_rc != rc)
      fail("result differs from the reference decoder's", rc, produced, cap, n, z.ret);
    if (ref_produced != produced)
      fail("produced count differs from the reference decoder's", rc, produced, cap, n, z.ret);
    if (rc == 0 && produced > 0 && std::memcmp(ref.get(), dst, produced) != 0)
      fail("bytes differ from the reference decoder's", rc, produced, cap, n, z.ret);
  }

  return 0;
}
