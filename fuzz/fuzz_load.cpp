// Fuzz target: the loader on arbitrary bytes, then everything that page import reads from a
// loaded document.
//
// The bytes are loaded with doc_load_bytes. A failure must leave the document empty and one of
// the loader's messages in the error text. A loaded document must keep the object table's
// invariants (one record per number, positions in order and inside the file, entries with a text
// of 1 to 1,048,576 bytes, the index agreeing with a scan) and have at least one page, each with a
// positive box, a rotation of 0 to 359 and an object that is a page. Then every object is read
// the way import reads it (type, box, rotation, stream bytes, resources) and every page is turned
// into a Form XObject with its resources closed, renumbered and copied, so that the sanitizers
// see every reading path of the import code run over damaged input.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "import/compact_content.h"
#include "import/decode.h"
#include "import/resources.h"
#include "import/xobject.h"
#include "job/writer.h"
#include "reader/box.h"
#include "reader/load.h"

namespace {

[[noreturn]] void fail(const char* what, long a = 0, long b = 0) {
  std::fprintf(stderr, "fuzz_load: %s (%ld, %ld)\n", what, a, b);
  std::abort();
}
#define QM_CHECK(cond, ...)                                   \
  do {                                                        \
    if (!(cond)) fail("check failed: " #cond, ##__VA_ARGS__); \
  } while (0)

bool starts_with(std::string_view s, std::string_view p) {
  return s.substr(0, p.size()) == p;
}

// Every message the loader may leave after loading bytes named "in.pdf".
bool loader_message(std::string_view m) {
  static const char* const whole[] = {
      "empty input file: in.pdf",
      "no PDF objects found \xE2\x80\x94 not a PDF: in.pdf",
      "encrypted PDFs are not supported: in.pdf",
      "out of memory",
      ("page tree uses inline page dictionaries in /Kids \xE2\x80\x94 pages must be indirect "
       "objects"),
      "document has no pages",
  };
  for (const char* w : whole)
    if (m == w) return true;
  if (starts_with(m, "catalog (obj ") && m.ends_with(") has no /Pages reference")) return true;
  if (starts_with(m, "could not resolve the page tree (obj ") &&
      m.ends_with(" is not a /Pages or /Page object, or tree is broken)"))
    return true;
  return false;
}

void check_table(const qm::doc& d) {
  const int32_t len = d.len;
  QM_CHECK(!d.objects.empty());
  int32_t max = 0;
  std::vector<int32_t> seen;
  for (const qm::obj_rec& o : d.objects) {
    QM_CHECK(o.num >= 1 && o.num <= 8388607, o.num);
    max = std::max(max, o.num);
    seen.push_back(o.num);
    if (o.in_objstm) {
      QM_CHECK(o.text != nullptr);
      QM_CHECK(o.text_len >= 1 && o.text_len <= 1048576, o.text_len);
      QM_CHECK(o.obj_start == -1 && o.dict_start == -1 && o.stream_pos == -1 &&
               o.data_start == -1 && o.data_end == -1 && o.endobj_pos == -1 && !o.has_stream);
      continue;
    }
    QM_CHECK(o.text == nullptr);
    QM_CHECK(o.obj_start >= 0 && o.obj_start < len, o.obj_start, len);
    QM_CHECK(o.endobj_pos > o.obj_start && o.endobj_pos + 6 <= len, o.endobj_pos, len);
    QM_CHECK(o.dict_start == -1 || (o.dict_start > o.obj_start && o.dict_start < len),
             o.dict_start);
    if (o.has_stream) {
      QM_CHECK(o.dict_start >= 0);
      QM_CHECK(o.dict_start < o.stream_pos, o.dict_start, o.stream_pos);
      QM_CHECK(o.stream_pos < o.data_start, o.stream_pos, o.data_start);
      QM_CHECK(o.data_start <= o.data_end, o.data_start, o.data_end);
      QM_CHECK(o.data_end <= len, o.data_end, len);
      QM_CHECK(o.endobj_pos > o.data_end, o.endobj_pos, o.data_end);
    } else {
      QM_CHECK(o.stream_pos == -1 && o.data_start == -1 && o.data_end == -1);
    }
  }
  QM_CHECK(d.max_objnum == max, d.max_objnum, max);
  std::sort(seen.begin(), seen.end());
  QM_CHECK(std::adjacent_find(seen.begin(), seen.end()) == seen.end());
  for (const qm::obj_rec& o : d.objects) QM_CHECK(qm::doc_find(d, o.num) == &o, o.num);
  for (int32_t n : {0, -1, max + 1, 8388608, INT32_MAX, INT32_MIN})
    QM_CHECK(qm::doc_find(d, n) == nullptr, n);
}

void check_pages(const qm::doc& d) {
  QM_CHECK(!d.pages.empty());
  for (const qm::page_rec& p : d.pages) {
    QM_CHECK(std::isfinite(p.x0) && std::isfinite(p.y0));
    QM_CHECK(std::isfinite(p.width) && p.width > 0);
    QM_CHECK(std::isfinite(p.height) && p.height > 0);
    QM_CHECK(p.inherited_rotate >= 0 && p.inherited_rotate < 360, p.inherited_rotate);
    QM_CHECK(p.rotate == 0);
    const qm::obj_rec* o = qm::doc_find(d, p.num);
    QM_CHECK(o != nullptr, p.num);
    QM_CHECK(qm::obj_type(d.data.get(), d.len, *o) == 1, p.num);
  }
}

// What import reads of every object.
void read_objects(const qm::doc& d) {
  const char* t = d.data.get();
  for (const qm::obj_rec& o : d.objects) {
    const int ty = qm::obj_type(t, d.len, o);
    QM_CHECK(ty >= 0 && ty <= 2, ty);
    double x0 = -7, y0 = -7, w = -7, h = -7;
    if (qm::obj_box(t, d.len, o, &x0, &y0, &w, &h)) {
      QM_CHECK(w > 0 && h > 0 && std::isfinite(x0) && std::isfinite(y0));
    } else {
      QM_CHECK(x0 == -7 && y0 == -7 && w == -7 && h == -7);
    }
    const int32_t r = qm::obj_rotate_own(d, o);
    QM_CHECK(r >= -1, r);
    qm::span s;
    if (qm::dict_span(t, d.len, o, &s)) {
      QM_CHECK(s.start >= 0 && s.start <= s.end, s.start, s.end);
      std::string res;
      if (qm::page_resources_dict(d, s, &res)) QM_CHECK(res.size() >= 4);
      std::string deep;
      qm::page_resources_dict_deep(d, s, 32, &deep);
    }
    if (o.has_stream) {
      qm::buf lent;
      std::string_view bytes;
      if (qm::decoded_stream(t, d.len, o, lent, &bytes)) {
        volatile unsigned char sum = 0;
        for (char c : bytes) sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
      }
    }
  }
}

// What a job does with every page: resources, closure, map, XObject bodies, copies.
void import_pages(const qm::doc& d) {
  std::vector<int32_t> refs;
  for (const qm::page_rec& p : d.pages) {
    const qm::obj_rec* o = qm::doc_find(d, p.num);
    qm::span s;
    if (o && qm::dict_span(d.data.get(), d.len, *o, &s)) {
      std::string res;
      if (qm::page_resources_dict(d, s, &res) || qm::page_resources_dict_deep(d, s, 32, &res))
        qm::collect_text_refs(res, refs);
    }
    if (refs.size() > 4096) break;
  }
  std::vector<int32_t> closure;
  qm::collect_resources(d, refs, closure);
  QM_CHECK(closure.size() >= std::min<size_t>(refs.size(), 8192));
  qm::renum_map m;
  const int32_t first_new = 1000;
  qm::map_build(m, closure, first_new);
  for (size_t k = 0; k < closure.size(); ++k) {
    const int32_t nw = qm::map_lookup(m, closure[k]);
    QM_CHECK(nw >= first_new && nw <= first_new + static_cast<int32_t>(k), nw);
  }
  size_t pages = 0;
  for (const qm::page_rec& p : d.pages) {
    if (++pages > 64) break;  // long page lists repeat the same work
    const qm::obj_rec* o = qm::doc_find(d, p.num);
    const std::string body = qm::build_form_xobject(d, *o, p, m);
    QM_CHECK(starts_with(body, "<< /Type /XObject /Subtype /Form /BBox ["));
    QM_CHECK(body.ends_with("\nendstream"));
    // Compact output reads the same content, and keeps the stored bytes only where they are a
    // whole zlib stream of it, as zlib itself reads them.
    qm::page_content plain, kept;
    qm::read_page_content(d, *o, plain);
    qm::read_page_content_stored(d, *o, kept);
    QM_CHECK(plain.bytes == kept.bytes);
    if (!kept.stored.empty()) {
      std::string again(kept.bytes.size() + 1, '\0');
      uLongf len = again.size();
      QM_CHECK(uncompress(reinterpret_cast<Bytef*>(again.data()), &len,
                          reinterpret_cast<const Bytef*>(kept.stored.data()),
                          kept.stored.size()) == Z_OK);
      QM_CHECK(std::string_view(again.data(), len) == kept.bytes);
    }
    qm::buf_free(plain.joined);
    qm::buf_free(kept.joined);
  }
  qm::buf out;
  std::vector<int64_t> offsets(static_cast<size_t>(first_new) + closure.size(), -1);
  for (size_t k = 0; k < closure.size(); ++k) {
    const int32_t nw = first_new + static_cast<int32_t>(k);
    const size_t before = out.len;
    qm::emit_resource_obj(d, closure[k], nw, m, out, offsets);
    if (qm::doc_find(d, closure[k])) {
      QM_CHECK(offsets[static_cast<size_t>(nw)] == static_cast<int64_t>(before));
      QM_CHECK(out.view().substr(before).ends_with("\nendobj\n"));
    } else {
      QM_CHECK(out.len == before && offsets[static_cast<size_t>(nw)] == -1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (size_t{1} << 24)) return 0;
  std::unique_ptr<char[]> bytes(new char[size > 0 ? size : 1]);
  if (size > 0) std::memcpy(bytes.get(), data, size);
  qm::doc d;
  qm::msg m;
  const int r = qm::doc_load_bytes(std::move(bytes), static_cast<int32_t>(size), "in.pdf", d, m);
  const std::string msg = m.text;
  if (r != 0) {
    QM_CHECK(r == -1, r);
    QM_CHECK(!d.data && d.objects.empty() && d.pages.empty() && d.blocks.empty());
    if (!loader_message(msg)) {
      std::fprintf(stderr, "unexpected message: %s\n", msg.c_str());
      std::abort();
    }
    return 0;
  }
  QM_CHECK(msg.empty());
  QM_CHECK(d.len == static_cast<int32_t>(size));
  check_table(d);
  check_pages(d);
  read_objects(d);
  import_pages(d);
  qm::doc_free(d);
  QM_CHECK(!d.data && d.objects.empty() && d.pages.empty());
  return 0;
}
