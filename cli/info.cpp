// `quiremark info`: prints the trailer facts, catalog, object table and page list of one file.
// It reads the loaded document itself (reader/), by design: the C interface has no such view, so
// this command is the one part of the tool that uses the library's internals below the job.
#include "info.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "reader/box.h"
#include "reader/doc.h"
#include "reader/load.h"

namespace qm {

namespace {

// The own /Rotate of every page, read once per page object (a page may be listed many times).
std::vector<int32_t> own_rotations(const doc& d) {
  std::unordered_map<int32_t, int32_t> seen;
  std::vector<int32_t> out;
  out.reserve(d.pages.size());
  for (const page_rec& p : d.pages) {
    auto [it, fresh] = seen.try_emplace(p.num, -1);
    if (fresh) {
      const obj_rec* o = doc_find(d, p.num);
      if (o) it->second = obj_rotate_own(d, *o);
    }
    out.push_back(it->second);
  }
  return out;
}

// Shortest text that reads back as the same double, independent of the locale.
std::string num(double v) {
  if (!std::isfinite(v)) return "null";
  char b[64];
  auto r = std::to_chars(b, b + sizeof b, v);
  return std::string(b, r.ptr);
}

std::string num(int64_t v) {
  return std::to_string(v);
}

std::string boolean(int32_t v) {
  return v ? "true" : "false";
}

void print_plain(const char* path, const doc& d, bool objects, std::FILE* out) {
  int32_t in_objstm = 0;
  for (const obj_rec& o : d.objects) in_objstm += o.in_objstm;
  std::string s;
  s += "file:              " + std::string(path) + "\n";
  s += "trailer /Root:     " +
       (d.trailer_root >= 0 ? num(int64_t{d.trailer_root})
                            : std::string("none (searched for /Catalog)")) +
       "\n";
  s += std::string("encrypted:         ") + (d.encrypted ? "yes" : "no") + "\n";
  s += "catalog:           " + num(int64_t{d.catalog}) + "\n";
  s += "max object number: " + num(int64_t{d.max_objnum}) + "\n";
  s += "objects:           " + num(static_cast<int64_t>(d.objects.size())) + " (" +
       num(int64_t{in_objstm}) + " from object streams)\n";
  s += "pages:             " + num(static_cast<int64_t>(d.pages.size())) + "\n";
  s += "  page      obj   parent  inherited /Rotate  own /Rotate  box: x0 y0 width height\n";
  std::fputs(s.c_str(), out);
  const std::vector<int32_t> rot = own_rotations(d);
  for (size_t i = 0; i < d.pages.size(); ++i) {
    const page_rec& p = d.pages[i];
    const int32_t own = rot[i];
    char line[160];
    std::snprintf(line, sizeof line, "  %4zu %8ld %8ld %18ld %12s  ", i + 1,
                  static_cast<long>(p.num), static_cast<long>(p.parent),
                  static_cast<long>(p.inherited_rotate),
                  own >= 0 ? num(int64_t{own}).c_str() : "none");
    std::string l = line;
    l += num(p.x0) + " " + num(p.y0) + " " + num(p.width) + " " + num(p.height) + "\n";
    std::fputs(l.c_str(), out);
  }
  if (!objects) return;
  std::fputs(
      "  object table (positions are byte offsets, -1 where absent):\n"
      "       num  obj_start dict_start stream_pos data_start   data_end endobj_pos  stream"
      " objstm text_len\n",
      out);
  for (const obj_rec& o : d.objects)
    std::fprintf(out, "  %8ld %10ld %10ld %10ld %10ld %10ld %10ld %7ld %6ld %8ld\n",
                 static_cast<long>(o.num), static_cast<long>(o.obj_start),
                 static_cast<long>(o.dict_start), static_cast<long>(o.stream_pos),
                 static_cast<long>(o.data_start), static_cast<long>(o.data_end),
                 static_cast<long>(o.endobj_pos), static_cast<long>(o.has_stream),
                 static_cast<long>(o.in_objstm), static_cast<long>(o.text_len));
}

void print_json(const doc& d, bool objects, std::FILE* out) {
  std::string s = "{\"trailer_root\":" + num(int64_t{d.trailer_root}) +
                  ",\"encrypted\":" + boolean(d.encrypted) +
                  ",\"catalog\":" + num(int64_t{d.catalog}) +
                  ",\"max_objnum\":" + num(int64_t{d.max_objnum}) + ",\"pages\":[";
  const std::vector<int32_t> rot = own_rotations(d);
  for (size_t i = 0; i < d.pages.size(); ++i) {
    const page_rec& p = d.pages[i];
    const int32_t own = rot[i];
    s += i ? ",\n" : "\n";
    s += "{\"num\":" + num(int64_t{p.num}) + ",\"parent\":" + num(int64_t{p.parent}) +
         ",\"inherited_rotate\":" + num(int64_t{p.inherited_rotate}) +
         ",\"rotate_own\":" + num(int64_t{own}) + ",\"x0\":" + num(p.x0) + ",\"y0\":" + num(p.y0) +
         ",\"width\":" + num(p.width) + ",\"height\":" + num(p.height) + "}";
  }
  s += "]";
  if (objects) {
    s += ",\"objects\":[";
    for (size_t i = 0; i < d.objects.size(); ++i) {
      const obj_rec& o = d.objects[i];
      s += i ? ",\n" : "\n";
      s += "{\"num\":" + num(int64_t{o.num}) + ",\"obj_start\":" + num(int64_t{o.obj_start}) +
           ",\"dict_start\":" + num(int64_t{o.dict_start}) +
           ",\"stream_pos\":" + num(int64_t{o.stream_pos}) +
           ",\"data_start\":" + num(int64_t{o.data_start}) +
           ",\"data_end\":" + num(int64_t{o.data_end}) +
           ",\"endobj_pos\":" + num(int64_t{o.endobj_pos}) +
           ",\"has_stream\":" + boolean(o.has_stream) + ",\"in_objstm\":" + boolean(o.in_objstm) +
           ",\"text_len\":" + num(int64_t{o.text_len}) + "}";
    }
    s += "]";
  }
  s += "}\n";
  std::fputs(s.c_str(), out);
}

}  // namespace
}  // namespace qm

int run_info(const char* path, bool json, bool objects, std::FILE* out, std::FILE* err) {
  using namespace qm;
  try {
    doc d;
    msg m;
    if (doc_load(path, d, m) != 0) {
      // A failed system call's reason follows, in the system's words, as for a job.
      if (m.sys_errno != 0)
        std::fprintf(err, "quiremark: %s: %s\n", m.text, std::strerror(m.sys_errno));
      else
        std::fprintf(err, "quiremark: %s\n", m.text);
      return 1;
    }
    if (json)
      print_json(d, objects, out);
    else
      print_plain(path, d, objects, out);
    return 0;
  } catch (const std::bad_alloc&) {
    std::fprintf(err, "quiremark: out of memory\n");
    return 1;
  }
}
