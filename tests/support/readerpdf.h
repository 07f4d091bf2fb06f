// Raw PDF bytes for reader tests: objects written exactly as given (broken ones included), object
// streams, and loading from memory.
#pragma once
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/doc.h"
#include "reader/load.h"
#include "support/pdfgen.h"

namespace qmtest {

// "N 0 obj\n" + body + "\nendobj\n".
inline std::string raw_obj(int num, std::string_view body) {
  return std::to_string(num) + " 0 obj\n" + std::string(body) + "\nendobj\n";
}

// A stream object whose /Length entry is written as given (`length` is the text after /Length,
// empty for none): "N 0 obj\n<< /Length L extra >>\nstream\n" data "\nendstream\nendobj\n".
inline std::string raw_stream(int num, std::string_view length, std::string_view data,
                              std::string_view extra = "") {
  std::string s = std::to_string(num) + " 0 obj\n<<";
  if (!length.empty()) s += " /Length " + std::string(length);
  if (!extra.empty()) s += " " + std::string(extra);
  s += " >>\nstream\n";
  s += data;
  s += "\nendstream\nendobj\n";
  return s;
}

// Catalog 1, page tree 2 and page 3: the smallest document that loads, for tests that add their
// own objects after it.
inline std::string one_page_tree() {
  return raw_obj(1, "<< /Type /Catalog /Pages 2 0 R >>") +
         raw_obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>") +
         raw_obj(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>");
}

// The decoded text of an object stream holding these objects in this order: the header pairs
// "num offset" separated by single spaces, a newline, then the texts one after the other, each
// followed by one space. `first` receives the header's length (the /First value).
inline std::string objstm_text(const std::vector<std::pair<int, std::string>>& objs, int* first) {
  std::string head, body;
  for (const auto& [num, text] : objs) {
    if (!head.empty()) head += " ";
    head += std::to_string(num) + " " + std::to_string(body.size());
    body += text + " ";
  }
  head += "\n";
  *first = static_cast<int>(head.size());
  return head + body;
}

// A whole object-stream object: Flate-compressed unless `flate` is false.
inline std::string objstm_obj(int num, const std::vector<std::pair<int, std::string>>& objs,
                              bool flate = true) {
  int first = 0;
  std::string text = objstm_text(objs, &first);
  std::string data = flate ? zlib_compress(text) : text;
  std::string extra = "/Type /ObjStm /N " + std::to_string(objs.size()) + " /First " +
                      std::to_string(first) + (flate ? " /Filter /FlateDecode" : "");
  return raw_stream(num, std::to_string(data.size()), data, extra);
}

// A doc holding a copy of the bytes, reset the way doc_load resets it, for the loader's steps.
inline qm::doc mem_doc(std::string_view bytes) {
  qm::doc d;
  d.len = static_cast<int32_t>(bytes.size());
  d.data = std::make_unique<char[]>(bytes.size() + 1);
  std::memcpy(d.data.get(), bytes.data(), bytes.size());
  d.trailer_root = -1;
  d.catalog = -1;
  return d;
}

// The final object table of the bytes (object streams expanded), without the page walk.
inline qm::doc table_of(std::string_view bytes) {
  qm::doc d = mem_doc(bytes);
  qm::load_object_table(d);
  return d;
}

// doc_load_bytes on a copy of the bytes; the message of a failure goes to *m when given.
inline int load_mem(std::string_view bytes, qm::doc& d, const char* name = "mem.pdf",
                    qm::msg* m = nullptr) {
  auto p = std::make_unique<char[]>(bytes.size() + 1);
  std::memcpy(p.get(), bytes.data(), bytes.size());
  qm::msg own;
  return qm::doc_load_bytes(std::move(p), static_cast<int32_t>(bytes.size()), name, d,
                            m ? *m : own);
}

// The object table's numbers in table order.
inline std::vector<int> nums_of(const qm::doc& d) {
  std::vector<int> v;
  for (const auto& o : d.objects) v.push_back(o.num);
  return v;
}

// The position of the n-th (0-based) occurrence of `what` in `s`; -1 when there is none.
inline int32_t nth(std::string_view s, std::string_view what, int n = 0) {
  size_t p = s.find(what);
  while (p != std::string_view::npos && n-- > 0) p = s.find(what, p + 1);
  return p == std::string_view::npos ? -1 : static_cast<int32_t>(p);
}

}  // namespace qmtest
