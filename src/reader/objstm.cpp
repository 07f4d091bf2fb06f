// Object streams: decoding each /Type /ObjStm stream once and adding one entry per object in it.
//
// A decoded object stream starts with N pairs of integers "objnum offset" from position 0; the
// objects' texts follow from position /First, each offset counted from /First. An object's text
// runs to the next object's offset, the last one to the end of the decoded data.
#include "reader/objstm.h"

#include <cstring>
#include <map>
#include <new>
#include <tuple>

#include "inflate/inflate.h"

namespace qm {

namespace {

constexpr int64_t kMaxRawLen = 268435456;   // larger object streams are not read (256 MiB)
constexpr int32_t kMaxObjects = 100000;     // objects per stream
constexpr int64_t kMaxObjectLen = 1048576;  // bytes per object text

// The dictionary text of a plain stream record: from its "<<" to the "stream" keyword.
span stream_dict(const char* data, int32_t len, const obj_rec& o) {
  span s;
  s.t = data;
  s.start = o.dict_start;
  s.end = o.stream_pos <= 0 ? len : o.stream_pos;
  return s;
}

// The first occurrence of /name in the span whose integer (after white space) is at least `min`,
// remembered across records whose dictionaries share an end; its integer, or -1.
int32_t first_int_after(const span& s, std::string_view name, int32_t min, search_memo& m) {
  auto int_at = [&](pos_t k) { return int_after_key(s.t, k, name, s.end); };
  pos_t k = memo_search(m, s.start, s.end, [&](pos_t x) {
    for (pos_t n = find_name(s.t, s.end, x, s.end, name); n >= 0;
         n = find_name(s.t, s.end, n + 1, s.end, name))
      if (int_at(n) >= min) return n;
    return pos_t{-1};
  });
  return k >= 0 ? int_at(k) : -1;
}

// Decodes the stream's data into a new block; returns it (null when unreadable) and sets *n to
// the decoded length.
std::unique_ptr<char[]> decode(const char* data, const obj_rec& o, bool flate, int64_t* n) {
  const int64_t raw = static_cast<int64_t>(o.data_end) - o.data_start;
  if (!flate) {
    // Stored as it is: the raw bytes are the text.
    std::unique_ptr<char[]> b(new (std::nothrow) char[static_cast<size_t>(raw > 0 ? raw : 1)]);
    if (!b) return nullptr;
    if (raw > 0) std::memcpy(b.get(), data + o.data_start, static_cast<size_t>(raw));
    *n = raw;
    return b;
  }
  // Most streams fit in eight times their compressed size; a stream that does not is decoded
  // again from the start into a block four times larger, and the smaller block is let go first.
  // A first block above the decoder's 1 GiB limit could never be used: such a stream is unread.
  std::unique_ptr<char[]> b;
  uint64_t produced = 0;
  const int r = inflate_growing(
      reinterpret_cast<const unsigned char*>(data + o.data_start), static_cast<uint64_t>(raw),
      static_cast<uint64_t>(8 * raw + 64),
      [&](uint64_t cap) {
        b.reset();
        b.reset(new (std::nothrow) char[static_cast<size_t>(cap)]);
        return reinterpret_cast<unsigned char*>(b.get());
      },
      &produced);
  if (r != 0) return nullptr;
  *n = static_cast<int64_t>(produced);
  return b;
}

// One object stream as its dictionary describes it. Two streams with the same data, filter, /N
// and /First yield the same entries.
struct objstm_plan {
  size_t index;  // in the working table
  int32_t data_start, data_end;
  bool flate;
  int32_t n, first;
  bool same_as(const objstm_plan& o) const {
    return data_start == o.data_start && data_end == o.data_end && flate == o.flate && n == o.n &&
           first == o.first;
  }
};

// A decoded object stream: its text in a block of the document, or null when unreadable.
struct decoded {
  const char* text = nullptr;
  int64_t len = 0;
};

// Appends the entries of the decoded text, read with the plan's /N and /First.
void add_entries(doc& d, const objstm_plan& pl, const decoded& dec) {
  const int32_t n = pl.n, first = pl.first;
  const int64_t declen = dec.len;
  if (first > declen) return;
  // The header: n pairs "objnum offset", read one integer after the other.
  const pos_t end = static_cast<pos_t>(declen);
  std::vector<int32_t> nums(static_cast<size_t>(n)), offs(static_cast<size_t>(n));
  pos_t p = 0;
  for (int32_t k = 0; k < n; ++k) {
    nums[k] = read_int_adv(dec.text, end, &p);
    if (nums[k] < 0) return;
    offs[k] = read_int_adv(dec.text, end, &p);
    if (offs[k] < 0) return;
  }
  for (int32_t k = 0; k < n; ++k) {
    int64_t at = static_cast<int64_t>(first) + offs[k];
    int64_t tl = k + 1 < n ? static_cast<int64_t>(offs[k + 1]) - offs[k] : declen - at;
    if (nums[k] <= 0 || tl < 1 || tl > kMaxObjectLen || at + tl > declen) continue;
    obj_rec e;
    e.num = nums[k];
    e.in_objstm = 1;
    e.text = dec.text + at;
    e.text_len = static_cast<int32_t>(tl);
    d.objects.push_back(e);
  }
}

}  // namespace

bool is_objstm_container(const char* data, int32_t len, const obj_rec& o, search_memo& m) {
  if (o.in_objstm || !o.has_stream || o.dict_start < 0) return false;
  span s = stream_dict(data, len, o);
  return memo_find_name(m, s.t, s.start, s.end, "ObjStm") >= 0;
}

bool is_objstm_container(const char* data, int32_t len, const obj_rec& o) {
  search_memo m;
  return is_objstm_container(data, len, o, m);
}

void expand_objstms(doc& d) {
  const char* data = d.data.get();
  // What each object stream's dictionary says. A stream that is too large, or whose /N or /First
  // is unusable, yields nothing whether or not it decodes, and is not planned.
  std::vector<objstm_plan> plans;
  search_memo objstm_key, flate_key, n_key, first_key;
  for (size_t i = 0; i < d.objects.size(); ++i) {
    const obj_rec& o = d.objects[i];
    if (!is_objstm_container(data, d.len, o, objstm_key)) continue;
    if (o.data_start < 0 || o.data_end < o.data_start) continue;
    if (static_cast<int64_t>(o.data_end) - o.data_start > kMaxRawLen) continue;
    const span s = stream_dict(data, d.len, o);
    objstm_plan pl;
    pl.index = i;
    pl.data_start = o.data_start;
    pl.data_end = o.data_end;
    pl.flate = memo_find_name(flate_key, s.t, s.start, s.end, "FlateDecode") >= 0;
    pl.n = first_int_after(s, "N", 1, n_key);
    pl.first = first_int_after(s, "First", 0, first_key);
    if (pl.n < 1 || pl.first < 0 || pl.n > kMaxObjects) continue;
    plans.push_back(pl);
  }
  // A stream whose entries a later stream repeats exactly contributes nothing to the final table
  // (the later copy of every number wins), so only the last of such a group is expanded. Records
  // that share one stream's data arise from objects whose value starts with a hex string.
  std::vector<bool> expand(plans.size(), true);
  for (size_t a = 0; a + 1 < plans.size(); ++a)
    if (plans[a].same_as(plans[a + 1])) expand[a] = false;
  // Each stream's data is decoded once, however many records share it.
  std::map<std::tuple<int32_t, int32_t, bool>, decoded> done;
  for (size_t a = 0; a < plans.size(); ++a) {
    if (!expand[a]) continue;
    const objstm_plan& pl = plans[a];
    auto [it, fresh] = done.try_emplace({pl.data_start, pl.data_end, pl.flate});
    if (fresh) {
      int64_t n = 0;
      std::unique_ptr<char[]> block = decode(data, d.objects[pl.index], pl.flate, &n);
      if (block) {
        it->second.text = block.get();
        it->second.len = n;
        d.blocks.push_back(std::move(block));
      }
    }
    if (it->second.text) add_entries(d, pl, it->second);
  }
}

}  // namespace qm
