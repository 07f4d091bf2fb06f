// Compact output: the Form XObjects' contents Flate-compressed (the input's own compressed bytes
// kept where they are whole, the rest packed by the compressor the job is given), every copied
// resource object written once, and everything else as in the default output.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "job/run.h"
#include "support/jobpdf.h"

using namespace qmtest;

namespace {

// The compressor of these tests: zlib's stored blocks (level 0), which no input here uses, so
// that a packed content is told apart from a kept one by its bytes.
std::atomic<int> g_calls{0};
size_t stored_blocks(void*, const unsigned char* src, size_t n, unsigned char* dst, size_t cap) {
  ++g_calls;
  uLongf out = cap;
  return compress2(dst, &out, src, n, 0) == Z_OK ? out : 0;
}
size_t refusing(void*, const unsigned char*, size_t, unsigned char*, size_t) {
  return 0;
}

// The job through the library's own entry point with compact output and this compressor, and
// more options from `more` (helper threads).
job_result run_compact(job_kind k, const std::string& bg, const std::string& fg,
                       const std::string& out, int mode, float opacity,
                       qm::zlib_compress_fn fn = stored_blocks, qm::job_options more = {}) {
  more.compact = true;
  more.compress = fn;
  return run_job(k, bg, fg, out, mode, opacity, &more);
}

// qpdf's check of every file, after the test's other checks; skipped without qpdf.
#define EXPECT_ALL_QPDF_ACCEPT(files)                                          \
  do {                                                                         \
    if (!::qmtest::have_qpdf()) GTEST_SKIP() << "qpdf is not installed";       \
    for (const std::string& f : files) EXPECT_TRUE(::qmtest::qpdf_accepts(f)); \
  } while (0)

std::string inflate(const std::string& z) {
  std::string out;
  EXPECT_TRUE(zlib_inflate(z, &out)) << "not a whole zlib stream";
  return out;
}

// An XObject's text split at the stream: the dictionary and the data.
struct xobject {
  std::string dict, data;
};
xobject split(const std::string& obj) {
  const size_t s = obj.find(">> stream\n");
  EXPECT_NE(s, std::string::npos);
  EXPECT_TRUE(obj.ends_with("\nendstream")) << obj.substr(0, 200);
  return {obj.substr(0, s + 2), obj.substr(s + 10, obj.size() - 10 - (s + 10))};
}

// The Form XObjects of an output (objects whose dictionary says /Subtype /Form), by number.
std::map<int, std::string> forms(const out_pdf& p) {
  std::map<int, std::string> f;
  for (const auto& [n, text] : p.objs)
    if (text.starts_with("<< /Type /XObject /Subtype /Form")) f[n] = text;
  return f;
}

// The stored bytes of the input's content stream `num`.
std::string stream_data(const std::string& pdf, int num) {
  const std::string head = "\n" + std::to_string(num) + " 0 obj\n";
  size_t at = pdf.find(head);
  EXPECT_NE(at, std::string::npos);
  at = pdf.find("stream\n", at) + 7;
  return pdf.substr(at, pdf.find("\nendstream", at) - at);
}

// The text with every "N 0 R" replaced by the text of object N of the output (one level deep), so
// that dictionaries of two outputs that number their copies differently can be compared.
std::string resolved(const std::string& text, const out_pdf& p) {
  static const std::regex ref(R"((\d+) 0 R\b)");
  std::string out;
  size_t last = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), ref); it != std::sregex_iterator();
       ++it) {
    out += text.substr(last, static_cast<size_t>(it->position()) - last);
    const auto obj = p.objs.find(std::stoi((*it)[1]));
    out += "{" + (obj == p.objs.end() ? std::string("missing") : obj->second) + "}";
    last = static_cast<size_t>(it->position() + it->length());
  }
  return out + text.substr(last);
}

// Every "N 0 R" in every object of the output names an object that is written.
void expect_references_resolve(const out_pdf& p) {
  static const std::regex ref(R"((\d+) 0 R\b)");
  for (const auto& [n, text] : p.objs) {
    const std::string dict = text.substr(0, text.find("stream\n"));
    for (auto it = std::sregex_iterator(dict.begin(), dict.end(), ref);
         it != std::sregex_iterator(); ++it) {
      const int r = std::stoi((*it)[1]);
      EXPECT_TRUE(p.objs.count(r)) << "object " << n << " names " << r << ", which is not written";
    }
  }
}

}  // namespace

// Every way a page's content can be given, under every kind of job: each Form XObject's content
// inflates to the default output's content; the page's one whole Flate stream goes out as the
// input stored it, every other content packed by the job's compressor; the dictionaries say
// /Filter /FlateDecode right after /Length and are otherwise the default's; all other objects
// are the default's.
TEST(CompactJob, ContentsDrawAsTheDefaultOutputs) {
  const std::string bgpdf = varied_contents_pdf(8, "bg"), fgpdf = varied_contents_pdf(8, "fg");
  const std::string bg = put_file("bg.pdf", bgpdf), fg = put_file("fg.pdf", fgpdf);
  struct c {
    const char* name;
    job_kind kind;
    int mode;
    float opacity;
  } cases[] = {
      {"merge", job_kind::merge, 0, 1.0f},
      {"merge underneath", job_kind::merge, 1, 1.0f},
      {"stamp", job_kind::stamp, 0, 1.0f},
      {"translucent merge", job_kind::opacity, 0, 0.5f},
      {"translucent stamp underneath", job_kind::stamp_opacity, 1, 0.4f},
  };
  std::vector<std::string> written;
  for (const c& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string dout = (scratch() / "default.pdf").string();
    const std::string cout = (scratch() / (std::string(k.name) + ".pdf")).string();
    written.push_back(cout);
    const job_result d = run_job(k.kind, bg, fg, dout, k.mode, k.opacity);
    const job_result c = run_compact(k.kind, bg, fg, cout, k.mode, k.opacity);
    ASSERT_EQ(d.rc, 1) << d.err;
    ASSERT_EQ(c.rc, 1) << c.err;
    EXPECT_EQ(c.err, "");
    const out_pdf dp = read_output(d.out), cp = read_output(c.out);
    const auto df = forms(dp), cf = forms(cp);
    ASSERT_EQ(df.size(), k.kind == job_kind::merge || k.kind == job_kind::opacity ? 16u : 9u);
    ASSERT_EQ(cf.size(), df.size());
    // Pages, content streams and the catalog are the same objects.
    for (int n = 1; n < 3 + 2 * 8; ++n) EXPECT_EQ(cp.objs.at(n), dp.objs.at(n)) << "object " << n;
    for (const auto& [n, dtext] : df) {
      ASSERT_TRUE(cf.count(n)) << "XObject " << n;
      const xobject dx = split(dtext), cx = split(cf.at(n));
      EXPECT_EQ(inflate(cx.data), dx.data) << "XObject " << n;
      // The same dictionary but for the length and the filter after it.
      const std::string dl = " /Length " + std::to_string(dx.data.size());
      const std::string cl = " /Length " + std::to_string(cx.data.size()) + " /Filter /FlateDecode";
      std::string want = dx.dict;
      want.replace(want.find(dl), dl.size(), cl);
      EXPECT_EQ(resolved(cx.dict, cp), resolved(want, dp)) << "XObject " << n;
      if (k.opacity < 1.0f && n >= 3 + 2 * 8 + 8) {
        EXPECT_NE(cx.dict.find("/FlateDecode /Group << /S /Transparency >> /Resources"),
                  std::string::npos);
      }
    }
    // Which contents were kept: page k of either input is XObject 19 + k (background) or 27 + k
    // (foreground, merge), 27 (the stamp); pages 0 and 8 of a kind are the whole Flate streams.
    auto expect_kept = [&](int xobj, const std::string& pdf, int page) {
      const std::string data = split(cf.at(xobj)).data;
      if (page % 8 == 0)
        EXPECT_EQ(data, stream_data(pdf, 1000 + 4 * page)) << "XObject " << xobj << " kept";
      else
        EXPECT_EQ(data, zlib_compress(split(df.at(xobj)).data, 0)) << "XObject " << xobj;
    };
    for (int t = 0; t < 8; ++t) expect_kept(19 + t, bgpdf, t);
    if (k.kind == job_kind::merge || k.kind == job_kind::opacity)
      for (int t = 0; t < 8; ++t) expect_kept(27 + t, fgpdf, t);
    else
      expect_kept(27, fgpdf, 0);
    expect_references_resolve(cp);
  }
  EXPECT_ALL_QPDF_ACCEPT(written);
}

// Each object the closure reaches is written once, and every reference names that copy; the
// default output writes the objects that several pages name once per page.
TEST(CompactJob, EachResourceWrittenOnce) {
  const std::string font =
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /FontDescriptor 70 0 R >>";
  const std::string desc = "<< /Type /FontDescriptor /FontName /Helvetica /Flags 32 >>";
  std::vector<page_spec> pages;
  for (int k = 0; k < 4; ++k)
    pages.push_back({"[0 0 300 300]", "BT /F1 9 Tf (page) Tj ET\n",
                     k == 2 ? "/Resources << /Font << /F1 50 0 R >> /XObject << /I 60 0 R >> >>"
                            : "/Resources << /Font << /F1 50 0 R >> >>",
                     true});
  const std::string bg =
      put_file("bg.pdf", doc_pdf(pages, {{50, font},
                                         {60,
                                          "<< /Type /XObject /Subtype /Form /BBox [0 0 1 1] "
                                          "/Resources << /Font << /F2 50 0 R >> >> /Length 0 "
                                          ">>\nstream\n\nendstream"},
                                         {70, desc}}));
  const std::string fg =
      put_file("fg.pdf", doc_pdf({pages[0], pages[1]}, {{50, font}, {70, desc}}));
  std::vector<std::string> written;
  for (job_kind kind : {job_kind::merge, job_kind::stamp}) {
    SCOPED_TRACE(kind == job_kind::merge ? "merge" : "stamp");
    const std::string dout = (scratch() / "default.pdf").string();
    const std::string cout =
        (scratch() / (kind == job_kind::merge ? "merge.pdf" : "stamp.pdf")).string();
    written.push_back(cout);
    const job_result d = run_job(kind, bg, fg, dout);
    const job_result c = run_compact(kind, bg, fg, cout, 0, 1.0f);
    ASSERT_EQ(d.rc, 1) << d.err;
    ASSERT_EQ(c.rc, 1) << c.err;
    const out_pdf dp = read_output(d.out), cp = read_output(c.out);
    auto count = [](const out_pdf& p, const std::string& what) {
      int n = 0;
      for (const auto& [num, text] : p.objs) n += text.find(what) != std::string::npos;
      return n;
    };
    // Background: font 5 named by 4 pages, and once more by form 6; the foreground's font 5 by
    // its pages (1 in stamp mode). Descriptors once per document in both outputs.
    const int fg_pages = kind == job_kind::merge ? 2 : 1;
    EXPECT_EQ(count(dp, "/BaseFont /Helvetica"), 4 + fg_pages);
    EXPECT_EQ(count(cp, "/BaseFont /Helvetica"), 2);
    EXPECT_EQ(count(dp, "/Type /FontDescriptor"), 2);
    EXPECT_EQ(count(cp, "/Type /FontDescriptor"), 2);
    EXPECT_EQ(count(cp, "/BBox [0 0 1 1]"), 1);
    // Nothing else is left out: the same objects but the extra copies, and no free numbers.
    EXPECT_EQ(cp.objs.size(), dp.objs.size() - (3 + fg_pages - 1));
    EXPECT_EQ(cp.size, static_cast<int>(cp.objs.size()) + 1);
    expect_references_resolve(cp);
  }
  EXPECT_ALL_QPDF_ACCEPT(written);
}

// The read-ahead (a helper thread and the job's own) and the job's thread alone write the same
// compact output; the compressor is called for every content that is not kept.
TEST(CompactJob, SameOutputWithAndWithoutReadAhead) {
  const std::string bg = put_file("bg.pdf", varied_contents_pdf(40, "bg"));
  const std::string fg = put_file("fg.pdf", varied_contents_pdf(33, "fg"));
  std::string outs[2];
  int calls[2];
  for (int helpers = 0; helpers < 2; ++helpers) {
    qm::job_options more;
    more.read_ahead_min_pages = 1;
    more.helper_threads = helpers == 1;
    g_calls = 0;
    const std::string out = (scratch() / "out.pdf").string();
    const job_result r = run_compact(job_kind::merge, bg, fg, out, 0, 1.0f, stored_blocks, more);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(r.read_ahead, helpers == 1);
    outs[helpers] = r.out;
    calls[helpers] = g_calls;
  }
  EXPECT_EQ(outs[0], outs[1]);
  // 40 + 33 pages, of which 5 + 5 hold one whole Flate stream (pages 0, 8, ... of each).
  EXPECT_EQ(calls[0], 73 - 10);
  EXPECT_EQ(calls[1], calls[0]);
}

// A compressor that gives nothing leaves those contents as they are, unfiltered; the kept ones
// still go out compressed. The output still draws the same.
TEST(CompactJob, ContentsTheCompressorRefusesGoOutAsTheyAre) {
  const std::string bg = put_file("bg.pdf", varied_contents_pdf(8, "bg"));
  const std::string fg = put_file("fg.pdf", n_pages_pdf(1, "fg"));
  const std::string dout = (scratch() / "default.pdf").string();
  const std::string cout = (scratch() / "compact.pdf").string();
  const job_result d = run_job(job_kind::stamp, bg, fg, dout);
  const job_result c = run_compact(job_kind::stamp, bg, fg, cout, 0, 1.0f, refusing);
  ASSERT_EQ(c.rc, 1) << c.err;
  const auto df = forms(read_output(d.out)), cf = forms(read_output(c.out));
  ASSERT_EQ(cf.size(), df.size());
  for (const auto& [n, text] : cf) {
    const bool kept = n == 19;  // background page 0, the whole Flate stream
    EXPECT_EQ(text.find("/Filter /FlateDecode") != std::string::npos, kept) << "XObject " << n;
    if (!kept) {
      EXPECT_EQ(text, df.at(n));
    }
  }
  EXPECT_QPDF_ACCEPTS(cout);
}
