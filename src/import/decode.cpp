// Stream data through its filter chain: /Filter and /DecodeParms read, each stage decoded in turn.
//
// Lexical rules used here: a name is "/" followed by regular bytes (neither PDF white space nor a
// delimiter), in which #xx spells one byte; an array is "[" ... "]"; comments run from "%" to the
// next CR or LF and count as white space; a reference is "N G R".
#include "import/decode.h"

#include <algorithm>
#include <new>

#include "inflate/inflate.h"
#include "inflate/zlib_whole.h"
#include "reader/streamdict.h"

namespace qm {
namespace {

// The name whose "/" is at p; *next is the byte after it.
std::string_view name_at(const char* t, pos_t p, pos_t end, pos_t* next) {
  pos_t q = p + 1;
  while (q < end && is_regular(static_cast<unsigned char>(t[q]))) ++q;
  *next = q;
  return {t + p + 1, static_cast<size_t>(q - p - 1)};
}

// The keyword `null` as a whole token at p.
bool null_at(const char* t, pos_t p, pos_t end) {
  // Compared as a distance, so that a position near INT32_MAX cannot overflow.
  return p >= 0 && end - p >= 4 && t[p] == 'n' && t[p + 1] == 'u' && t[p + 2] == 'l' &&
         t[p + 3] == 'l' && (end - p == 4 || !is_regular(static_cast<unsigned char>(t[p + 4])));
}

// Reads the integer value of `key` in a parameter dictionary's text. 1 found (into *v), 0 absent,
// -1 present but not a direct integer.
int dict_int(std::string_view d, std::string_view key, int32_t* v) {
  const char* t = d.data();
  const pos_t n = static_cast<pos_t>(d.size());
  pos_t at = find_name_top(t, n, 0, n, key);
  if (at < 0) return 0;
  pos_t p = skip_ws_comments(t, at + 1 + static_cast<pos_t>(key.size()), n);
  pos_t q = p;
  bool ref = false;
  const int32_t x = parse_int_or_ref(t, n, &q, &ref);
  // "N G R" is an indirect value, which is not followed here.
  if (q == p || ref) return -1;
  *v = x;
  return 1;
}

bool parms_from_dict(std::string_view d, predictor_parms* pp) {
  struct key {
    std::string_view name;
    int32_t* field;
  };
  int32_t early = 1;
  const key keys[] = {{"Predictor", &pp->predictor},
                      {"Colors", &pp->colors},
                      {"BitsPerComponent", &pp->bpc},
                      {"Columns", &pp->columns},
                      {"EarlyChange", &early}};
  for (const key& k : keys) {
    if (dict_int(d, k.name, k.field) < 0) return false;
  }
  pp->early_change = early != 0 ? 1 : 0;
  return predictor_valid(*pp);
}

// One /DecodeParms entry at p: a dictionary (parsed into *pp) or null (defaults). *next is
// the byte after it. False for anything else.
bool parms_entry(const char* t, pos_t p, pos_t end, predictor_parms* pp, pos_t* next) {
  if (null_at(t, p, end)) {
    *pp = predictor_parms{};
    *next = p + 4;
    return true;
  }
  std::string d;
  if (!dict_text_at(t, end, p, &d)) return false;
  *pp = predictor_parms{};
  if (!parms_from_dict(d, pp)) return false;
  *next = p + static_cast<pos_t>(d.size());
  return true;
}

}  // namespace

bool read_filter_chain(const char* t, pos_t start, pos_t end, std::vector<filter_stage>* chain) {
  chain->clear();
  pos_t f = find_name_top(t, end, start, end, "Filter");
  if (f < 0) return true;
  pos_t p = skip_ws_comments(t, f + 7, end);
  if (p >= end) return false;
  pos_t next = p;
  if (t[p] == '/') {
    filter_stage s;
    if (!filter_by_name(name_at(t, p, end, &next), &s.kind)) return false;
    chain->push_back(s);
  } else if (t[p] == '[') {
    for (p = skip_ws_comments(t, p + 1, end);; p = skip_ws_comments(t, next, end)) {
      if (p >= end) return false;
      if (t[p] == ']') break;
      if (t[p] != '/') return false;
      filter_stage s;
      if (!filter_by_name(name_at(t, p, end, &next), &s.kind)) return false;
      chain->push_back(s);
    }
  } else if (null_at(t, p, end)) {
    return true;
  } else {
    return false;  // an indirect /Filter, or no name at all
  }
  if (chain->empty()) return true;

  pos_t dp = find_name_top(t, end, start, end, "DecodeParms");
  if (dp >= 0) {
    p = skip_ws_comments(t, dp + 12, end);
    if (p >= end) return false;
    if (t[p] == '[') {
      // One entry per filter, in order; missing entries mean no parameters.
      size_t i = 0;
      for (p = skip_ws_comments(t, p + 1, end);; p = skip_ws_comments(t, next, end)) {
        if (p >= end) return false;
        if (t[p] == ']') break;
        predictor_parms pp;
        if (!parms_entry(t, p, end, &pp, &next)) return false;
        if (i < chain->size()) (*chain)[i].parms = pp;
        ++i;
      }
    } else {
      // A single dictionary (or null) applies to every filter of the chain.
      predictor_parms pp;
      if (!parms_entry(t, p, end, &pp, &next)) return false;
      for (filter_stage& s : *chain) s.parms = pp;
    }
  }
  // Predictors follow only Flate and LZW; the other filters take no such parameters.
  for (filter_stage& s : *chain) {
    if (s.kind != filter_kind::flate && s.kind != filter_kind::lzw) s.parms.predictor = 1;
  }
  return true;
}

bool flate_alone(const char* t, pos_t start, pos_t end) {
  pos_t f = find_name_top(t, end, start, end, "Filter");
  if (f < 0) return false;
  pos_t p = skip_ws_comments(t, f + 7, end);
  if (p >= end) return false;
  const bool array = t[p] == '[';
  if (array) p = skip_ws_comments(t, p + 1, end);
  if (p >= end || t[p] != '/') return false;
  pos_t next;
  const std::string_view name = name_at(t, p, end, &next);
  if (name != "FlateDecode" && name != "Fl") return false;
  if (array) {
    p = skip_ws_comments(t, next, end);
    if (p >= end || t[p] != ']') return false;
  }
  pos_t dp = find_name_top(t, end, start, end, "DecodeParms");
  if (dp < 0) return true;
  p = skip_ws_comments(t, dp + 12, end);
  if (null_at(t, p, end)) return true;
  if (p + 1 >= end || t[p] != '<' || t[p + 1] != '<') return false;
  p = skip_ws_comments(t, p + 2, end);
  return p + 1 < end && t[p] == '>' && t[p + 1] == '>';
}

bool inflate_into(std::string_view in, buf& b, uint64_t* whole) {
  if (whole) *whole = 0;
  const size_t base = b.len;
  // The first offer is cut to the decoder's limit rather than refused.
  const uint64_t first =
      std::min<uint64_t>(static_cast<uint64_t>(in.size()) * 20 + 4096, kInflateMaxCap);
  bool again = false;
  uint64_t produced = 0;
  inflate_end end;
  const auto* src = reinterpret_cast<const unsigned char*>(in.data());
  const int r = inflate_growing(
      src, in.size(), first,
      [&](uint64_t cap) {
        // The failed attempt's bytes are of no use. When the buffer holds nothing else, its block
        // is let go before the larger one is taken, instead of being grown: growing would copy
        // the whole old block (up to 256 MiB of discarded output) and hold both blocks at once.
        if (again && base == 0) buf_free(b);
        again = true;
        buf_reserve(b, cap);
        return reinterpret_cast<unsigned char*>(b.data + base);
      },
      &produced, whole ? &end : nullptr);
  if (r != 0) return false;
  if (whole)
    *whole = zlib_whole_length(src, in.size(), end,
                               reinterpret_cast<const unsigned char*>(b.data + base), produced);
  buf_commit(b, produced);
  return true;
}

namespace {

// Runs the chain over `raw` and appends the final output to `lent`. The stages in between keep
// their output in two alternating holders: a buf for Flate (written in place by the decoder), a
// string for the others.
bool run_chain(std::string_view raw, const std::vector<filter_stage>& chain, buf& lent) {
  struct holder {
    buf b;
    std::string s;
  };
  holder h[2];
  std::string_view cur = raw;
  for (size_t i = 0; i < chain.size(); ++i) {
    const filter_stage& st = chain[i];
    const bool last = i + 1 == chain.size();
    holder& o = h[i % 2];
    o.s.clear();
    o.b.len = 0;
    bool ok = true;
    switch (st.kind) {
      case filter_kind::flate:
        if (last && st.parms.predictor == 1) return inflate_into(cur, lent);
        ok = inflate_into(cur, o.b);
        break;
      case filter_kind::lzw:
        ok = lzw_decode(cur, st.parms.early_change, o.s);
        break;
      case filter_kind::ahx:
        ok = ahx_decode(cur, o.s);
        break;
      case filter_kind::a85:
        ok = a85_decode(cur, o.s);
        break;
      case filter_kind::rl:
        ok = rl_decode(cur, o.s);
        break;
    }
    if (!ok) return false;
    if (st.kind == filter_kind::flate) {
      cur = o.b.view();
      if (st.parms.predictor != 1) {
        if (!predictor_decode(cur, st.parms, o.s)) return false;
        cur = o.s;
      }
    } else if (st.parms.predictor != 1) {
      std::string un;
      if (!predictor_decode(o.s, st.parms, un)) return false;
      o.s.swap(un);
      cur = o.s;
    } else {
      cur = o.s;
    }
  }
  buf_append(lent, cur.data(), cur.size());
  return true;
}

}  // namespace

bool decoded_stream(const char* data, int32_t len, const obj_rec& o, buf& lent,
                    std::string_view* out) {
  if (!o.has_stream || o.in_objstm || data == nullptr) return false;
  if (o.data_start < 0 || o.data_end > len || o.data_end <= o.data_start) return false;
  const std::string_view raw(data + o.data_start, static_cast<size_t>(o.data_end - o.data_start));
  const size_t base = lent.len;
  try {
    std::vector<filter_stage> chain;
    span s;
    if (o.dict_start >= 0 && dict_span(data, len, o, &s)) {
      if (!read_filter_chain(s.t, s.start, s.end, &chain)) return false;
    }
    if (chain.empty()) {
      *out = raw;
      return true;
    }
    if (!run_chain(raw, chain, lent)) {
      if (lent.data && lent.len >= base) {
        lent.len = base;
        lent.data[base] = 0;
      }
      return false;
    }
  } catch (const std::bad_alloc&) {
    // No room for this stream's decoded bytes: the stream is left out, as an undecodable one is.
    if (lent.data && lent.len >= base) {
      lent.len = base;
      lent.data[base] = 0;
    }
    return false;
  }
  *out = lent.data ? std::string_view(lent.data + base, lent.len - base) : std::string_view();
  return true;
}

}  // namespace qm
