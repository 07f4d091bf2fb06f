// Overlay job outputs: whole files byte for byte, the numbering plan, page pairing and counts.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "job/writer.h"
#include "support/jobpdf.h"

namespace {

using namespace qmtest;

// Background: one 612 x 792 page drawing "0 g". Foreground: one 595 x 842 page drawing "1 g".
// Neither has resources.
struct one_page_inputs {
  std::string bg = put_file("one_bg.pdf", doc_pdf({{"[0 0 612 792]", "0 g\n", ""}}));
  std::string fg = put_file("one_fg.pdf", doc_pdf({{"[0 0 595 842]", "1 g\n", ""}}));
};

const std::string kCatalog = "<< /Type /Catalog /Pages 2 0 R >>";
const std::string kBgXobj =
    "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 4 >> stream\n0 g\n\nendstream";
const std::string kFgXobj =
    "<< /Type /XObject /Subtype /Form /BBox [0 0 595 842] /Length 4 >> stream\n1 g\n\nendstream";
// The same foreground in a translucent job: a transparency group, faded as one layer.
const std::string kFgGroupXobj =
    "<< /Type /XObject /Subtype /Form /BBox [0 0 595 842] /Length 4 /Group << /S /Transparency "
    ">> >> stream\n1 g\n\nendstream";

std::string page_obj(const std::string& box, int contents, const std::string& xobjects,
                     const std::string& gs = "") {
  return "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + box + "] /Contents " +
         std::to_string(contents) + " 0 R\n   /Resources <<\n     /XObject <<" + xobjects +
         " >>\n" + gs + "   >>\n>>";
}

std::string content_obj(const std::string& text) {
  return "<< /Length " + std::to_string(text.size()) + " >>\nstream\n" + text + "endstream";
}

std::string gs_line(const std::string& v) {
  return "     /ExtGState << /GSovl << /Type /ExtGState /ca " + v + " /CA " + v + " >> >>\n";
}

// The one-page job under every layering and opacity: the output is fixed to the byte. The
// foreground (595 x 842) is centred on the 612 x 792 page: 8.5 right, 25 down.
struct one_page_case {
  const char* name;
  job_kind kind;
  int mode;
  float opacity;
  std::string gs;       // the page's /ExtGState line, "" when opaque
  std::string content;  // the page's content stream
};

TEST(JobOutput, OnePageWholeFile) {
  const std::string bg_line = "q 1 0 0 1 0 0 cm /Bg Do Q\n";
  const std::string fg_line = "q 1 0 0 1 8.5000 -25 cm /Fg Do Q\n";
  const std::string fg_gs_line = "q /GSovl gs 1 0 0 1 8.5000 -25 cm /Fg Do Q\n";
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<one_page_case> cases = {
      {"merge", job_kind::merge, 0, 1, "", bg_line + fg_line},
      {"underlay", job_kind::merge, 1, 1, "", fg_line + bg_line},
      {"opacity 1", job_kind::opacity, 0, 1.0f, "", bg_line + fg_line},
      {"opacity 0.5", job_kind::opacity, 0, 0.5f, gs_line("0.5000"), bg_line + fg_gs_line},
      {"opacity 0.5 underlay", job_kind::opacity, 1, 0.5f, gs_line("0.5000"), fg_gs_line + bg_line},
      {"opacity 0.3", job_kind::opacity, 0, 0.3f, gs_line("0.3000"), bg_line + fg_gs_line},
      {"opacity 0", job_kind::opacity, 0, 0.0f, gs_line("0"), bg_line + fg_gs_line},
      // Clamped: NaN and values above 1 are opaque, values below 0 invisible.
      {"opacity NaN", job_kind::opacity, 0, nan, "", bg_line + fg_line},
      {"opacity 1.5", job_kind::opacity, 0, 1.5f, "", bg_line + fg_line},
      {"opacity -0.25", job_kind::opacity, 0, -0.25f, gs_line("0"), bg_line + fg_gs_line},
      // 0.999 counts as opaque; the float just below it does not.
      {"opacity 0.999", job_kind::opacity, 0, 0.999f, "", bg_line + fg_line},
      {"opacity below 0.999", job_kind::opacity, 0, std::nextafter(0.999f, 0.0f), gs_line("0.9990"),
       bg_line + fg_gs_line},
      {"stamp", job_kind::stamp, 0, 1, "", bg_line + fg_line},
      {"stamp opacity 0.5", job_kind::stamp_opacity, 0, 0.5f, gs_line("0.5000"),
       bg_line + fg_gs_line},
      {"stamp opacity 1", job_kind::stamp_opacity, 0, 1.0f, "", bg_line + fg_line},
  };
  one_page_inputs in;
  const std::string out = (scratch() / "one_out.pdf").string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const job_result r = run_job(c.kind, in.bg, in.fg, out, c.mode, c.opacity);
    ASSERT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(r.err, "");
    // Objects 1 catalog, 2 page tree, 3 page, 4 content, 5 background, 6 foreground (or stamp).
    const std::string want =
        expected_pdf({{1, kCatalog},
                      {2, "<< /Type /Pages /Kids [3 0 R ] /Count 1 >>"},
                      {3, page_obj("612 792", 4, " /Bg 5 0 R /Fg 6 0 R", c.gs)},
                      {4, content_obj(c.content)},
                      {5, kBgXobj},
                      {6, c.gs.empty() ? kFgXobj : kFgGroupXobj}},
                     7);
    EXPECT_EQ(r.out, want);
    read_output(r.out);  // startxref and every entry checked independently
  }
  EXPECT_QPDF_ACCEPTS(out);
}

// A stamp over two background pages: pages 3 and 4, contents 5 and 6, background XObjects 7 and
// 8, the stamp 9, named by both pages. The foreground's second page, whose resources name an
// object, is never imported: nothing of it reaches the output.
TEST(JobOutput, StampOverTwoPagesWholeFile) {
  const std::string bg = put_file(
      "stamp2_bg.pdf", doc_pdf({{"[0 0 612 792]", "0 g\n", ""}, {"[0 0 595 842]", "0.5 g\n", ""}}));
  const std::string fg =
      put_file("stamp2_fg.pdf",
               doc_pdf({{"[0 0 100 50]", "1 g\n", ""},
                        {"[0 0 100 50]", "% two\n", "/Resources << /Font << /F1 50 0 R >> >>"}},
                       {{50, "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>"}}));
  const std::string out = (scratch() / "stamp2_out.pdf").string();
  const job_result r = run_job(job_kind::stamp, bg, fg, out);
  ASSERT_EQ(r.rc, 1) << r.err;
  const std::string want = expected_pdf(
      {{1, kCatalog},
       {2, "<< /Type /Pages /Kids [3 0 R 4 0 R ] /Count 2 >>"},
       {3, page_obj("612 792", 5, " /Bg 7 0 R /Fg 9 0 R")},
       {4, page_obj("595 842", 6, " /Bg 8 0 R /Fg 9 0 R")},
       // The stamp is centred on each background page on its own.
       {5, content_obj("q 1 0 0 1 0 0 cm /Bg Do Q\nq 1 0 0 1 256 371 cm /Fg Do Q\n")},
       {6, content_obj("q 1 0 0 1 0 0 cm /Bg Do Q\nq 1 0 0 1 247.5000 396 cm /Fg Do Q\n")},
       {7, kBgXobj},
       {8,
        "<< /Type /XObject /Subtype /Form /BBox [0 0 595 842] /Length 6 >> stream\n0.5 g\n"
        "\nendstream"},
       {9,
        "<< /Type /XObject /Subtype /Form /BBox [0 0 100 50] /Length 4 >> stream\n1 g\n"
        "\nendstream"}},
      10);
  EXPECT_EQ(r.out, want);
  EXPECT_QPDF_ACCEPTS(out);
}

// Copied resources follow the XObjects, background entries first. A resource whose input object
// does not exist keeps its number, is not written, and gets a free entry; the references to it
// are still renumbered.
TEST(JobOutput, CopiedAndMissingResourcesWholeFile) {
  const std::string bg =
      put_file("res_bg.pdf",
               doc_pdf({{"[0 0 612 792]", "0 g\n", "/Resources << /Font << /F1 9 0 R >> >>"}}));
  const std::string fg = put_file(
      "res_fg.pdf", doc_pdf({{"[0 0 595 842]", "1 g\n", "/Resources << /Font << /F1 60 0 R >> >>"}},
                            {{60, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"}}));
  const std::string out = (scratch() / "res_out.pdf").string();
  const job_result r = run_job(job_kind::merge, bg, fg, out);
  ASSERT_EQ(r.rc, 1) << r.err;
  // Copies start at 2T + 3 + B + F = 7: background 9 -> 7 (missing), foreground 60 -> 8.
  const std::string want = expected_pdf(
      {{1, kCatalog},
       {2, "<< /Type /Pages /Kids [3 0 R ] /Count 1 >>"},
       {3, page_obj("612 792", 4, " /Bg 5 0 R /Fg 6 0 R")},
       {4, content_obj("q 1 0 0 1 0 0 cm /Bg Do Q\nq 1 0 0 1 8.5000 -25 cm /Fg Do Q\n")},
       {5,
        "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 4 /Resources << /Font "
        "<< /F1 7 0 R >> >> >> stream\n0 g\n\nendstream"},
       {6,
        "<< /Type /XObject /Subtype /Form /BBox [0 0 595 842] /Length 4 /Resources << /Font "
        "<< /F1 8 0 R >> >> >> stream\n1 g\n\nendstream"},
       {8, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>\n"}},
      9);
  EXPECT_EQ(r.out, want);
  const out_pdf p = read_output(r.out);
  EXPECT_EQ(p.xref.at(7), "0000000000 00000 f \n");
}

// Page pairing and counts. Each input page's content names it, so every XObject can be traced
// to the input page it imports.
struct count_case {
  const char* name;
  job_kind kind;
  int bg_pages, fg_pages;
  int total;
  friend void PrintTo(const count_case& c, std::ostream* os) { *os << c.name; }
};

class JobCounts : public ::testing::TestWithParam<count_case> {};

TEST_P(JobCounts, PairsPagesAndNumbersObjects) {
  const count_case& c = GetParam();
  const std::string bg = put_file("cnt_bg.pdf", n_pages_pdf(c.bg_pages, "bg"));
  // Foreground pages are smaller, so the size of a page without background shows.
  const std::string fg = put_file("cnt_fg.pdf", n_pages_pdf(c.fg_pages, "fg", "[0 0 300 400]"));
  const std::string out = (scratch() / "cnt_out.pdf").string();
  const job_result r = run_job(c.kind, bg, fg, out);
  ASSERT_EQ(r.rc, 1) << r.err;
  const out_pdf p = read_output(r.out);
  const int T = c.total, B = c.bg_pages, F = c.fg_pages;
  const bool stamp = c.kind == job_kind::stamp;
  const int S = stamp ? 2 * T + 3 + B + 1 : 2 * T + 3 + B + F;
  EXPECT_EQ(p.size, S);
  std::string kids;
  for (int t = 0; t < T; ++t) kids += std::to_string(3 + t) + " 0 R ";
  EXPECT_EQ(p.objs.at(2),
            "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(T) + " >>");
  for (int t = 0; t < T; ++t) {
    SCOPED_TRACE(t);
    const bool has_bg = t < B, has_fg = stamp || t < F;
    std::string x;
    if (has_bg) x += " /Bg " + std::to_string(2 * T + 3 + t) + " 0 R";
    const int fnum = stamp ? 2 * T + 3 + B : 2 * T + 3 + B + t;
    if (has_fg) x += " /Fg " + std::to_string(fnum) + " 0 R";
    EXPECT_EQ(p.objs.at(3 + t), page_obj(has_bg ? "612 792" : "300 400", T + 3 + t, x));
    std::string content;
    if (has_bg) content += "q 1 0 0 1 0 0 cm /Bg Do Q\n";
    if (has_fg)
      content += has_bg ? "q 1 0 0 1 156 196 cm /Fg Do Q\n" : "q 1 0 0 1 0 0 cm /Fg Do Q\n";
    EXPECT_EQ(p.objs.at(T + 3 + t), content_obj(content));
    if (has_bg) {
      EXPECT_NE(p.objs.at(2 * T + 3 + t).find("% bg page " + std::to_string(t + 1) + "\n"),
                std::string::npos);
    }
    if (has_fg) {
      EXPECT_NE(p.objs.at(fnum).find("% fg page " + std::to_string(stamp ? 1 : t + 1) + "\n"),
                std::string::npos);
    }
  }
  // Every number up to the size is written: nothing is left out, nothing extra.
  EXPECT_EQ(static_cast<int>(p.objs.size()), S - 1);
  EXPECT_QPDF_ACCEPTS(out);
}

INSTANTIATE_TEST_SUITE_P(Pairing, JobCounts,
                         ::testing::Values(count_case{"merge_3_5", job_kind::merge, 3, 5, 5},
                                           count_case{"merge_5_2", job_kind::merge, 5, 2, 5},
                                           count_case{"merge_1_1", job_kind::merge, 1, 1, 1},
                                           count_case{"stamp_4_3", job_kind::stamp, 4, 3, 4},
                                           count_case{"stamp_2_9", job_kind::stamp, 2, 9, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// Rotation: the page's own /Rotate (reduced modulo 360) wins over the page tree's; a page
// without one inherits. The output page takes the rotated size and the XObject the matrix.
TEST(JobOutput, EffectiveRotation) {
  struct rcase {
    const char* name;
    std::string tree_rotate;  // in the /Pages node
    std::string page_rotate;  // in the page
    bool swapped;
    const char* matrix;  // "" for none
  };
  const std::vector<rcase> cases = {
      {"none", "", "", false, ""},
      {"own 90", "", "/Rotate 90", true, " /Matrix [0 -1 1 0 0 612]"},
      {"own 450", "", "/Rotate 450", true, " /Matrix [0 -1 1 0 0 612]"},
      {"own 180", "", "/Rotate 180", false, " /Matrix [-1 0 0 -1 612 792]"},
      {"inherited 270", "/Rotate 270", "", true, " /Matrix [0 1 -1 0 792 0]"},
      {"own 0 over inherited 90", "/Rotate 90", "/Rotate 0", false, ""},
  };
  const std::string fg = put_file("rot_fg.pdf", n_pages_pdf(1, "fg", "[0 0 612 792]"));
  const std::string out = (scratch() / "rot_out.pdf").string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pdfgen g;
    g.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
    g.obj(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 " + c.tree_rotate + " >>");
    g.obj(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R " +
                 c.page_rotate + " >>");
    g.stream(4, "0 g\n");
    const std::string bg = put_file("rot_bg.pdf", g.bytes());
    const job_result r = run_job(job_kind::merge, bg, fg, out);
    ASSERT_EQ(r.rc, 1) << r.err;
    const out_pdf p = read_output(r.out);
    EXPECT_NE(p.objs.at(3).find(c.swapped ? "/MediaBox [0 0 792 612]" : "/MediaBox [0 0 612 792]"),
              std::string::npos);
    EXPECT_EQ(p.objs.at(5), std::string("<< /Type /XObject /Subtype /Form /BBox [0 0 612 792]") +
                                c.matrix + " /Length 4 >> stream\n0 g\n\nendstream");
  }
}

// Both inputs are read whole before the output is opened, so the output may replace an input.
TEST(JobOutput, OutputMayNameAnInput) {
  const std::string bg_bytes = n_pages_pdf(2, "bg");
  const std::string fg = put_file("same_fg.pdf", n_pages_pdf(3, "fg", "[0 0 300 400]"));
  const std::string bg = put_file("same_bg.pdf", bg_bytes);
  const std::string elsewhere = (scratch() / "same_ref.pdf").string();
  const job_result ref = run_job(job_kind::merge, bg, fg, elsewhere);
  ASSERT_EQ(ref.rc, 1) << ref.err;
  for (const std::string& target : {bg, fg}) {
    put_file("same_bg.pdf", bg_bytes);
    put_file("same_fg.pdf", n_pages_pdf(3, "fg", "[0 0 300 400]"));
    ASSERT_EQ(quiremark_merge(bg.c_str(), fg.c_str(), target.c_str(), 0), 1)
        << quiremark_last_error();
    EXPECT_EQ(read_file(target), ref.out);
  }
}

// Per-page content streams are sized to what they hold: a job of many pages stays small.
TEST(JobOutput, ManyPagesThroughOneRepeatedPage) {
  // A page tree whose /Kids names the same page object 3000 times: 3000 pages.
  const int n = 3000;
  pdfgen g;
  g.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
  std::string kids;
  for (int k = 0; k < n; ++k) kids += "3 0 R ";
  g.obj(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
  g.obj(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>");
  g.stream(4, "0 g\n");
  const std::string bg = put_file("many_bg.pdf", g.bytes());
  const std::string fg = put_file("many_fg.pdf", n_pages_pdf(1, "fg"));
  const std::string out = (scratch() / "many_out.pdf").string();
  const job_result r = run_job(job_kind::stamp, bg, fg, out);
  ASSERT_EQ(r.rc, 1) << r.err;
  const out_pdf p = read_output(r.out);
  EXPECT_EQ(p.size, 2 * n + 3 + n + 1);
  EXPECT_EQ(p.objs.at(3 + n - 1), page_obj("612 792", 2 * n + 2,
                                           " /Bg " + std::to_string(3 * n + 2) + " 0 R /Fg " +
                                               std::to_string(3 * n + 3) + " 0 R"));
}

}  // namespace

namespace {

// Cross-reference entries hold ten digits: a position of 10^10 or more cannot be listed, and the
// writer refuses such an output instead of writing a broken table.
TEST(JobOutput, PositionsMustFitTenDigits) {
  struct xcase {
    std::vector<int64_t> offsets;
    bool fits;
  };
  const std::vector<xcase> cases = {
      {{}, true},
      {{-1, 0, 15, -1}, true},
      {{-1, 9999999999}, true},
      {{-1, 10000000000}, false},
      {{5, 99999999999, 7}, false},
      {{-1, int64_t{1} << 40}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(qm::offsets_fit_xref(c.offsets), c.fits);

  // The writer's refusal: its message, result 0, and no file.
  qm::overlay_job j;
  j.obj_count = 2;
  j.obj_offset = {-1, 10000000000};
  const std::string path = (scratch() / "too_large.pdf").string();
  EXPECT_FALSE(qm::write_output(j, path.c_str()));
  EXPECT_EQ(std::string(j.err.text),
            "output too large for " + path +
                ": objects beyond byte 9999999999 cannot be listed in the cross-reference table");
  EXPECT_EQ(j.err_part, qm::job_part::output);
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
