// Documents for page-import tests, laid out by hand: every object record is filled the way the
// loader fills it, with its positions known exactly, so that import code is tested on its own.
//
// Layout of the bytes: "%PDF-1.7\n", then per object "N 0 obj\n" + value + "\nendobj\n".
// A stream's value is "<<" + dict + ">>\nstream\n" + data + "\nendstream". Object-stream entries
// are not in the bytes: each has its own text in a block owned by the document.
#pragma once
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "import/resources.h"
#include "reader/doc.h"

namespace qmtest {

struct docbuilder {
  std::string bytes = "%PDF-1.7\n";
  std::vector<qm::obj_rec> recs;
  std::vector<std::string> entry_texts;
  std::vector<size_t> entry_index;  // index in recs of each entry

  // A plain object; dict_start is set when the value's first byte is '<'.
  docbuilder& obj(int num, std::string_view value) {
    qm::obj_rec r;
    r.num = num;
    r.obj_start = static_cast<int32_t>(bytes.size());
    bytes += std::to_string(num) + " 0 obj\n";
    if (!value.empty() && value[0] == '<') r.dict_start = static_cast<int32_t>(bytes.size());
    bytes += value;
    bytes += "\n";
    r.endobj_pos = static_cast<int32_t>(bytes.size());
    bytes += "endobj\n";
    recs.push_back(r);
    return *this;
  }
  // A stream object: dict is the text between "<<" and ">>".
  docbuilder& stream(int num, std::string_view dict, std::string_view data) {
    qm::obj_rec r;
    r.num = num;
    r.obj_start = static_cast<int32_t>(bytes.size());
    bytes += std::to_string(num) + " 0 obj\n";
    r.dict_start = static_cast<int32_t>(bytes.size());
    bytes += "<<";
    bytes += dict;
    bytes += ">>\n";
    r.stream_pos = static_cast<int32_t>(bytes.size());
    bytes += "stream\n";
    r.data_start = static_cast<int32_t>(bytes.size());
    bytes += data;
    r.data_end = static_cast<int32_t>(bytes.size());
    bytes += "\nendstream\n";
    r.endobj_pos = static_cast<int32_t>(bytes.size());
    bytes += "endobj\n";
    r.has_stream = 1;
    recs.push_back(r);
    return *this;
  }
  // A stream with a /Length that matches its data, in front of the other keys.
  docbuilder& lstream(int num, std::string_view data, std::string_view more = "") {
    std::string d = " /Length " + std::to_string(data.size());
    if (!more.empty()) d += " " + std::string(more);
    d += " ";
    return stream(num, d, data);
  }
  // An object taken from an object stream, with its own text.
  docbuilder& entry(int num, std::string_view text) {
    qm::obj_rec r;
    r.num = num;
    r.in_objstm = 1;
    r.text_len = static_cast<int32_t>(text.size());
    entry_texts.emplace_back(text);
    entry_index.push_back(recs.size());
    recs.push_back(r);
    return *this;
  }
  // Free text between objects (junk, comments).
  docbuilder& raw(std::string_view text) {
    bytes += text;
    return *this;
  }

  qm::doc build() const {
    qm::doc d;
    d.len = static_cast<int32_t>(bytes.size());
    d.data = std::make_unique<char[]>(bytes.size() + 1);
    std::memcpy(d.data.get(), bytes.data(), bytes.size());
    d.objects = recs;
    for (size_t k = 0; k < entry_texts.size(); ++k) {
      const std::string& t = entry_texts[k];
      auto block = std::make_unique<char[]>(t.size() + 1);
      std::memcpy(block.get(), t.data(), t.size());
      d.objects[entry_index[k]].text = block.get();
      d.blocks.push_back(std::move(block));
    }
    qm::doc_index(d);
    return d;
  }
};

// The record of object num in d (which must exist).
inline const qm::obj_rec& rec(const qm::doc& d, int num) {
  return *qm::doc_find(d, num);
}

// The dictionary span of object num in d.
inline qm::span span_of(const qm::doc& d, int num) {
  qm::span s;
  qm::dict_span(d.data.get(), d.len, rec(d, num), &s);
  return s;
}

// The renumbering map of the import: the old numbers in order get first_new, first_new + 1, ...
inline qm::renum_map make_map(const std::vector<int32_t>& old, int32_t first_new) {
  qm::renum_map m;
  qm::map_build(m, old, first_new);
  return m;
}

}  // namespace qmtest
