// Hardening: input files at the 2 GiB size limit, and byte offsets near INT32_MAX all the way
// through a job. Meant to run under AddressSanitizer, UndefinedBehaviorSanitizer and
// LeakSanitizer (scripts/sanitize.sh). Inputs that once broke the library in other ways are
// replayed from fuzz/regressions/ by the fuzz_replay_* tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <new>
#include <string>
#include <system_error>

#include "job/error.h"
#include "job/job.h"
#include "quiremark.h"
#include "reader/load.h"
#include "support/jobpdf.h"

// Allocations of the nothrow array forms (the loader takes the file's bytes that way) above this
// many bytes fail while it is set, as on a machine without that much memory. Other allocations
// are untouched; the replacement defers to the ordinary operator new[] so that every block is
// released by its matching operator delete[].
namespace {
std::atomic<std::size_t> g_refuse_above{std::numeric_limits<std::size_t>::max()};
}  // namespace

void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  if (n > g_refuse_above.load(std::memory_order_relaxed)) return nullptr;
  try {
    return ::operator new[](n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  if (n > g_refuse_above.load(std::memory_order_relaxed)) return nullptr;
  try {
    return ::operator new[](n, a);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

using namespace qmtest;

constexpr std::uintmax_t kInt32Max = std::numeric_limits<int32_t>::max();

// While alive, nothrow array allocations above `limit` bytes fail. (Large input files are read
// into memory mapped for them, not from operator new, unless the loader is told otherwise:
// every_file_in_new sends them through new[] too, where the guard can refuse them.)
struct refuse_large {
  explicit refuse_large(std::size_t limit) { g_refuse_above = limit; }
  ~refuse_large() { g_refuse_above = std::numeric_limits<std::size_t>::max(); }
};
constexpr std::size_t every_file_in_new = std::numeric_limits<std::size_t>::max();

// A file of `size` bytes whose last bytes are `tail` and whose other bytes are zeros (NUL is PDF
// white space), written sparsely: only the tail takes room on disk. Empty when the file system
// cannot hold it.
std::string sparse_file(const std::string& name, std::uintmax_t size, std::string_view tail) {
  const std::string path = put_file(name, "");
  std::error_code ec;
  std::filesystem::resize_file(path, size - tail.size(), ec);
  if (ec) return "";
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) return "";
  const bool ok = std::fwrite(tail.data(), 1, tail.size(), f) == tail.size();
  if (std::fclose(f) != 0 || !ok || std::filesystem::file_size(path, ec) != size) return "";
  return path;
}

std::string load_message(const std::string& path) {
  qm::doc d;
  qm::msg m;
  EXPECT_EQ(qm::doc_load(path.c_str(), d, m, every_file_in_new), -1);
  EXPECT_EQ(d.data, nullptr);
  return m.text;
}

// Sizes on both sides of the limit: a file of INT32_MAX bytes passes the size test and is then
// read whole (here the allocation is refused, so its message is the read error's); one byte more
// is refused by size, before anything is allocated.
TEST(Hardening, InputSizesAtTheTwoGibibyteLimit) {
  struct size_case {
    std::uintmax_t size;
    const char* message;  // %s stands for the path
  };
  const size_case cases[] = {
      {kInt32Max, "read error on %s"},
      {kInt32Max + 1, "empty input file: %s"},
      {std::uintmax_t{3} << 31, "empty input file: %s"},
      {(std::uintmax_t{1} << 32) + 100, "empty input file: %s"},
  };
  const std::string good = put_file("good.pdf", n_pages_pdf(1, "good"));
  const std::string out = (scratch() / "out.pdf").string();
  refuse_large guard(std::size_t{1} << 30);
  for (const size_case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string path = sparse_file("big.pdf", c.size, "1 0 obj\n<< >>\nendobj\n");
    if (path.empty()) GTEST_SKIP() << "no sparse files of this size here";
    std::string want = c.message;
    want.replace(want.find("%s"), 2, path);
    EXPECT_EQ(load_message(path), want);
    // Through a job, as background and as foreground; the output is never created.
    std::filesystem::remove(out);
    qm::job_options o;
    o.input_map_min_bytes = every_file_in_new;
    const job_result as_bg = run_job(job_kind::merge, path, good, out, 0, 1.0f, &o);
    EXPECT_EQ(as_bg.rc, 0);
    EXPECT_EQ(as_bg.err, want);
    const job_result as_fg = run_job(job_kind::stamp, good, path, out, 1, 1.0f, &o);
    EXPECT_EQ(as_fg.rc, 0);
    EXPECT_EQ(as_fg.err, want);
    EXPECT_FALSE(std::filesystem::exists(out));
    std::filesystem::remove(path);
  }
}

// A document of exactly INT32_MAX bytes whose objects all lie in its last kilobytes, so that
// every position the reader and the job handle (object headers, dictionaries, stream data, the
// cross-reference section, /Length and /Prev values) is within a few thousand of INT32_MAX, and
// sums such as a stream's start plus its /Length pass it. (The object scan's loop bound once
// overflowed on such a file and read past its end.)
std::string tail_pdf() {
  std::string t = "\n%PDF-1.7\n";
  t += "1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
  t += "2 0 obj\n<< /Type /Pages /Kids [3 0 R] /Count 1 /Rotate 90 >>\nendobj\n";
  t += "3 0 obj\n<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 200] /Contents [4 0 R 5 0 R]"
       " /Resources << /Font << /F1 6 0 R >> /XObject << /X 7 0 R >> >> >>\nendobj\n";
  // A direct /Length that runs far past the end of the file: the data ends at "endstream".
  t += "4 0 obj\n<< /Length 2147483647 >>\nstream\nq BT /F1 9 Tf (near the end) Tj ET\n"
       "endstream\nendobj\n";
  // A stream whose data is Flate-compressed, with a correct /Length.
  const std::string z = zlib_compress("/X Do Q\n");
  t += "5 0 obj\n<< /Length " + std::to_string(z.size()) + " /Filter /FlateDecode >>\nstream\n" +
       z + "\nendstream\nendobj\n";
  // Objects 6 and 7 come from an object stream.
  const std::string inner6 = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";
  const std::string inner7 =
      "<< /Type /XObject /Subtype /Form /BBox [0 0 10 10] /Length 0 >>";  // text only
  const std::string head = "6 0 7 " + std::to_string(inner6.size() + 1) + " ";
  const std::string body = head + inner6 + " " + inner7;
  t += "8 0 obj\n<< /Type /ObjStm /N 2 /First " + std::to_string(head.size()) + " /Length " +
       std::to_string(body.size()) + " >>\nstream\n" + body + "\nendstream\nendobj\n";
  return t;
}

// The last bytes of a file of `size` bytes: `tail_pdf`, then a cross-reference section whose
// trailer, startxref and /Prev name positions near INT32_MAX.
std::string near_limit_tail(std::uintmax_t size) {
  // The section's own length depends on the digits of its position, so it is laid out twice;
  // the second time with the position that the first layout gives (the digits no longer change).
  std::string section;
  for (int pass = 0; pass < 2; ++pass) {
    const std::uintmax_t xref_at = size - section.size();
    section = "xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Size 9 /Root 1 0 R /Prev " +
              std::to_string(size - 2) + " >>\nstartxref\n" + std::to_string(xref_at) + "\n%%EOF\n";
  }
  return tail_pdf() + section;
}

TEST(Hardening, OffsetsNearInt32MaxThroughTheWholeJob) {
  const std::string tail = near_limit_tail(kInt32Max);
  const std::string path = sparse_file("near_limit.pdf", kInt32Max, tail);
  if (path.empty()) GTEST_SKIP() << "no sparse files of this size here";
  const int64_t base = static_cast<int64_t>(kInt32Max) - static_cast<int64_t>(tail.size());

  // Loaded once (reading and scanning 2 GiB is the slow part), examined, then handed to the job
  // as its background, under a small foreground.
  qm::overlay_job j;
  qm::msg m;
  if (qm::doc_load(path.c_str(), j.bg, m) != 0 && std::string(m.text).rfind("read error", 0) == 0)
    GTEST_SKIP() << "no memory for a 2 GiB document here";
  std::filesystem::remove(path);
  const qm::doc& d = j.bg;
  ASSERT_EQ(d.len, static_cast<int32_t>(kInt32Max)) << m.text;
  EXPECT_EQ(d.trailer_root, 1);
  EXPECT_EQ(d.catalog, 1);
  ASSERT_EQ(d.pages.size(), 1u);
  EXPECT_EQ(d.pages[0].num, 3);
  EXPECT_EQ(d.pages[0].inherited_rotate, 90);
  EXPECT_EQ(d.pages[0].width, 300);
  for (int num = 1; num <= 7; ++num) {
    SCOPED_TRACE(num);
    const qm::obj_rec* o = qm::doc_find(d, num);
    ASSERT_NE(o, nullptr);
    if (num >= 6) {
      EXPECT_EQ(o->in_objstm, 1);
      continue;
    }
    EXPECT_GT(o->obj_start, base);
    EXPECT_GT(o->endobj_pos, o->obj_start);
    EXPECT_LT(o->endobj_pos, d.len);
  }
  const qm::obj_rec* s4 = qm::doc_find(d, 4);
  ASSERT_NE(s4, nullptr);
  ASSERT_EQ(s4->has_stream, 1);
  EXPECT_EQ(std::string_view(d.data.get() + s4->data_start,
                             static_cast<size_t>(s4->data_end - s4->data_start)),
            "q BT /F1 9 Tf (near the end) Tj ET");
  EXPECT_EQ(qm::doc_find(d, 8), nullptr);  // the object stream itself is not kept

  const std::string small = put_file("small.pdf", n_pages_pdf(2, "small"));
  ASSERT_EQ(qm::doc_load(small.c_str(), j.fg, m), 0) << m.text;
  const std::string out = (scratch() / "out.pdf").string();
  qm::job_options o;
  o.output = out;
  ASSERT_TRUE(qm::job_run_loaded(j, o)) << j.err.text;
  const std::string bytes = read_file(out);
  const out_pdf p = read_output(bytes);
  EXPECT_EQ(p.size, 12);  // 0, catalog, tree, 2 pages, 2 contents, 1 + 2 XObjects, 2 copies
  // The background page, rotated by its inherited /Rotate, with its two content streams joined
  // and its resources copied from the object stream.
  EXPECT_NE(p.objs.at(7).find("/Matrix [0 -1 1 0 0 300]"), std::string::npos) << p.objs.at(7);
  EXPECT_NE(p.objs.at(7).find("q BT /F1 9 Tf (near the end) Tj ET/X Do Q\n"), std::string::npos);
  EXPECT_NE(bytes.find("/BaseFont /Helvetica"), std::string::npos);
  EXPECT_QPDF_ACCEPTS(out);
}

}  // namespace
