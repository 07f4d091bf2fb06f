// Translucent jobs: every foreground XObject is a transparency group, so that the fade holds
// whatever graphics state the foreground's own content sets; background XObjects and opaque jobs
// are untouched.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "support/jobpdf.h"

namespace {

using namespace qmtest;

const std::string kGroup = " /Group << /S /Transparency >>";

// The XObject numbers that the output's pages draw under the name /Bg or /Fg.
std::vector<int> drawn_as(const out_pdf& p, const std::string& name) {
  std::vector<int> nums;
  const std::regex re("/" + name + " ([0-9]+) 0 R");
  for (const auto& [n, text] : p.objs) {
    if (text.rfind("<< /Type /Page ", 0) != 0) continue;
    std::smatch m;
    if (std::regex_search(text, m, re)) nums.push_back(std::stoi(m[1]));
  }
  return nums;
}

// The header of an XObject body: everything up to and including " stream\n".
std::string header_of(const std::string& body) {
  return body.substr(0, body.find(" stream\n") + 8);
}

// The foreground's header, exactly, for each rotation, with and without resources, in stamps and
// merges, on top and underneath. The 44-byte content keeps the /Length fixed.
TEST(TranslucentJob, ForegroundHeaderCarriesTheGroup) {
  const std::string content(44, '%');
  struct hcase {
    int rotate;
    bool resources;
    job_kind kind;
    int mode;
  };
  std::vector<hcase> cases;
  for (int rotate : {0, 90})
    for (bool res : {false, true})
      for (job_kind kind : {job_kind::stamp_opacity, job_kind::opacity})
        for (int mode : {0, 1}) cases.push_back({rotate, res, kind, mode});
  const std::string bg = put_file("bg.pdf", n_pages_pdf(1, "bg"));
  const std::string out = (scratch() / "out.pdf").string();
  for (const auto& c : cases) {
    SCOPED_TRACE("rotate " + std::to_string(c.rotate) + (c.resources ? " with" : " without") +
                 " resources, " + (c.kind == job_kind::opacity ? "merge" : "stamp") + ", mode " +
                 std::to_string(c.mode));
    std::string extra = c.rotate ? "/Rotate 90" : "";
    if (c.resources) extra += " /Resources << /Font << /F1 50 0 R >> >>";
    const std::string fg =
        put_file("fg.pdf", doc_pdf({{"[0 0 612 792]", content, extra}},
                                   {{50, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>"}}));
    const job_result r = run_job(c.kind, bg, fg, out, c.mode, 0.4f);
    ASSERT_EQ(r.rc, 1) << r.err;
    const out_pdf p = read_output(r.out);
    const std::vector<int> fgx = drawn_as(p, "Fg"), bgx = drawn_as(p, "Bg");
    ASSERT_EQ(fgx.size(), 1u);
    ASSERT_EQ(bgx.size(), 1u);
    // Objects: 1 catalog, 2 page tree, 3 page, 4 content, 5 background, 6 foreground, 7 font.
    const std::string want =
        std::string("<< /Type /XObject /Subtype /Form /BBox [0 0 612 792]") +
        (c.rotate ? " /Matrix [0 -1 1 0 0 612]" : "") + " /Length 44" + kGroup +
        (c.resources ? " /Resources << /Font << /F1 7 0 R >> >>" : "") + " >> stream\n";
    EXPECT_EQ(header_of(p.objs.at(fgx[0])), want);
    EXPECT_EQ(p.objs.at(bgx[0]).find("/Group"), std::string::npos);
    if (have_qpdf()) {
      EXPECT_TRUE(qpdf_accepts(out));
    }
  }
  if (!have_qpdf()) GTEST_SKIP() << "qpdf is not installed";
}

// A merge whose foreground runs past the background's end: every foreground page is a group, the
// ones on pages of their own too; no background page ever is. Opaque jobs write no group at all
// and are byte for byte what the C functions write.
TEST(TranslucentJob, EveryForegroundPageAndOnlyThose) {
  const std::string bg = put_file("bg.pdf", n_pages_pdf(2, "bg"));
  const std::string fg = put_file("fg.pdf", n_pages_pdf(4, "fg", "[0 0 300 300]"));
  const std::string out = (scratch() / "out.pdf").string();

  const job_result r = run_job(job_kind::opacity, bg, fg, out, 0, 0.5f);
  ASSERT_EQ(r.rc, 1) << r.err;
  const out_pdf p = read_output(r.out);
  const std::vector<int> fgx = drawn_as(p, "Fg"), bgx = drawn_as(p, "Bg");
  ASSERT_EQ(fgx.size(), 4u);
  ASSERT_EQ(bgx.size(), 2u);
  for (int n : fgx) EXPECT_NE(header_of(p.objs.at(n)).find(kGroup), std::string::npos) << n;
  for (int n : bgx) EXPECT_EQ(p.objs.at(n).find("/Group"), std::string::npos) << n;

  struct ocase {
    job_kind translucent_kind, c_kind;
  };
  for (const ocase c : {ocase{job_kind::opacity, job_kind::merge},
                        ocase{job_kind::stamp_opacity, job_kind::stamp}}) {
    const job_result opaque = run_job(c.translucent_kind, bg, fg, out, 1, 0.999f);
    const job_result plain = run_job(c.c_kind, bg, fg, out, 1);
    ASSERT_EQ(opaque.rc, 1);
    EXPECT_EQ(opaque.out, plain.out);
    EXPECT_EQ(opaque.out.find("/Group"), std::string::npos);
  }
}

// --- Rendering: the fade holds even where the foreground sets /ca 1 itself ---------------------

// A page rendered at 72 dpi in grey, as the bytes of a binary PGM's pixels; empty when no renderer
// is installed or rendering failed.
std::string render_gray(const std::string& pdf, const std::string& stem) {
  const std::string pgm = stem + ".pgm";
  std::remove(pgm.c_str());
  std::string cmd;
  if (std::system("command -v mutool >/dev/null 2>&1") == 0)
    cmd = "mutool draw -q -r 72 -c gray -o '" + pgm + "' '" + pdf + "' 1 >/dev/null 2>&1";
  else if (std::system("command -v pdftoppm >/dev/null 2>&1") == 0)
    cmd = "pdftoppm -gray -r 72 -singlefile '" + pdf + "' '" + stem + "' >/dev/null 2>&1";
  else
    return "";
  if (std::system(cmd.c_str()) != 0) return "";
  const std::string img = read_file(pgm);
  // "P5\n<w> <h>\n255\n" and then the pixels.
  size_t at = 0;
  for (int fields = 0; fields < 4 && at < img.size(); ++fields) {
    while (at < img.size() && std::isspace(static_cast<unsigned char>(img[at]))) ++at;
    while (at < img.size() && !std::isspace(static_cast<unsigned char>(img[at]))) ++at;
  }
  return at < img.size() ? img.substr(at + 1) : "";
}

// The ink on a page: how far from white its pixels are, summed.
double ink(const std::string& pixels) {
  double sum = 0;
  for (unsigned char v : pixels) sum += 255 - v;
  return sum;
}

TEST(TranslucentJob, ForegroundThatSetsItsOwnAlphaStillFades) {
  const bool have = std::system("command -v mutool >/dev/null 2>&1") == 0 ||
                    std::system("command -v pdftoppm >/dev/null 2>&1") == 0;
  if (!have) GTEST_SKIP() << "neither mutool nor pdftoppm is installed";
  const std::string bg = put_file("bg.pdf", doc_pdf({{"[0 0 200 200]", " ", ""}}));
  // A flat black square drawn after the foreground's own state sets full opacity.
  const std::string fg = put_file(
      "fg.pdf",
      doc_pdf({{"[0 0 200 200]", "/Own gs 0 g 50 50 100 100 re f\n",
                "/Resources << /ExtGState << /Own << /Type /ExtGState /ca 1 /CA 1 >> >> >>"}}));
  const std::string opaque = (scratch() / "opaque.pdf").string(),
                    faded = (scratch() / "faded.pdf").string();
  for (job_kind kind : {job_kind::opacity, job_kind::stamp_opacity}) {
    SCOPED_TRACE(kind == job_kind::opacity ? "merge" : "stamp");
    ASSERT_EQ(run_job(kind, bg, fg, opaque, 0, 1.0f).rc, 1);
    ASSERT_EQ(run_job(kind, bg, fg, faded, 0, 0.2f).rc, 1);
    const double full = ink(render_gray(opaque, (scratch() / "opaque").string()));
    const double part = ink(render_gray(faded, (scratch() / "faded").string()));
    ASSERT_GT(full, 0) << "the opaque square did not render";
    EXPECT_GE(part / full, 0.15);
    EXPECT_LE(part / full, 0.25);
  }
}

}  // namespace
