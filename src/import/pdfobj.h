// A small model of PDF values, for the few objects that are rewritten rather than copied as text:
// annotation, action, field and outline dictionaries, destinations and name trees.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reader/doc.h"

namespace qm {

struct pdf_entry;

// One parsed value. Tokens keep their text as written (a view into the document, or a literal
// of the program): numbers, names (with their "/"), strings (with their delimiters), booleans
// and any other bare word. A number changed by the rewriting has no text and is written from
// `num`. References come in three kinds: to an input object (`ref`, renumbered when written), to
// an output object whose number is known (`out_ref`), and to an object made by the rewriting
// whose number is fixed later (`new_ref`, by its index).
struct pdf_value {
  enum class kind : uint8_t {
    null,
    number,
    name,
    string,
    token,
    array,
    dict,
    ref,
    out_ref,
    new_ref
  };
  kind k = kind::null;
  std::string_view text;
  double num = 0;
  int32_t n = 0;
  std::vector<pdf_value> items;  // array
  std::vector<pdf_entry> keys;   // dictionary, in the order written
};

struct pdf_entry {
  std::string_view key;  // the name without its "/"
  pdf_value value;
};

// An object made by the rewriting; it is numbered after everything copied. References to input
// objects in its value name objects of input `source` (0 background, 1 foreground).
struct new_object {
  pdf_value value;
  int source = 0;
  bool is_stream = false;
  std::string_view stream;  // a stream's data, still encoded (the value is its dictionary)
};

// Appends an object and returns its index.
int32_t new_object_add(std::vector<new_object>& objs, pdf_value v, int source);

// Parses one value from text at *pos (white space and comments before it skipped) and moves *pos
// past it. Nesting deeper than 64 levels, an unbalanced string, a dictionary key that is no name
// or a keyword that cannot stand inside a value (obj, endobj, stream, endstream) fail.
bool pdf_parse(std::string_view text, size_t* pos, pdf_value* out);

// The value of input object num: its dictionary alone for a stream. False when the object does
// not exist or cannot be read.
bool obj_value(const doc& d, int32_t num, pdf_value* out);

// The raw (still encoded) data of stream object num, or false when num is no stream.
bool obj_stream_data(const doc& d, int32_t num, std::string_view* out);

// Follows v when it is a reference to an input object: *out is a copy of the value there (or of v
// itself). False when the object cannot be read.
bool pdf_resolve(const doc& d, const pdf_value& v, pdf_value* out);

const pdf_value* dict_get(const pdf_value& dict, std::string_view key);
pdf_value* dict_get(pdf_value& dict, std::string_view key);
void dict_erase(pdf_value& dict, std::string_view key);
void dict_set(pdf_value& dict, std::string_view key, pdf_value v);

bool is_name(const pdf_value& v, std::string_view name);  // name without its "/"
bool as_number(const pdf_value& v, double* out);
// A flat array of numbers; false when v is no array or an element is no number.
bool as_numbers(const pdf_value& v, std::vector<double>* out);

pdf_value make_number(double v);
pdf_value make_name(std::string_view with_slash);  // the text must outlive the value
pdf_value make_out_ref(int32_t n);
pdf_value make_new_ref(int32_t index);
pdf_value make_array(std::vector<pdf_value> items);

// The bytes a string token stands for: escapes of a literal string and the digits of a hex
// string decoded.
std::string string_bytes(std::string_view token);

// Writes v as PDF text; each reference is written by refs(out, v), which the caller supplies.
template <class Refs>
void pdf_write(const pdf_value& v, std::string& out, Refs& refs);

// Numbers as the writer prints coordinates.
void pdf_write_number(double v, std::string& out);

template <class Refs>
void pdf_write(const pdf_value& v, std::string& out, Refs& refs) {
  using K = pdf_value::kind;
  switch (v.k) {
    case K::null:
      out += "null";
      break;
    case K::number:
      if (v.text.empty())
        pdf_write_number(v.num, out);
      else
        out += v.text;
      break;
    case K::name:
    case K::string:
    case K::token:
      out += v.text;
      break;
    case K::array:
      out += '[';
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (i) out += ' ';
        pdf_write(v.items[i], out, refs);
      }
      out += ']';
      break;
    case K::dict:
      out += "<<";
      for (const pdf_entry& e : v.keys) {
        out += " /";
        out += e.key;
        out += ' ';
        pdf_write(e.value, out, refs);
      }
      out += " >>";
      break;
    case K::ref:
    case K::out_ref:
    case K::new_ref:
      refs(out, v);
      break;
  }
}

}  // namespace qm
