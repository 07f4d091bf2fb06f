// Resource closure and renumbering: finding resources, following references, copying objects.
//
// Lexical rules used here. An indirect reference is a run of decimal digits N that begins a
// token (the byte before it is PDF white space, a delimiter ( ) < > [ ] { } / % or the start of
// the text), then any white space, optionally a second digit run (the generation number, any
// value), any white space, and the letter R, which must end the text or be followed by a byte that
// is not alphanumeric: "12 0 R", "12 R" and "12R" all name object 12. N wraps in 32 bits. Strings,
// names and comments are not told apart from other text: a reference inside a string counts.
// Copied dictionaries end at the ">>" that balances their "<<", skipping literal strings (with
// nesting and backslash escapes) and comments (from % to the next CR or LF).
#include "import/resources.h"

#include <algorithm>
#include <unordered_set>

#include "reader/streamdict.h"
#include "text/numfmt.h"

namespace qm {
namespace {

constexpr size_t npos = std::string_view::npos;

bool token_start(std::string_view t, size_t i) {
  if (i == 0) return true;
  unsigned char c = static_cast<unsigned char>(t[i - 1]);
  return is_ws(c) || is_delim(c);
}

// The digit run at i, taken as the start of a reference: *n its number (wrapping in 32 bits) and
// *e the end of the run; returns the position after the reference's "R", or npos when the run
// does not start a reference. (The texts come from one input file, so their positions fit a
// pos_t.)
size_t ref_at(std::string_view t, size_t i, int32_t* n, size_t* e) {
  const auto end = static_cast<pos_t>(t.size());
  pos_t q = static_cast<pos_t>(i);
  *n = parse_int_at(t.data(), end, &q);
  *e = static_cast<size_t>(q);
  if (!token_start(t, i)) return npos;
  const pos_t r = ref_tail_end(t.data(), q, end, ref_gen::optional);
  return r < 0 ? npos : static_cast<size_t>(r);
}

// Calls f(N) for every reference in the text, in order.
template <class F>
void for_each_ref(std::string_view t, F f) {
  size_t i = 0;
  while (i < t.size()) {
    if (!is_digit(static_cast<unsigned char>(t[i]))) {
      ++i;
      continue;
    }
    int32_t n = 0;
    size_t e = 0;
    const size_t after = ref_at(t, i, &n, &e);
    if (e >= t.size()) return;  // the text ends inside the number
    if (after != npos) {
      f(n);
      i = after;
    } else {
      i = e;  // a generation number that led to no R is a candidate of its own
    }
  }
}

// The dictionary span's end of a record that has one (plain with dict_start >= 0, or an entry
// with text).
bool obj_span(const doc& d, const obj_rec& o, span* s) {
  if (o.in_objstm && o.text == nullptr) return false;
  return dict_span(d.data.get(), d.len, o, s);
}

// The resources value at the /Resources key found in s.
bool resources_value(const doc& d, const span& s, pos_t key, std::string* out) {
  pos_t p = skip_ws(s.t, key + 10, s.end);
  if (p >= s.end) return false;
  if (s.t[p] == '<') return dict_text_at(s.t, s.end, p, out);
  if (!is_digit(static_cast<unsigned char>(s.t[p]))) return false;
  int32_t n = parse_int_at(s.t, s.end, &p);
  if (n <= 0) return false;
  const obj_rec* o = doc_find(d, n);
  if (o == nullptr) return false;
  if (o->in_objstm) {
    if (o->text == nullptr) return false;
    for (pos_t i = 0; i < o->text_len; ++i) {
      if (o->text[i] == '<') return dict_text_at(o->text, o->text_len, i, out);
    }
    return false;
  }
  span ps;
  if (o->dict_start < 0 || !dict_span(d.data.get(), d.len, *o, &ps)) return false;
  return dict_text_at(d.data.get(), ps.end, o->dict_start, out);
}

}  // namespace

void map_build(renum_map& m, const std::vector<int32_t>& closure, int32_t first_new) {
  m.old_num = closure;
  m.new_num.resize(closure.size());
  for (size_t i = 0; i < closure.size(); ++i)
    m.new_num[i] = static_cast<int32_t>(static_cast<int64_t>(first_new) + static_cast<int64_t>(i));
  // Numbers from 0 up to a bound proportional to the map's size are indexed directly; the rest
  // (negative, or far above) go to a sorted side table.
  int64_t top = -1;
  for (int32_t n : closure) top = std::max<int64_t>(top, n);
  const int64_t dense =
      std::min<int64_t>(top + 1, static_cast<int64_t>(closure.size()) * 8 + 65536);
  m.first.assign(static_cast<size_t>(std::max<int64_t>(dense, 0)), -1);
  m.far.clear();
  for (size_t i = 0; i < closure.size(); ++i) {
    int32_t n = closure[i];
    if (n >= 0 && n < dense) {
      if (m.first[static_cast<size_t>(n)] < 0)
        m.first[static_cast<size_t>(n)] = static_cast<int32_t>(i);
    } else {
      m.far.emplace_back(n, static_cast<int32_t>(i));
    }
  }
  // Sorting by (number, index) keeps each number's first entry in front of its later ones.
  std::sort(m.far.begin(), m.far.end());
}

int32_t map_lookup(const renum_map& m, int32_t old) {
  int32_t idx = -1;
  if (old >= 0 && static_cast<size_t>(old) < m.first.size()) {
    idx = m.first[static_cast<size_t>(old)];
  } else {
    auto it =
        std::lower_bound(m.far.begin(), m.far.end(), std::pair<int32_t, int32_t>(old, INT32_MIN));
    if (it != m.far.end() && it->first == old) idx = it->second;
  }
  if (idx < 0 || static_cast<size_t>(idx) >= m.new_num.size()) return -1;
  int32_t nw = m.new_num[static_cast<size_t>(idx)];
  return nw > 0 ? nw : -1;
}

bool page_resources_dict(const doc& d, const span& s, std::string* out) {
  if (s.t == nullptr || s.start < 0 || s.end <= s.start) return false;
  pos_t key = find_name_top(s.t, s.end, s.start, s.end, "Resources");
  if (key < 0) return false;
  return resources_value(d, s, key, out);
}

bool page_resources_dict_deep(const doc& d, const span& s, int depth, std::string* out) {
  span cur = s;
  for (; depth > 0; --depth) {
    if (cur.t == nullptr || cur.start < 0 || cur.end <= cur.start) return false;
    pos_t key = find_name_top(cur.t, cur.end, cur.start, cur.end, "Parent");
    if (key < 0) return false;
    const int32_t n = int_after_key(cur.t, key, "Parent", cur.end);
    if (n <= 0) return false;
    const obj_rec* o = doc_find(d, n);
    if (o == nullptr) return false;
    span ps;
    if (!obj_span(d, *o, &ps)) return false;
    if (page_resources_dict(d, ps, out)) return true;
    cur = ps;  // then the parent's own /Parent, while the depth lasts
  }
  return false;
}

namespace {

// The number that the /Parent key at the top level of s names, as the walk up the tree reads it;
// 0 when s has no such key.
int32_t parent_number(const span& s) {
  if (s.t == nullptr || s.start < 0 || s.end <= s.start) return 0;
  pos_t key = find_name_top(s.t, s.end, s.start, s.end, "Parent");
  if (key < 0) return 0;
  return int_after_key(s.t, key, "Parent", s.end);
}

const ancestor_memo::node& ancestor(const doc& d, int32_t n, ancestor_memo& memo) {
  auto it = memo.nodes.find(n);
  if (it != memo.nodes.end()) return it->second;
  ancestor_memo::node nd;
  const obj_rec* o = doc_find(d, n);
  span ps;
  if (o != nullptr && obj_span(d, *o, &ps)) {
    nd.usable = true;
    nd.found = page_resources_dict(d, ps, &nd.res);
    if (!nd.found) nd.parent = parent_number(ps);
  }
  return memo.nodes.emplace(n, std::move(nd)).first->second;
}

}  // namespace

bool page_resources_text(const doc& d, const span& s, ancestor_memo& memo, std::string* out) {
  if (page_resources_dict(d, s, out)) return true;
  // The same walk as page_resources_dict_deep with 32 levels, each level read from the memo.
  int32_t n = parent_number(s);
  for (int depth = 32; depth > 0; --depth) {
    if (n <= 0) return false;
    const ancestor_memo::node& nd = ancestor(d, n, memo);
    if (!nd.usable) return false;
    if (nd.found) {
      *out = nd.res;
      return true;
    }
    n = nd.parent;
  }
  return false;
}

void collect_text_refs(std::string_view text, std::vector<int32_t>& out) {
  for_each_ref(text, [&](int32_t n) { out.push_back(n); });
}

void collect_resources(const doc& d, const std::vector<int32_t>& seeds,
                       std::vector<int32_t>& closure) {
  closure.clear();
  // Membership: one mark per object number the document can hold, and a set for the numbers
  // outside that range (dangling references may name any number).
  const int32_t top = d.max_objnum > 0 ? d.max_objnum : 0;
  std::vector<uint8_t> marks(static_cast<size_t>(top) + 1, 0);
  std::unordered_set<int32_t> others;
  auto member = [&](int32_t r) {
    return r >= 0 && r <= top ? marks[static_cast<size_t>(r)] != 0 : others.count(r) != 0;
  };
  auto add = [&](int32_t r) {
    if (r >= 0 && r <= top)
      marks[static_cast<size_t>(r)] = 1;
    else
      others.insert(r);
    closure.push_back(r);
  };
  // The seeds go in as they are, duplicates included.
  for (int32_t r : seeds) add(r);
  size_t level_start = 0;
  while (level_start < closure.size()) {
    const size_t level_end = closure.size();
    for (size_t k = level_start; k < level_end; ++k) {
      const obj_rec* o = doc_find(d, closure[k]);
      if (o == nullptr) continue;
      std::string_view text;
      span s;
      if (o->in_objstm) {
        if (o->text == nullptr || o->text_len <= 0) continue;
        text = {o->text, static_cast<size_t>(o->text_len)};
      } else if (o->dict_start >= 0) {
        // Only the dictionary: a stream's data is never scanned.
        if (!dict_span(d.data.get(), d.len, *o, &s) || s.end <= s.start) continue;
        text = {s.t + s.start, static_cast<size_t>(s.end - s.start)};
      } else {
        if (o->has_stream || o->obj_start < 0) continue;
        pos_t end = o->endobj_pos > 0 ? o->endobj_pos : d.len;
        if (end > d.len) end = d.len;
        if (end <= o->obj_start) continue;
        text = {d.data.get() + o->obj_start, static_cast<size_t>(end - o->obj_start)};
      }
      for_each_ref(text, [&](int32_t r) {
        if (!member(r)) add(r);
      });
    }
    level_start = level_end;
  }
}

void keep_first_of_each(std::vector<int32_t>& list) {
  std::unordered_set<int32_t> seen;
  seen.reserve(list.size());
  size_t n = 0;
  for (int32_t r : list)
    if (seen.insert(r).second) list[n++] = r;
  list.resize(n);
}

std::string remap_res_text(std::string_view text, const renum_map& m) {
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 16);
  size_t i = 0;
  while (i < text.size()) {
    if (!is_digit(static_cast<unsigned char>(text[i]))) {
      size_t j = i + 1;
      while (j < text.size() && !is_digit(static_cast<unsigned char>(text[j]))) ++j;
      out.append(text, i, j - i);
      i = j;
      continue;
    }
    int32_t n = 0;
    size_t e = 0;
    const size_t after = ref_at(text, i, &n, &e);
    if (after != npos) {
      int32_t nw = map_lookup(m, n);
      if (nw > 0) {
        out += fmt_int(nw).view();
        out += " 0 R";
        i = after;
        continue;
      }
    }
    out.append(text, i, e - i);
    i = e;
  }
  return out;
}

}  // namespace qm
