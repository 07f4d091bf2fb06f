// Loading one PDF: reading the file, finding every object by scanning, settling stream extents.
//
// Objects are found by scanning the whole text for headers "N G obj", never through the
// cross-reference offsets, so files with missing or damaged cross-reference data still load:
//   - "obj" must be a whole token, preceded by C-locale white space, a generation number, more
//     white space and the object number N (> 0), whose first digit starts the file or follows a
//     byte that is not a letter or digit.
//   - A value starting with "<" is a dictionary; when "stream" follows its balancing ">>", the
//     object is a stream, whose data starts after the end-of-line that follows "stream".
//   - Every object ends at the first whole-token "endobj" after its value (after its data for a
//     stream).
// The scan does not skip what it has found, so "objects" inside stream data are found as well and
// discarded once every stream's extent is known.
#include "reader/load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "reader/objstm.h"
#include "reader/pagetree.h"
#include "reader/search_memo.h"
#include "reader/streamdict.h"
#include "reader/trailer.h"
#include "text/msg.h"

namespace qm {

namespace {

// The first whole-token keyword at or after x, remembered (see search_memo.h): keeps the scan
// linear on files where "endobj" or "endstream" is missing.
struct kw_finder {
  const char* t;
  pos_t len;
  std::string_view kw;
  search_memo m;
  pos_t operator()(pos_t x) {
    return memo_search(m, x, len, [&](pos_t s) { return find_kw(t, len, s, kw); });
  }
};

// Where the data of a stream starts, given its "stream" keyword at s: after the end-of-line (LF,
// CR LF or CR, spaces and tabs allowed before it), else one byte after the keyword.
pos_t stream_data_start(const char* t, pos_t len, pos_t s) {
  const int64_t after = static_cast<int64_t>(s) + 6;
  if (after >= len) return static_cast<pos_t>(after);
  pos_t p = static_cast<pos_t>(after);
  while (p < len && (byte_at(t, p) == ' ' || byte_at(t, p) == '\t')) ++p;
  if (p < len && byte_at(t, p) == '\n') return p + 1;
  if (p < len && byte_at(t, p) == '\r')
    return p + 1 < len && byte_at(t, p + 1) == '\n' ? p + 2 : p + 1;
  return s + 7;
}

// The object number before the "obj" keyword at p, and the offset of its first digit; false when
// the text before p is not "N G " with N > 0.
bool object_header(const char* t, pos_t p, int32_t* num, pos_t* start) {
  pos_t q = p - 1;
  if (q < 0 || !is_cspace(byte_at(t, q))) return false;
  while (q >= 0 && is_cspace(byte_at(t, q))) --q;
  if (q < 0 || !is_digit(byte_at(t, q))) return false;
  while (q >= 0 && is_digit(byte_at(t, q))) --q;  // the generation number
  if (q < 0 || !is_cspace(byte_at(t, q))) return false;
  while (q >= 0 && is_cspace(byte_at(t, q))) --q;
  if (q < 0 || !is_digit(byte_at(t, q))) return false;
  const pos_t last = q;
  while (q >= 0 && is_digit(byte_at(t, q))) --q;
  if (q >= 0 && is_alnum(byte_at(t, q))) return false;
  const pos_t first = q + 1;
  // Numbers too large for any table saturate; they are dropped with the final table.
  int64_t n = 0;
  for (pos_t i = first; i <= last; ++i) {
    n = n * 10 + (byte_at(t, i) - '0');
    if (n > std::numeric_limits<int32_t>::max()) n = std::numeric_limits<int32_t>::max();
  }
  if (n <= 0) return false;
  *num = static_cast<int32_t>(n);
  *start = first;
  return true;
}

}  // namespace

// Every object header in the file, in file order, into the working table.
void scan_objects(doc& d) {
  const char* t = d.data.get();
  const pos_t len = d.len;
  kw_finder endobj{t, len, "endobj", {}};
  dict_end_memo dicts = dict_end_memo_make(t, len);
  pos_t last_s = -1, last_data = -1;  // objects whose value starts with a hex string may share
  for (pos_t p = 0; p <= len - 3; ++p) {
    const void* hit = std::memchr(t + p, 'o', static_cast<size_t>(len - 2 - p));
    if (!hit) break;
    p = static_cast<pos_t>(static_cast<const char*>(hit) - t);
    if (t[p + 1] != 'b' || t[p + 2] != 'j' || !kw_at(t, p, len, "obj")) continue;
    obj_rec o;
    if (!object_header(t, p, &o.num, &o.obj_start)) continue;
    pos_t q = skip_ws(t, p + 3, len);
    if (q < len && t[q] == '<') {
      o.dict_start = q;
      pos_t s = dict_stream_kw(dicts, q);
      if (s >= 0) {
        o.stream_pos = s;
        o.has_stream = 1;
        if (s != last_s) last_data = stream_data_start(t, len, last_s = s);
        o.data_start = last_data;
      } else {
        o.endobj_pos = endobj(q);
        if (o.endobj_pos < 0) continue;
      }
    } else {
      o.endobj_pos = endobj(p + 3);
      if (o.endobj_pos < 0) continue;
    }
    d.objects.push_back(o);
  }
}

namespace {

// The integer value of a plain object, read after its header "N G obj"; -1 when there is none.
int32_t object_int_value(const char* t, pos_t len, const obj_rec& o) {
  pos_t p = skip_obj_header(t, o.obj_start, len, obj_keyword::optional);
  if (p < 0 || p >= len) return -1;
  return parse_int_at(t, len, &p);
}

}  // namespace

// The extent of every stream's data, from /Length when it proves right, else from the
// "endstream" keyword; and the "endobj" after the data.
void settle_streams(doc& d) {
  const char* t = d.data.get();
  const pos_t len = d.len;
  std::vector<obj_rec>& objs = d.objects;

  // An indirect /Length names the first record with that number, in table order.
  std::vector<std::pair<int32_t, int32_t>> by_num;
  by_num.reserve(objs.size());
  for (size_t i = 0; i < objs.size(); ++i)
    by_num.emplace_back(objs[i].num, static_cast<int32_t>(i));
  std::sort(by_num.begin(), by_num.end());
  auto first_with = [&](int32_t num) -> const obj_rec* {
    auto it = std::lower_bound(by_num.begin(), by_num.end(), std::make_pair(num, int32_t{-1}));
    if (it == by_num.end() || it->first != num) return nullptr;
    return &objs[static_cast<size_t>(it->second)];
  };

  kw_finder endstream{t, len, "endstream", {}};
  kw_finder endobj{t, len, "endobj", {}};
  search_memo length_key;
  int64_t last_e = -1;
  bool last_accepted = false;
  for (obj_rec& o : objs) {
    if (!o.has_stream) continue;
    // The first /Length that settles the reading (parse_length, remembered across records that
    // share the dictionary's end).
    const pos_t end = o.stream_pos;
    const pos_t k = memo_search(length_key, o.dict_start, end, [&](pos_t x) {
      int32_t dv, rv;
      for (pos_t n = find_name(t, len, x, end, "Length"); n >= 0;
           n = find_name(t, len, n + 1, end, "Length"))
        if (parse_length_at(t, len, n, end, &dv, &rv)) return n;
      return pos_t{-1};
    });
    int32_t direct = -1, ref = -1;
    if (k >= 0) parse_length_at(t, len, k, end, &direct, &ref);
    int32_t length = direct;
    if (length < 0 && ref >= 0) {
      const obj_rec* lo = first_with(ref);
      if (lo && !lo->has_stream) length = object_int_value(t, len, *lo);
    }
    if (length < 0) continue;  // unknown: the stream is discarded with the false objects

    // The length is right when "endstream" follows it after white space.
    const int64_t e = static_cast<int64_t>(o.data_start) + length;
    if (e != last_e) {
      last_e = e;
      last_accepted = false;
      if (e < len) {
        int64_t q = e;
        while (q < len && is_cspace(byte_at(t, static_cast<pos_t>(q)))) ++q;
        last_accepted = q + 9 <= len && std::string_view(t + q, 9) == "endstream";
      }
    }
    const bool accepted = last_accepted;
    if (accepted) {
      o.data_end = static_cast<pos_t>(e);
    } else {
      const pos_t es = o.data_start < len ? endstream(o.data_start + 1) : -1;
      if (es < 0) {
        o.data_end = len;
      } else if (es <= o.data_start) {
        o.data_end = o.data_start;
      } else {
        // The end-of-line before "endstream" belongs to the keyword, not to the data.
        pos_t de = es;
        if (byte_at(t, de - 1) == '\n') {
          --de;
          if (de - 1 >= o.data_start && byte_at(t, de - 1) == '\r') --de;
        } else if (byte_at(t, de - 1) == '\r') {
          --de;
        }
        o.data_end = de;
      }
    }
    o.endobj_pos = o.data_end < len ? endobj(o.data_end + 1) : -1;
  }
}

// Drops stream records left unfinished and every record that starts inside stream data.
// Dropping moves the last record into the freed slot.
void discard_false_objects(doc& d) {
  std::vector<obj_rec>& objs = d.objects;
  std::vector<std::pair<int32_t, int32_t>> ranges;  // (data_start, data_end)
  for (const obj_rec& o : objs)
    if (o.has_stream && o.data_start >= 0 && o.data_start < o.data_end)
      ranges.emplace_back(o.data_start, o.data_end);
  // Ordered by start; the order among equal starts does not matter, since only the largest end
  // up to each range is consulted.
  std::sort(ranges.begin(), ranges.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<int32_t> max_end(ranges.size());
  int32_t m = std::numeric_limits<int32_t>::min();
  for (size_t k = 0; k < ranges.size(); ++k) max_end[k] = m = std::max(m, ranges[k].second);

  auto inside_stream = [&](pos_t start) {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), start,
                               [](pos_t v, const auto& r) { return v < r.first; });
    if (it == ranges.begin()) return false;
    return start < max_end[static_cast<size_t>(it - ranges.begin()) - 1];
  };

  size_t i = 0;
  while (i < objs.size()) {
    const obj_rec& o = objs[i];
    if ((o.has_stream && o.endobj_pos < 0) || inside_stream(o.obj_start)) {
      objs[i] = objs.back();
      objs.pop_back();
    } else {
      ++i;
    }
  }
}

// One record per object number. Among plain copies the last in table order wins; a plain
// object wins over an object-stream entry; among entries the last one wins. Object streams and
// numbers beyond the PDF limit are dropped.
void build_final_table(doc& d) {
  std::vector<obj_rec>& objs = d.objects;
  const char* t = d.data.get();
  int32_t f = 0;
  for (const obj_rec& o : objs)
    if (o.num <= kMaxObjNum) f = std::max(f, o.num);
  std::vector<int32_t> plain(static_cast<size_t>(f) + 1, -1), entry(static_cast<size_t>(f) + 1, -1);
  std::vector<bool> container(objs.size());
  search_memo objstm_key;
  for (size_t i = 0; i < objs.size(); ++i) {
    const obj_rec& o = objs[i];
    container[i] = is_objstm_container(t, d.len, o, objstm_key);
    if (o.num < 1 || o.num > f) continue;
    if (o.in_objstm)
      entry[static_cast<size_t>(o.num)] = static_cast<int32_t>(i);
    else if (!container[i])
      plain[static_cast<size_t>(o.num)] = static_cast<int32_t>(i);
  }
  std::vector<obj_rec> out;
  for (size_t i = 0; i < objs.size(); ++i) {
    const obj_rec& o = objs[i];
    if (o.num < 1 || o.num > kMaxObjNum) continue;
    const auto n = static_cast<size_t>(o.num);
    const auto self = static_cast<int32_t>(i);
    bool keep =
        o.in_objstm ? plain[n] == -1 && entry[n] == self : plain[n] == self && !container[i];
    if (keep) out.push_back(o);
  }
  objs = std::move(out);
  doc_index(d);
}

void load_object_table(doc& d) {
  read_trailers(d);
  scan_objects(d);
  settle_streams(d);
  discard_false_objects(d);
  expand_objstms(d);
  build_final_table(d);
}

namespace {

// Everything after the file read; the doc holds the bytes.
int load_parsed(doc& d, const char* name, msg& m) {
  load_object_table(d);
  if (d.objects.empty()) {
    msg_set(m, "no PDF objects found \xE2\x80\x94 not a PDF: %s", name);
    return -1;
  }
  if (d.encrypted) {
    msg_set(m, "encrypted PDFs are not supported: %s", name);
    return -1;
  }
  return load_pages(d, m);
}

void reset(doc& d) {
  doc_free(d);
  d.trailer_root = -1;
  d.trailer_info = -1;
  d.catalog = -1;
}

}  // namespace

namespace {

int load_bytes(file_data data, int32_t len, const char* name, doc& d, msg& m) {
  reset(d);
  if (!name) name = "";
  if (!data || len < 1) {
    msg_set(m, "empty input file: %s", name);
    return -1;
  }
  d.data = std::move(data);
  d.len = len;
  int r;
  try {
    r = load_parsed(d, name, m);
  } catch (...) {
    doc_free(d);
    throw;
  }
  if (r != 0) doc_free(d);
  return r;
}

}  // namespace

int doc_load_bytes(std::unique_ptr<char[]> data, int32_t len, const char* name, doc& d, msg& m) {
  return load_bytes(std::move(data), len, name, d, m);
}

int doc_load_view(std::string_view bytes, const char* name, doc& d, msg& m) {
  // The reader never writes into a document's bytes, so the caller's may be read in place.
  if (bytes.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    reset(d);
    msg_set(m, "empty input file: %s", name ? name : "");
    return -1;
  }
  file_data borrowed(const_cast<char*>(bytes.data()), file_data_release::borrowed());
  return load_bytes(std::move(borrowed), static_cast<int32_t>(bytes.size()), name, d, m);
}

namespace {

// A failed read, with the errno of the call that failed.
int read_failed(msg& m, const char* name, int err) {
  msg_set(m, "read error on %s", name);
  m.sys_errno = err;
  return -1;
}

// Reads a descriptor that is not a regular file (a pipe, a terminal, a character device) to its
// end, the bytes growing in a buffer that doubles. More than a signed 32-bit size is too large.
int load_stream(int fd, const char* name, doc& d, msg& m) {
  constexpr size_t kMax = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  std::string bytes;
  try {
    bytes.resize(size_t{64} << 10);
  } catch (const std::bad_alloc&) {
    return read_failed(m, name, 0);
  }
  size_t len = 0;
  for (;;) {
    if (len == bytes.size()) {
      if (len > kMax) break;
      try {
        bytes.resize(std::min(2 * len, kMax + 1));
      } catch (const std::bad_alloc&) {
        return read_failed(m, name, 0);
      }
    }
    const ssize_t n = ::read(fd, bytes.data() + len, bytes.size() - len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return read_failed(m, name, errno);
    }
    if (n == 0) break;
    len += static_cast<size_t>(n);
  }
  if (len < 1 || len > kMax) {
    reset(d);
    msg_set(m, "empty input file: %s", name);
    return -1;
  }
  std::unique_ptr<char[]> data(new (std::nothrow) char[len]);
  if (!data) return read_failed(m, name, 0);
  std::memcpy(data.get(), bytes.data(), len);
  std::string().swap(bytes);
  return load_bytes(std::move(data), static_cast<int32_t>(len), name, d, m);
}

// Loads from a descriptor; `at_start` says that it was just opened here and so stands at the
// start of the file, which spares asking where it stands.
int load_fd(int fd, const char* name, doc& d, msg& m, size_t map_min, bool at_start) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    msg_set(m, "cannot open %s", name);
    m.sys_errno = errno;
    return -1;
  }
  // A folder opens for reading but holds no bytes: it cannot be opened as an input.
  if (S_ISDIR(st.st_mode)) {
    msg_set(m, "cannot open %s", name);
    m.sys_errno = EISDIR;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) return load_stream(fd, name, d, m);
  // A regular file from where the descriptor stands to its end, read into room of exactly that
  // size.
  const off_t at = at_start ? 0 : ::lseek(fd, 0, SEEK_CUR);
  const int64_t size = static_cast<int64_t>(st.st_size) - (at > 0 ? static_cast<int64_t>(at) : 0);
  if (size < 1 || size > std::numeric_limits<int32_t>::max()) {
    msg_set(m, "empty input file: %s", name);
    return -1;
  }
  file_data data = file_data_alloc(static_cast<size_t>(size), map_min);
  if (!data) return read_failed(m, name, 0);
  size_t got = 0;
  while (got < static_cast<size_t>(size)) {
    const ssize_t n = ::read(fd, data.get() + got, static_cast<size_t>(size) - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return read_failed(m, name, errno);
    }
    if (n == 0) return read_failed(m, name, 0);  // the file shrank while it was read
    got += static_cast<size_t>(n);
  }
  return load_bytes(std::move(data), static_cast<int32_t>(size), name, d, m);
}

}  // namespace

int doc_load_fd(int fd, const char* name, doc& d, msg& m, size_t map_min) {
  reset(d);
  return load_fd(fd, name ? name : "", d, m, map_min, false);
}

int doc_load(const char* path, doc& d, msg& m, size_t map_min) {
  reset(d);
  if (!path) {
    msg_set(m, "NULL path argument");
    return -1;
  }
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    msg_set(m, "cannot open %s", path);
    m.sys_errno = errno;
    return -1;
  }
  int r;
  try {
    r = load_fd(fd, path, d, m, map_min, true);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
  return r;
}

}  // namespace qm
