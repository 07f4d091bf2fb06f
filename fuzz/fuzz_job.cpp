// Fuzz target: the whole overlay job, through the public functions (and the library's own entry
// point for compact output) and real files.
//
// Input: two control bytes, then the background and the foreground, cut apart at the first
// "QMSPLIT" (without one, both inputs are the same bytes). Control byte 0: bits 0-1 the job
// (merge, stamp, merge with opacity, stamp again), bit 2 the mode, bit 3 writes the output over
// the background file, bits 4-7 an invalid mode when all set, and otherwise bit 4 compact
// output and bit 5 keeps the interactive features (annotations, form, outline, document
// information); the committed seeds leave bits 4-7 clear or all set, or set one of bits 4 and 5.
// Control byte 1: the opacity, as (b - 16) / 200, so that negative values, 0, 0.999 and values
// above 1 occur; 255 is NaN.
//
// A compact job or one that keeps the interactive features runs through the library's own entry
// point (job_run), the only one that takes these options; compact output with zlib as its
// compressor. A compact job's output (without the interactive features) is held against the
// default output of the same job: every Form XObject's content inflates, as a whole zlib stream,
// to the default output's content of the same object.
//
// The inputs are written to files in a private temporary directory and the job is run on them.
// Its name enters the messages the job is held to, which libFuzzer compares and mutates towards;
// a repeatable run therefore names a fixed directory in QM_FUZZ_WORKDIR (made if missing; the
// files in it are removed at exit).
// Its result is checked against what the loader says of the same bytes: a job fails exactly when
// an input fails to load, with that loader's message, or when the mode is invalid; otherwise it
// succeeds. A successful output must hold together: the header, a cross-reference table whose
// every in-use entry names its object's header, startxref naming the table, the trailer, and a
// page tree listing exactly the expected number of pages. A failed job leaves nothing at the
// output path (or the background unchanged, when the output was to replace it), and no job
// leaves a temporary file behind. The output is loaded again to exercise the reader on it. A job
// that keeps the interactive features may add entries to the catalog, the trailer (/Info) and the
// pages (/Annots), and every annotation it lists is a dictionary written in the file.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "job/run.h"
#include "quiremark.h"
#include "reader/load.h"
#include "support/pdfgen.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_job: %s\n", what.c_str());
  std::abort();
}
#define QM_CHECK(cond, what)                                              \
  do {                                                                    \
    if (!(cond)) fail(std::string("check failed: " #cond ": ") + (what)); \
  } while (0)

// The private directory, made once per process and removed at exit.
std::string g_dir;
bool g_dir_fixed = false;  // named by QM_FUZZ_WORKDIR: left in place, only emptied

void remove_dir() {
  if (g_dir.empty()) return;
  if (DIR* d = opendir(g_dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") unlink((g_dir + "/" + n).c_str());
    }
    closedir(d);
  }
  if (!g_dir_fixed) rmdir(g_dir.c_str());
}

const std::string& dir() {
  if (g_dir.empty() && std::getenv("QM_FUZZ_WORKDIR")) {
    g_dir = std::getenv("QM_FUZZ_WORKDIR");
    g_dir_fixed = true;
    struct stat st;
    if (mkdir(g_dir.c_str(), 0700) != 0 && (stat(g_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
      fail("cannot make the directory " + g_dir);
    std::atexit(remove_dir);
  }
  if (g_dir.empty()) {
    const char* base = std::getenv("QM_TEST_TMP");
    if (!base) base = std::getenv("TMPDIR");
    std::string root = base ? base : "/tmp";
    mkdir(root.c_str(), 0777);
    std::string templ = root + "/qmfuzz-XXXXXX";
    if (!mkdtemp(templ.data())) fail("cannot make a temporary directory under " + root);
    g_dir = templ;
    std::atexit(remove_dir);
  }
  return g_dir;
}

void put(const std::string& path, std::string_view bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) fail("cannot write " + path);
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
    fail("short write on " + path);
  std::fclose(f);
}

bool get(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), {});
  return true;
}

std::set<std::string> dir_names() {
  std::set<std::string> s;
  if (DIR* d = opendir(dir().c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") s.insert(n);
    }
    closedir(d);
  }
  return s;
}

// What the loader makes of the bytes: the page count, or -1 with its message.
long load_pages(std::string_view bytes, const std::string& name, std::string* msg) {
  std::unique_ptr<char[]> b(new char[bytes.size() + 1]);
  std::memcpy(b.get(), bytes.data(), bytes.size());
  qm::doc d;
  qm::msg m;
  const int r =
      qm::doc_load_bytes(std::move(b), static_cast<int32_t>(bytes.size()), name.c_str(), d, m);
  if (r != 0) {
    *msg = m.text;
    return -1;
  }
  const long n = static_cast<long>(d.pages.size());
  qm::doc_free(d);
  return n;
}

long long to_ll(std::string_view s) {
  long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return s.empty() ? -1 : v;
}

// The text of in-use object n of an output, between "N 0 obj\n" and "\nendobj\n"; empty when
// the table does not name it.
std::string_view object_text(std::string_view s, const std::vector<long long>& offsets, long n) {
  if (n <= 0 || static_cast<size_t>(n) >= offsets.size() || offsets[static_cast<size_t>(n)] < 0)
    return {};
  const size_t from = static_cast<size_t>(offsets[static_cast<size_t>(n)]) +
                      std::to_string(n).size() + std::strlen(" 0 obj\n");
  const size_t end = s.find("\nendobj\n", from);
  return end == std::string_view::npos ? std::string_view{} : s.substr(from, end - from);
}

// The annotations page object `page` lists: each names a dictionary written in the file.
void check_annots(std::string_view s, const std::vector<long long>& offsets, long page) {
  const std::string_view text = object_text(s, offsets, page);
  const size_t a = text.find("/Annots [");
  if (a == std::string_view::npos) return;
  const size_t end = text.find(']', a);
  QM_CHECK(end != std::string_view::npos, "/Annots closed on page object " + std::to_string(page));
  std::string_view list = text.substr(a + 9, end - a - 9);
  while (!list.empty()) {
    const size_t r = list.find(" 0 R");
    QM_CHECK(r != std::string_view::npos, "/Annots entry");
    const long n = static_cast<long>(to_ll(list.substr(0, r)));
    QM_CHECK(object_text(s, offsets, n).substr(0, 2) == "<<",
             "annotation " + std::to_string(n) + " of page object " + std::to_string(page));
    list.remove_prefix(std::min(list.size(), r + 5));
  }
}

// The structure of a written output; `pages` is the expected page count. `keep`: the job kept
// the interactive features.
void check_output(const std::string& out, long pages, bool keep) {
  const std::string_view s = out;
  QM_CHECK(s.substr(0, 15) == std::string_view("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n", 15), "header");
  QM_CHECK(s.ends_with("\n%%EOF\n"), "end");
  const size_t sx = s.rfind("\nstartxref\n");
  QM_CHECK(sx != std::string_view::npos, "startxref");
  const size_t eol = s.find('\n', sx + 11);
  const long long x = to_ll(s.substr(sx + 11, eol - sx - 11));
  QM_CHECK(x > 0 && static_cast<size_t>(x) < sx, "startxref value");
  QM_CHECK(s.substr(static_cast<size_t>(x), 7) == "xref\n0 ", "xref keyword");
  size_t at = static_cast<size_t>(x) + 7;
  const size_t nl = s.find('\n', at);
  const long long count = to_ll(s.substr(at, nl - at));
  QM_CHECK(count >= 3 + 2 * pages, "xref size");
  at = nl + 1;
  QM_CHECK(s.substr(at, 20) == "0000000000 65535 f \n", "entry 0");
  std::vector<long long> offsets(static_cast<size_t>(count), -1);
  for (long long n = 1; n < count; ++n) {
    const std::string_view e = s.substr(at + 20 * static_cast<size_t>(n), 20);
    QM_CHECK(e.size() == 20, "entry length");
    if (e == "0000000000 00000 f \n") continue;
    QM_CHECK(e.substr(10) == " 00000 n \n", "entry form " + std::to_string(n));
    const long long off = to_ll(e.substr(0, 10));
    const std::string head = std::to_string(n) + " 0 obj\n";
    QM_CHECK(off >= 15 && s.substr(static_cast<size_t>(off), head.size()) == head,
             "entry " + std::to_string(n) + " names its object");
    offsets[static_cast<size_t>(n)] = off;
  }
  at += 20 * static_cast<size_t>(count);
  // The trailer, with the document information of a job that keeps it.
  const std::string trailer = "trailer\n<< /Size " + std::to_string(count) + " /Root 1 0 R";
  QM_CHECK(s.substr(at, trailer.size()) == trailer, "trailer");
  size_t trailer_end = at + trailer.size();
  if (keep && s.substr(trailer_end, 7) == " /Info ") {
    const size_t r = s.find(" 0 R", trailer_end + 7);
    QM_CHECK(r != std::string_view::npos, "/Info");
    const long n = static_cast<long>(to_ll(s.substr(trailer_end + 7, r - trailer_end - 7)));
    QM_CHECK(!object_text(s, offsets, n).empty(), "/Info names an object written");
    trailer_end = r + 4;
  }
  QM_CHECK(s.substr(trailer_end, 14) == " >>\nstartxref\n", "trailer end");
  QM_CHECK(trailer_end + 14 == sx + 11, "trailer ends at startxref");
  // The catalog and the page tree, which the writer lays down first; a job that keeps the
  // interactive features adds to the catalog.
  const std::string_view cat = "<< /Type /Catalog /Pages 2 0 R";
  QM_CHECK(count > 2 && offsets[1] == 15 && offsets[2] > 15, "catalog and page tree first");
  const std::string_view cat_text = object_text(s, offsets, 1);
  QM_CHECK(cat_text.substr(0, cat.size()) == cat && cat_text.ends_with(" >>"), "catalog");
  QM_CHECK(keep || cat_text.size() == cat.size() + 3, "catalog without additions");
  const size_t cat_end = static_cast<size_t>(offsets[2]);
  std::string tree = "2 0 obj\n<< /Type /Pages /Kids [";
  for (long t = 0; t < pages; ++t) tree += std::to_string(3 + t) + " 0 R ";
  tree += "] /Count " + std::to_string(pages) + " >>\nendobj\n";
  QM_CHECK(s.substr(cat_end, tree.size()) == tree, "page tree");
  for (long t = 0; keep && t < pages; ++t) check_annots(s, offsets, 3 + t);
}

// The Form XObjects a checked output's pages draw (check_output passed; `pages` pages): number
// -> (whether its dictionary names /Filter /FlateDecode right after /Length, its data). Only the
// forms the writer makes are looked at, the ones each page object names in its /XObject
// dictionary: an object copied from an input may begin with the same words and be no stream.
std::map<long long, std::pair<bool, std::string>> form_data(const std::string& out, long pages) {
  const std::string_view s = out;
  const size_t sx = s.rfind("\nstartxref\n");
  const long long x = to_ll(s.substr(sx + 11, s.find('\n', sx + 11) - sx - 11));
  size_t at = static_cast<size_t>(x) + 7;
  const size_t nl = s.find('\n', at);
  const long long count = to_ll(s.substr(at, nl - at));
  at = nl + 1;
  std::vector<long long> offsets(static_cast<size_t>(count), -1);
  std::vector<std::pair<long long, long long>> objs;  // (offset, number), every object in use
  for (long long n = 1; n < count; ++n) {
    const std::string_view e = s.substr(at + 20 * static_cast<size_t>(n), 20);
    if (e == "0000000000 00000 f \n") continue;
    offsets[static_cast<size_t>(n)] = to_ll(e.substr(0, 10));
    objs.push_back({offsets[static_cast<size_t>(n)], n});
  }
  std::sort(objs.begin(), objs.end());
  std::set<long long> drawn;
  for (long t = 0; t < pages; ++t) {
    const std::string_view page = object_text(s, offsets, 3 + t);
    const size_t xo = page.find("/XObject << ");
    QM_CHECK(xo != std::string_view::npos, "/XObject on page object " + std::to_string(3 + t));
    std::string_view list = page.substr(xo + 12, page.find(">>", xo) - xo - 12);
    while (!list.empty() && list.front() == '/') {
      const size_t sp = list.find(' '), r = list.find(" 0 R");
      QM_CHECK(sp < r && r != std::string_view::npos, "form entry");
      drawn.insert(to_ll(list.substr(sp + 1, r - sp - 1)));
      list.remove_prefix(std::min(list.size(), r + 5));
    }
  }
  std::map<long long, std::pair<bool, std::string>> forms;
  for (size_t k = 0; k < objs.size(); ++k) {
    if (!drawn.count(objs[k].second)) continue;
    const size_t from = static_cast<size_t>(objs[k].first);
    const size_t to =
        k + 1 < objs.size() ? static_cast<size_t>(objs[k + 1].first) : static_cast<size_t>(x);
    std::string_view o = s.substr(from, to - from);
    o.remove_prefix(o.find('\n') + 1);
    const std::string name = "XObject " + std::to_string(objs[k].second);
    QM_CHECK(o.starts_with("<< /Type /XObject /Subtype /Form /BBox ["), name + " begins");
    const std::string_view tail = "\nendstream\nendobj\n";
    QM_CHECK(o.ends_with(tail), name + " ends");
    const size_t l = o.find(" /Length ") + 9;
    size_t e = l;
    while (e < o.size() && o[e] >= '0' && o[e] <= '9') ++e;
    const long long n = to_ll(o.substr(l, e - l));
    QM_CHECK(n >= 0 && static_cast<size_t>(n) + tail.size() <= o.size(), name + " length");
    const bool flate = o.substr(e).starts_with(" /Filter /FlateDecode");
    forms[objs[k].second] = {flate,
                             std::string(o.substr(o.size() - tail.size() - static_cast<size_t>(n),
                                                  static_cast<size_t>(n)))};
  }
  QM_CHECK(forms.size() == drawn.size(), "every form the pages draw is written");
  return forms;
}

std::string inflate_whole(const std::string& z) {
  std::string out;
  QM_CHECK(qmtest::zlib_inflate(z, &out), "a compact content is no whole zlib stream");
  return out;
}

size_t zlib_level1(void*, const unsigned char* src, size_t n, unsigned char* dst, size_t cap) {
  uLongf len = cap;
  return compress2(dst, &len, src, n, 1) == Z_OK ? len : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (size_t{1} << 22)) return 0;
  const unsigned c0 = data[0], c1 = data[1];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t cut = rest.find("QMSPLIT");
  const std::string_view bg = cut == std::string_view::npos ? rest : rest.substr(0, cut);
  const std::string_view fg = cut == std::string_view::npos ? rest : rest.substr(cut + 7);

  const int kind = c0 & 3;
  const int mode =
      (c0 & 0xf0) == 0xf0 ? static_cast<int>(c0 >> 4) - 17 : static_cast<int>((c0 >> 2) & 1);
  const bool in_place = (c0 & 8) != 0;
  const bool compact = (c0 & 0xf0) != 0xf0 && (c0 & 0x10) != 0;
  const bool keep = (c0 & 0xf0) != 0xf0 && (c0 & 0x20) != 0;
  const float opacity = c1 == 255 ? std::nanf("") : (static_cast<float>(c1) - 16.0f) / 200.0f;

  const std::string bg_path = dir() + "/bg.pdf", fg_path = dir() + "/fg.pdf";
  const std::string out_path = in_place ? bg_path : dir() + "/out.pdf";
  unlink((dir() + "/out.pdf").c_str());
  put(bg_path, bg);
  put(fg_path, fg);
  const std::set<std::string> before = dir_names();

  // What the job must do.
  std::string want_msg;
  long want_pages = -1;
  if (mode != 0 && mode != 1) {
    want_msg =
        "invalid mode " + std::to_string(mode) + ": must be 0 (foreground on top) or 1 (underlay)";
  } else {
    std::string m;
    const long nbg = load_pages(bg, bg_path, &m);
    if (nbg < 0) {
      want_msg = m;
    } else {
      const long nfg = load_pages(fg, fg_path, &m);
      if (nfg < 0) {
        want_msg = m;
      } else {
        want_pages = kind == 1 || kind == 3 ? nbg : std::max(nbg, nfg);
        if (want_pages > 1000000) {
          want_msg = "invalid total page count: " + std::to_string(want_pages);
          want_pages = -1;
        }
      }
    }
  }

  quiremark_init();
  int rc = 0;
  std::string err;
  if (compact || keep) {
    // The job through the library's own entry point, as the exports would run it, with compact
    // output or the interactive features kept.
    qm::job_options o;
    o.background = bg_path;
    o.foreground = fg_path;
    o.output = out_path;
    o.stamp = kind == 1 || kind == 3;
    o.mode = mode;
    o.opacity = kind == 2 ? opacity : 1.0f;
    o.keep_interactive = keep;
    o.compact = compact;
    if (compact) o.compress = zlib_level1;
    qm::job_result r;
    qm::job_run(o, r);
    rc = r.ok ? 1 : 0;
    err = r.message;
  } else {
    switch (kind) {
      case 0:
        rc = quiremark_merge(bg_path.c_str(), fg_path.c_str(), out_path.c_str(), mode);
        break;
      case 2:
        rc = quiremark_merge_opacity(bg_path.c_str(), fg_path.c_str(), out_path.c_str(), mode,
                                     opacity);
        break;
      default:
        rc = quiremark_stamp(bg_path.c_str(), fg_path.c_str(), out_path.c_str(), mode);
        break;
    }
    err = quiremark_last_error();
  }

  QM_CHECK(rc == 0 || rc == 1, std::to_string(rc));
  QM_CHECK(dir_names() == (rc == 1 && !in_place ? [&] {
             auto s = before;
             s.insert("out.pdf");
             return s;
           }()
                                                : before),
           "files in the directory after the job");
  std::string out;
  if (want_pages < 0) {
    QM_CHECK(rc == 0, "the job succeeded where it must fail with: " + want_msg);
    QM_CHECK(err == want_msg, "message \"" + err + "\", expected \"" + want_msg + "\"");
    if (in_place) {
      QM_CHECK(get(bg_path, &out) && out == bg, "the background was changed by a failed job");
    }
    return 0;
  }
  QM_CHECK(rc == 1, "failed: " + err);
  QM_CHECK(err.empty(), err);
  QM_CHECK(get(out_path, &out), "no output file");
  check_output(out, want_pages, keep);
  if (compact && !keep) {
    // The same job with the default output, written beside it and removed again (from a copy
    // of the background when the compact output has replaced it).
    const std::string ref_path = dir() + "/ref.pdf", ref_bg = dir() + "/ref_bg.pdf";
    put(ref_bg, bg);
    const int ref_rc =
        kind == 0   ? quiremark_merge(ref_bg.c_str(), fg_path.c_str(), ref_path.c_str(), mode)
        : kind == 2 ? quiremark_merge_opacity(ref_bg.c_str(), fg_path.c_str(), ref_path.c_str(),
                                              mode, opacity)
                    : quiremark_stamp(ref_bg.c_str(), fg_path.c_str(), ref_path.c_str(), mode);
    std::string ref;
    QM_CHECK(ref_rc == 1 && get(ref_path, &ref), "the default job failed where compact did not");
    unlink(ref_path.c_str());
    unlink(ref_bg.c_str());
    const auto cf = form_data(out, want_pages), df = form_data(ref, want_pages);
    QM_CHECK(cf.size() == df.size(), "as many Form XObjects as the default output");
    for (const auto& [n, c] : cf) {
      const auto d = df.find(n);
      QM_CHECK(d != df.end() && !d->second.first, "Form XObject " + std::to_string(n));
      const std::string drawn = c.first ? inflate_whole(c.second) : c.second;
      QM_CHECK(drawn == d->second.second, "content of Form XObject " + std::to_string(n));
    }
  }
  // The output read back by the reader (which must not crash on it).
  std::string m;
  load_pages(out, out_path, &m);
  return 0;
}
