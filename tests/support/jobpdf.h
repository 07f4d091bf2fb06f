// Fixtures for overlay job tests: small input documents, running a job, and reading the output
// back (objects by number, the cross-reference table and the trailer).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "job/run.h"
#include "quiremark.h"
#include "support/pdfgen.h"

namespace qmtest {

// A scratch directory of the running test alone: CTest runs test cases in parallel processes,
// so cases must not share file names.
inline std::filesystem::path scratch() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "global";
  for (char& c : name)
    if (c == '/') c = '_';
  const std::filesystem::path p = tmp_dir() / name;
  std::filesystem::create_directories(p);
  return p;
}

// A fresh, empty directory of that name in the test's scratch directory.
inline std::filesystem::path fresh_dir(const std::string& name) {
  const std::filesystem::path d = scratch() / name;
  std::filesystem::remove_all(d);
  std::filesystem::create_directories(d);
  return d;
}

// The names of the entries of a directory, sorted.
inline std::vector<std::string> names_in(const std::filesystem::path& d) {
  std::vector<std::string> v;
  for (const auto& e : std::filesystem::directory_iterator(d))
    v.push_back(e.path().filename().string());
  std::sort(v.begin(), v.end());
  return v;
}

// Writes bytes to a file in the test's scratch directory and returns its path.
inline std::string put_file(const std::string& name, std::string_view bytes) {
  const std::filesystem::path p = scratch() / name;
  std::ofstream f(p, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return p.string();
}

// One input page: its box (the text of a /MediaBox array), its content, and any further keys of
// its dictionary (/Rotate, /Resources, /CropBox ...).
struct page_spec {
  std::string box = "[0 0 612 792]";
  std::string content = "0 g\n";
  std::string extra;
  bool flate = false;  // store the content Flate-compressed
};

// Catalog 1, page tree 2, pages 3 .. n + 2, and the content stream of page k (from 0) as object
// 100 + k. `more` adds objects (resources) to the document.
inline std::string doc_pdf(const std::vector<page_spec>& pages,
                           const std::map<int, std::string>& more = {}) {
  pdfgen g;
  g.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
  std::string kids;
  for (size_t k = 0; k < pages.size(); ++k) {
    const int num = 3 + static_cast<int>(k);
    kids += std::to_string(num) + " 0 R ";
    std::string d = "<< /Type /Page /Parent 2 0 R /MediaBox " + pages[k].box + " /Contents " +
                    std::to_string(100 + k) + " 0 R";
    if (!pages[k].extra.empty()) d += " " + pages[k].extra;
    g.obj(num, d + " >>");
    if (pages[k].flate)
      g.stream(100 + static_cast<int>(k), zlib_compress(pages[k].content), "/Filter /FlateDecode");
    else
      g.stream(100 + static_cast<int>(k), pages[k].content);
  }
  g.obj(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>");
  for (const auto& [n, v] : more) g.obj(n, v);
  return g.bytes();
}

// n pages of one size whose contents name their page ("% <tag> page k\n").
inline std::string n_pages_pdf(int n, std::string_view tag, std::string box = "[0 0 612 792]") {
  std::vector<page_spec> v;
  for (int k = 1; k <= n; ++k)
    v.push_back({box, "% " + std::string(tag) + " page " + std::to_string(k) + "\n", ""});
  return doc_pdf(v);
}

// n pages whose /Contents take every form the import reads, in turn: a Flate stream, a plain
// stream, an array of streams (joined, one of them Flate), a stream written in the page
// dictionary, a reference to a missing object, an undecodable Flate stream, none at all, and a
// stream with a filter chain. Page objects 3 .. n + 2, streams from 1000.
inline std::string varied_contents_pdf(int n, const std::string& tag) {
  pdfgen g;
  g.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
  g.obj(50, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  std::string kids;
  for (int k = 0; k < n; ++k) {
    const int page = 3 + k, s = 1000 + 4 * k;
    kids += std::to_string(page) + " 0 R ";
    const std::string text = "BT /F1 10 Tf 72 " + std::to_string(700 - k) + " Td (" + tag +
                             " page " + std::to_string(k + 1) + ") Tj ET\n";
    std::string contents;
    switch (k % 8) {
      case 0:
        g.stream(s, zlib_compress(std::string(40, ' ') + text), "/Filter /FlateDecode");
        contents = std::to_string(s) + " 0 R";
        break;
      case 1:
        g.stream(s, text);
        contents = std::to_string(s) + " 0 R";
        break;
      case 2:
        g.stream(s, "q 1 0 0 1 5 5 cm");
        g.stream(s + 1, zlib_compress(text), "/Filter /FlateDecode");
        g.stream(s + 2, "Q");
        contents = "[" + std::to_string(s) + " 0 R " + std::to_string(s + 1) + " 0 R " +
                   std::to_string(s + 2) + " 0 R]";
        break;
      case 3:
        contents =
            "<< /Length " + std::to_string(text.size()) + " >>\nstream\n" + text + "\nendstream";
        break;
      case 4:
        contents = "999999 0 R";
        break;
      case 5:
        g.stream(s, "not Flate data at all", "/Filter /FlateDecode");
        contents = std::to_string(s) + " 0 R";
        break;
      case 6:
        break;
      default:
        // "0 0 1 rg\n", Flate-compressed and then written in hexadecimal.
        g.stream(s, "789c335030503054284ae70200086c01d5>",
                 "/Filter [/ASCIIHexDecode /FlateDecode]");
        contents = std::to_string(s) + " 0 R";
        break;
    }
    std::string d = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(400 + k) +
                    " 600] /Resources << /Font << /F1 50 0 R >> >>";
    if (!contents.empty()) d += " /Contents " + contents;
    g.obj(page, d + " >>");
  }
  g.obj(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
  return g.bytes();
}

// A job's result, its error text and the output file's bytes.
struct job_result {
  int rc = 0;
  std::string err;
  std::string out;
  // Known only for jobs run with options (run_job's `tuning`): the helper threads it used.
  bool read_ahead = false;
  bool output_streamed = false;
};

// stamp_opacity: a translucent stamp, which only the library's own job (and the tool) can ask for.
enum class job_kind { merge, stamp, opacity, stamp_opacity };

// The options of a job of this kind over these files, the other options taken from `base`.
inline qm::job_options options_for(job_kind k, const std::string& bg, const std::string& fg,
                                   const std::string& out, int mode = 0, float opacity = 1.0f,
                                   const qm::job_options& base = {}) {
  qm::job_options o = base;
  o.background = bg;
  o.foreground = fg;
  o.output = out;
  o.stamp = k == job_kind::stamp || k == job_kind::stamp_opacity;
  o.mode = mode;
  o.opacity = k == job_kind::opacity || k == job_kind::stamp_opacity ? opacity : 1.0f;
  return o;
}

// The job through the C interface; or, with `tuning` (the options' helper-thread thresholds and
// the like), through the library's own entry point with those options, its message published as
// the exports publish it.
inline job_result run_job(job_kind k, const std::string& bg, const std::string& fg,
                          const std::string& out, int mode = 0, float opacity = 1.0f,
                          const qm::job_options* tuning = nullptr) {
  std::remove(out.c_str());
  job_result r;
  if (tuning) {
    qm::job_result jr;
    qm::job_run(options_for(k, bg, fg, out, mode, opacity, *tuning), jr);
    r.rc = qm::job_publish(jr);
    r.read_ahead = jr.read_ahead;
    r.output_streamed = jr.output_streamed;
    r.err = quiremark_last_error();
    r.out = read_file(out);
    return r;
  }
  switch (k) {
    case job_kind::merge:
      r.rc = quiremark_merge(bg.c_str(), fg.c_str(), out.c_str(), mode);
      break;
    case job_kind::stamp:
      r.rc = quiremark_stamp(bg.c_str(), fg.c_str(), out.c_str(), mode);
      break;
    case job_kind::opacity:
      r.rc = quiremark_merge_opacity(bg.c_str(), fg.c_str(), out.c_str(), mode, opacity);
      break;
    case job_kind::stamp_opacity:
      r.rc = qm::overlay_exec(bg.c_str(), fg.c_str(), out.c_str(), mode, opacity, 1);
      break;
  }
  r.err = quiremark_last_error();
  r.out = read_file(out);
  return r;
}

// An output file read back by its own structure.
struct out_pdf {
  std::map<int, std::string> objs;  // number -> text between "N 0 obj\n" and "\nendobj\n"
  std::vector<std::string> xref;    // the 20-byte entries, from object 0
  int size = -1;                    // /Size
  int64_t startxref = -1;
};

// Reads the output through its cross-reference table, checking the table on the way: startxref
// names the "xref" keyword, every entry is 20 bytes, every in-use entry names the first digit of
// "N 0 obj" for its own N, and the free entries name object 0.
inline out_pdf read_output(const std::string& s) {
  out_pdf p;
  const size_t sx = s.rfind("startxref\n");
  if (sx == std::string::npos) {
    ADD_FAILURE() << "no startxref";
    return p;
  }
  p.startxref = std::strtoll(s.c_str() + sx + 10, nullptr, 10);
  EXPECT_EQ(s.compare(static_cast<size_t>(p.startxref), 5, "xref\n"), 0) << "startxref";
  size_t at = static_cast<size_t>(p.startxref) + 5;
  EXPECT_EQ(s.compare(at, 2, "0 "), 0);
  const size_t nl = s.find('\n', at);
  const int count = std::atoi(s.substr(at + 2, nl - at - 2).c_str());
  at = nl + 1;
  for (int n = 0; n < count; ++n, at += 20) {
    const std::string e = s.substr(at, 20);
    p.xref.push_back(e);
    if (n == 0) {
      EXPECT_EQ(e, "0000000000 65535 f \n");
    } else if (e.compare(10, 10, " 00000 n \n") == 0) {
      const size_t off = std::stoull(e.substr(0, 10));
      const std::string head = std::to_string(n) + " 0 obj\n";
      EXPECT_EQ(s.compare(off, head.size(), head), 0) << "entry " << n;
      const size_t end = s.find("\nendobj\n", off);
      p.objs[n] = s.substr(off + head.size(), end - off - head.size());
    } else {
      EXPECT_EQ(e, "0000000000 00000 f \n") << "entry " << n;
    }
  }
  EXPECT_EQ(s.compare(at, 17, "trailer\n<< /Size "), 0);
  p.size = std::atoi(s.c_str() + at + 17);
  EXPECT_EQ(p.size, count);
  return p;
}

// The whole output that a writer must produce for these objects, in this order, with this
// cross-reference size: the header, each "N 0 obj\n" + text + "\nendobj\n", the table and the
// trailer. Numbers below `size` that are not given are free entries.
inline std::string expected_pdf(const std::vector<std::pair<int, std::string>>& objs, int size) {
  std::string s = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  std::map<int, size_t> off;
  for (const auto& [n, text] : objs) {
    off[n] = s.size();
    s += std::to_string(n) + " 0 obj\n" + text + "\nendobj\n";
  }
  const size_t x = s.size();
  s += "xref\n0 " + std::to_string(size) + "\n0000000000 65535 f \n";
  for (int n = 1; n < size; ++n) {
    char e[32];
    if (off.count(n))
      std::snprintf(e, sizeof e, "%010zu 00000 n \n", off[n]);
    else
      std::snprintf(e, sizeof e, "0000000000 00000 f \n");
    s += e;
  }
  s += "trailer\n<< /Size " + std::to_string(size) + " /Root 1 0 R >>\nstartxref\n" +
       std::to_string(x) + "\n%%EOF\n";
  return s;
}

// Whether qpdf is installed (looked up once per test program).
inline bool have_qpdf() {
  static const bool have = std::system("command -v qpdf >/dev/null 2>&1") == 0;
  return have;
}

// `qpdf --check` on a file, which must pass without errors or warnings; on failure the result
// carries what qpdf said. Needs qpdf (see have_qpdf and EXPECT_QPDF_ACCEPTS).
inline ::testing::AssertionResult qpdf_accepts(const std::string& path) {
  const std::string cmd = "qpdf --check '" + path + "' 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return ::testing::AssertionFailure() << "cannot run qpdf";
  std::string said;
  char buf[512];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) said.append(buf, n);
  const int status = pclose(p);
  if (status == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "qpdf --check " << path << " (status " << status << "):\n"
                                       << said;
}

}  // namespace qmtest

// Checks a file with `qpdf --check`. Without qpdf the test is skipped instead: put this after the
// test's other checks (they have run by then, and any failure among them still fails the test),
// and not inside a loop, since skipping returns from the test.
#define EXPECT_QPDF_ACCEPTS(path)                                        \
  do {                                                                   \
    if (!::qmtest::have_qpdf()) GTEST_SKIP() << "qpdf is not installed"; \
    EXPECT_TRUE(::qmtest::qpdf_accepts(path));                           \
  } while (0)
