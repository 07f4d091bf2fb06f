// PDF values parsed from object text, and written back.
//
// Lexical rules (ISO 32000-1, 7.2 and 7.3): white space is NUL, TAB, LF, FF, CR and SPACE; a
// comment runs from "%" to the next CR or LF; the delimiters are ( ) < > [ ] { } / %; a literal
// string balances its parentheses and "\" escapes the byte after it; a hex string is "<" ... ">"
// with a single "<"; a name is "/" and the regular bytes after it; a number is an optional sign,
// digits and at most one "."; "N G R" with two unsigned integers is an indirect reference. Any
// other run of regular bytes is kept as a bare token (true, false and whatever a producer wrote),
// except the keywords that end an object, which make the parse fail.
#include "import/pdfobj.h"

#include "text/numfmt.h"
#include "text/scan.h"

namespace qm {
namespace {

constexpr int kMaxDepth = 64;

// The scanner works on signed 32-bit positions; every text parsed here is part of a loaded
// document or a short literal, so its length fits.
pos_t pos_of(size_t i) {
  return static_cast<pos_t>(i);
}

size_t skip_space(std::string_view t, size_t i) {
  return static_cast<size_t>(skip_ws_comments(t.data(), pos_of(i), pos_of(t.size())));
}

// A number token: [+-] digits [. digits] or [+-] . digits.
bool number_token(std::string_view s, double* v) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  double val = 0, f = 0.1;
  bool digits = false, dot = false;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c >= '0' && c <= '9') {
      digits = true;
      if (dot) {
        val += (c - '0') * f;
        f *= 0.1;
      } else {
        val = val * 10 + (c - '0');
      }
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      return false;
    }
  }
  if (!digits) return false;
  *v = neg ? -val : val;
  return true;
}

bool unsigned_int(std::string_view s) {
  if (s.empty() || s.size() > 10) return false;
  for (char c : s)
    if (!is_digit(static_cast<unsigned char>(c))) return false;
  return true;
}

size_t regular_end(std::string_view t, size_t i) {
  while (i < t.size() && is_regular(static_cast<unsigned char>(t[i]))) ++i;
  return i;
}

bool parse_at(std::string_view t, size_t* pos, pdf_value* out, int depth);

bool parse_dict(std::string_view t, size_t* pos, pdf_value* out, int depth) {
  size_t i = *pos + 2;
  out->k = pdf_value::kind::dict;
  for (;;) {
    i = skip_space(t, i);
    if (i + 1 < t.size() && t[i] == '>' && t[i + 1] == '>') {
      *pos = i + 2;
      return true;
    }
    if (i >= t.size() || t[i] != '/') return false;
    const size_t e = regular_end(t, i + 1);
    pdf_entry entry;
    entry.key = t.substr(i + 1, e - i - 1);
    i = e;
    if (!parse_at(t, &i, &entry.value, depth + 1)) return false;
    out->keys.push_back(std::move(entry));
  }
}

bool parse_array(std::string_view t, size_t* pos, pdf_value* out, int depth) {
  size_t i = *pos + 1;
  out->k = pdf_value::kind::array;
  for (;;) {
    i = skip_space(t, i);
    if (i < t.size() && t[i] == ']') {
      *pos = i + 1;
      return true;
    }
    if (i >= t.size()) return false;
    pdf_value v;
    if (!parse_at(t, &i, &v, depth + 1)) return false;
    out->items.push_back(std::move(v));
  }
}

// A bare word at i (a number, a reference, or a token).
bool parse_word(std::string_view t, size_t* pos, pdf_value* out) {
  const size_t i = *pos, e = regular_end(t, i);
  if (e == i) return false;  // a lone delimiter: ) > ] { }
  const std::string_view w = t.substr(i, e - i);
  if (w == "obj" || w == "endobj" || w == "stream" || w == "endstream" || w == "R") return false;
  *pos = e;
  if (w == "null") {
    out->k = pdf_value::kind::null;
    return true;
  }
  double v;
  if (!number_token(w, &v)) {
    out->k = pdf_value::kind::token;
    out->text = w;
    return true;
  }
  out->k = pdf_value::kind::number;
  out->text = w;
  out->num = v;
  // "N G R", read as the resource copy reads a reference, so that both agree on what is one.
  if (!unsigned_int(w)) return true;
  const pos_t r = ref_tail_end(t.data(), pos_of(e), pos_of(t.size()), ref_gen::required);
  const int64_t num = static_cast<int64_t>(v);
  if (r < 0 || num > 0x7fffffff) return true;
  out->k = pdf_value::kind::ref;
  out->n = static_cast<int32_t>(num);
  out->text = {};
  *pos = static_cast<size_t>(r);
  return true;
}

bool parse_at(std::string_view t, size_t* pos, pdf_value* out, int depth) {
  if (depth > kMaxDepth) return false;
  size_t i = skip_space(t, *pos);
  if (i >= t.size()) return false;
  const char c = t[i];
  if (c == '<' && i + 1 < t.size() && t[i + 1] == '<') {
    *pos = i;
    return parse_dict(t, pos, out, depth);
  }
  if (c == '[') {
    *pos = i;
    return parse_array(t, pos, out, depth);
  }
  if (c == '(' || c == '<') {
    size_t stop;
    if (c == '(') {
      const pos_t e = skip_literal_string(t.data(), pos_of(i), pos_of(t.size()));
      if (e < 0) return false;
      stop = static_cast<size_t>(e);
    } else {
      const size_t e = t.find('>', i);
      if (e == std::string_view::npos) return false;
      stop = e + 1;
    }
    out->k = pdf_value::kind::string;
    out->text = t.substr(i, stop - i);
    *pos = stop;
    return true;
  }
  if (c == '/') {
    const size_t e = regular_end(t, i + 1);
    out->k = pdf_value::kind::name;
    out->text = t.substr(i, e - i);
    *pos = e;
    return true;
  }
  *pos = i;
  return parse_word(t, pos, out);
}

// The text of a plain object's value: after "N G obj", up to "stream" or "endobj".
bool plain_value_text(const doc& d, const obj_rec& o, std::string_view* out) {
  const char* data = d.data.get();
  pos_t p = o.dict_start;
  if (p < 0) {
    if (o.obj_start < 0 || o.obj_start >= d.len) return false;
    p = skip_obj_header(data, o.obj_start, d.len, obj_keyword::optional);
  }
  pos_t end = o.has_stream && o.stream_pos > 0 ? o.stream_pos : o.endobj_pos;
  if (end <= 0 || end > d.len) end = d.len;
  if (p < 0 || p >= end) return false;
  *out = std::string_view(data + p, static_cast<size_t>(end - p));
  return true;
}

}  // namespace

bool pdf_parse(std::string_view text, size_t* pos, pdf_value* out) {
  *out = pdf_value{};
  return parse_at(text, pos, out, 0);
}

bool obj_value(const doc& d, int32_t num, pdf_value* out) {
  const obj_rec* o = doc_find(d, num);
  if (o == nullptr) return false;
  std::string_view text;
  if (o->in_objstm) {
    if (o->text == nullptr || o->text_len <= 0) return false;
    text = std::string_view(o->text, static_cast<size_t>(o->text_len));
  } else if (!plain_value_text(d, *o, &text)) {
    return false;
  }
  size_t pos = 0;
  return pdf_parse(text, &pos, out);
}

bool obj_stream_data(const doc& d, int32_t num, std::string_view* out) {
  const obj_rec* o = doc_find(d, num);
  if (o == nullptr || !o->has_stream || o->in_objstm) return false;
  if (o->data_start < 0 || o->data_end < o->data_start || o->data_end > d.len) return false;
  *out = std::string_view(d.data.get() + o->data_start,
                          static_cast<size_t>(o->data_end - o->data_start));
  return true;
}

bool pdf_resolve(const doc& d, const pdf_value& v, pdf_value* out) {
  if (v.k != pdf_value::kind::ref) {
    *out = v;
    return true;
  }
  return obj_value(d, v.n, out);
}

const pdf_value* dict_get(const pdf_value& dict, std::string_view key) {
  if (dict.k != pdf_value::kind::dict) return nullptr;
  for (const pdf_entry& e : dict.keys)
    if (e.key == key) return &e.value;
  return nullptr;
}

pdf_value* dict_get(pdf_value& dict, std::string_view key) {
  return const_cast<pdf_value*>(dict_get(static_cast<const pdf_value&>(dict), key));
}

void dict_erase(pdf_value& dict, std::string_view key) {
  auto& k = dict.keys;
  for (size_t i = 0; i < k.size();) {
    if (k[i].key == key)
      k.erase(k.begin() + static_cast<std::ptrdiff_t>(i));
    else
      ++i;
  }
}

void dict_set(pdf_value& dict, std::string_view key, pdf_value v) {
  if (pdf_value* old = dict_get(dict, key)) {
    *old = std::move(v);
    return;
  }
  dict.keys.push_back({key, std::move(v)});
}

bool is_name(const pdf_value& v, std::string_view name) {
  return v.k == pdf_value::kind::name && v.text.size() == name.size() + 1 &&
         v.text.substr(1) == name;
}

bool as_number(const pdf_value& v, double* out) {
  if (v.k != pdf_value::kind::number) return false;
  *out = v.num;
  return true;
}

bool as_numbers(const pdf_value& v, std::vector<double>* out) {
  if (v.k != pdf_value::kind::array) return false;
  out->clear();
  for (const pdf_value& x : v.items) {
    double n;
    if (!as_number(x, &n)) return false;
    out->push_back(n);
  }
  return true;
}

pdf_value make_number(double v) {
  pdf_value x;
  x.k = pdf_value::kind::number;
  x.num = v;
  return x;
}

pdf_value make_name(std::string_view with_slash) {
  pdf_value x;
  x.k = pdf_value::kind::name;
  x.text = with_slash;
  return x;
}

pdf_value make_out_ref(int32_t n) {
  pdf_value x;
  x.k = pdf_value::kind::out_ref;
  x.n = n;
  return x;
}

pdf_value make_new_ref(int32_t index) {
  pdf_value x;
  x.k = pdf_value::kind::new_ref;
  x.n = index;
  return x;
}

pdf_value make_array(std::vector<pdf_value> items) {
  pdf_value x;
  x.k = pdf_value::kind::array;
  x.items = std::move(items);
  return x;
}

int32_t new_object_add(std::vector<new_object>& objs, pdf_value v, int source) {
  new_object o;
  o.value = std::move(v);
  o.source = source;
  objs.push_back(std::move(o));
  return static_cast<int32_t>(objs.size() - 1);
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string hex_bytes(std::string_view body) {
  std::string out;
  int hi = -1;
  for (char c : body) {
    const int v = hex_digit(c);
    if (v < 0) continue;
    if (hi < 0) {
      hi = v;
    } else {
      out += static_cast<char>(hi * 16 + v);
      hi = -1;
    }
  }
  if (hi >= 0) out += static_cast<char>(hi * 16);
  return out;
}

// The escape after a backslash at body[i]; returns the position after it.
size_t literal_escape(std::string_view body, size_t i, std::string& out) {
  const char c = body[i];
  static constexpr std::string_view from = "nrtbf()\\", to = "\n\r\t\b\f()\\";
  if (const size_t k = from.find(c); k != std::string_view::npos) {
    out += to[k];
    return i + 1;
  }
  if (c >= '0' && c <= '7') {
    int v = 0, n = 0;
    while (n < 3 && i < body.size() && body[i] >= '0' && body[i] <= '7') {
      v = v * 8 + (body[i++] - '0');
      ++n;
    }
    out += static_cast<char>(v & 0xff);
    return i;
  }
  if (c == '\r') return i + 1 < body.size() && body[i + 1] == '\n' ? i + 2 : i + 1;
  if (c != '\n') out += c;  // an unknown escape stands for the byte itself
  return i + 1;
}

}  // namespace

std::string string_bytes(std::string_view token) {
  if (token.size() < 2) return {};
  const std::string_view body = token.substr(1, token.size() - 2);
  if (token[0] == '<') return hex_bytes(body);
  std::string out;
  for (size_t i = 0; i < body.size();) {
    if (body[i] == '\\' && i + 1 < body.size()) {
      i = literal_escape(body, i + 1, out);
    } else if (body[i] == '\r') {  // an end of line inside a string reads as one line feed
      out += '\n';
      i += i + 1 < body.size() && body[i + 1] == '\n' ? 2 : 1;
    } else {
      out += body[i++];
    }
  }
  return out;
}

void pdf_write_number(double v, std::string& out) {
  out += fmt_num(v).view();
}

}  // namespace qm
