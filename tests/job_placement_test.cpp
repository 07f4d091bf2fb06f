// Page placement: output page sizes, translations for every rotation, and page content streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "job/job.h"
#include "job/placement.h"

namespace {

qm::page_rec page(double x0, double y0, double w, double h, int32_t rotate) {
  qm::page_rec p;
  p.x0 = x0;
  p.y0 = y0;
  p.width = w;
  p.height = h;
  p.rotate = rotate;
  return p;
}

struct place_case {
  const char* name;
  qm::page_rec p;
  double target_w, target_h;
  double tx, ty;
};

// The turned box (see the Form XObject's /Matrix) lands at the centring offsets.
TEST(Placement, TranslationsForEveryRotation) {
  const std::vector<place_case> cases = {
      // A page on its own displayed size: only the box corner moves to the origin.
      {"origin 0", page(0, 0, 612, 792, 0), 612, 792, 0, 0},
      {"box at 10,20 rot 0", page(10, 20, 612, 792, 0), 612, 792, -10, -20},
      {"box at 10,20 rot 90", page(10, 20, 612, 792, 90), 792, 612, -20, 10},
      {"box at 10,20 rot 180", page(10, 20, 612, 792, 180), 612, 792, 10, 20},
      {"box at 10,20 rot 270", page(10, 20, 612, 792, 270), 792, 612, 20, -10},
      // No multiple of 90: drawn unturned, but the size counts as swapped.
      {"box at 10,20 rot 45", page(10, 20, 612, 792, 45), 792, 612, -10, -20},
      // Centring: a smaller page moves in, a larger one gets negative offsets; never scaled.
      {"A4 on Letter", page(0, 0, 595, 842, 0), 612, 792, 8.5, -25},
      {"small centred", page(0, 0, 100, 50, 0), 612, 792, 256, 371},
      {"small rot 90", page(0, 0, 100, 50, 90), 612, 792, (612 - 50) * 0.5, (792 - 100) * 0.5},
      {"small rot 270 with origin", page(5, 7, 100, 50, 270), 612, 792, 281 + 7, 346 - 5},
      {"small rot 180 with origin", page(5, 7, 100, 50, 180), 612, 792, 256 + 5, 371 + 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    double tx = 1e9, ty = 1e9;
    qm::calc_placement(c.p, c.target_w, c.target_h, &tx, &ty);
    EXPECT_DOUBLE_EQ(tx, c.tx);
    EXPECT_DOUBLE_EQ(ty, c.ty);
  }
}

TEST(Placement, RotatedSize) {
  struct scase {
    int32_t rotate;
    double w, h;
  };
  for (const scase& c : std::vector<scase>{{0, 612, 792},
                                           {90, 792, 612},
                                           {180, 612, 792},
                                           {270, 792, 612},
                                           {45, 792, 612},
                                           {359, 792, 612}}) {
    double w, h;
    qm::rotated_size(page(3, 4, 612, 792, c.rotate), &w, &h);
    EXPECT_EQ(w, c.w) << c.rotate;
    EXPECT_EQ(h, c.h) << c.rotate;
  }
}

// A job record with page lists only: bg_sizes and fg_sizes give each page's box (at the origin).
qm::overlay_job job(std::vector<qm::page_rec> bg, std::vector<qm::page_rec> fg, int mode,
                    bool translucent, int stamp) {
  qm::overlay_job j;
  j.bg.pages = std::move(bg);
  j.fg.pages = std::move(fg);
  j.bg_count = static_cast<int32_t>(j.bg.pages.size());
  j.fg_count = static_cast<int32_t>(j.fg.pages.size());
  j.mode = mode;
  j.translucent = translucent;
  j.stamp = stamp;
  j.total_pages = stamp ? j.bg_count : std::max(j.bg_count, j.fg_count);
  return j;
}

std::vector<std::string> contents_of(qm::overlay_job& j) {
  qm::build_page_contents(j);
  std::vector<std::string> v;
  size_t from = 0;
  for (size_t end : j.content_end) {
    v.push_back(j.contents.substr(from, end - from));
    from = end;
  }
  return v;
}

struct content_case {
  const char* name;
  int mode;
  bool translucent;
  int stamp;
  std::vector<std::string> want;
};

// Two background pages (612 x 792, then 842 x 595 turned to 595 x 842) and three foreground
// pages of 200 x 100, or one stamp.
TEST(Placement, PageContentLinesAndOrder) {
  const std::string bg1 = "q 1 0 0 1 0 0 cm /Bg Do Q\n";
  const std::string bg2 = "q 1 0 0 1 0 0 cm /Bg Do Q\n";
  const std::vector<content_case> cases = {
      {"merge on top",
       0,
       false,
       0,
       {bg1 + "q 1 0 0 1 206 346 cm /Fg Do Q\n", bg2 + "q 1 0 0 1 197.5000 371 cm /Fg Do Q\n",
        "q 1 0 0 1 0 0 cm /Fg Do Q\n"}},
      {"merge underlay",
       1,
       false,
       0,
       {"q 1 0 0 1 206 346 cm /Fg Do Q\n" + bg1, "q 1 0 0 1 197.5000 371 cm /Fg Do Q\n" + bg2,
        "q 1 0 0 1 0 0 cm /Fg Do Q\n"}},
      // The opacity state goes with the foreground alone, on a foreground-only page too.
      {"translucent underlay",
       1,
       true,
       0,
       {"q /GSovl gs 1 0 0 1 206 346 cm /Fg Do Q\n" + bg1,
        "q /GSovl gs 1 0 0 1 197.5000 371 cm /Fg Do Q\n" + bg2,
        "q /GSovl gs 1 0 0 1 0 0 cm /Fg Do Q\n"}},
      {"stamp",
       0,
       false,
       1,
       {bg1 + "q 1 0 0 1 206 346 cm /Fg Do Q\n", bg2 + "q 1 0 0 1 197.5000 371 cm /Fg Do Q\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qm::overlay_job j =
        job({page(0, 0, 612, 792, 0), page(0, 0, 842, 595, 90)},
            {page(0, 0, 200, 100, 0), page(0, 0, 200, 100, 0), page(0, 0, 200, 100, 0)}, c.mode,
            c.translucent, c.stamp);
    EXPECT_EQ(contents_of(j), c.want);
  }
}

TEST(Placement, BackgroundOnlyPagesAndOutputSizes) {
  // Five background pages, two foreground pages: pages 3 to 5 carry their background alone and
  // never the opacity state.
  std::vector<qm::page_rec> bg(5, page(0, 0, 612, 792, 0));
  qm::overlay_job j = job(bg, {page(0, 0, 612, 792, 0), page(0, 0, 612, 792, 0)}, 1, true, 0);
  const auto v = contents_of(j);
  ASSERT_EQ(v.size(), 5u);
  for (size_t t = 2; t < 5; ++t) EXPECT_EQ(v[t], "q 1 0 0 1 0 0 cm /Bg Do Q\n");
  // A page beyond the background's end takes its foreground page's displayed size.
  qm::overlay_job k =
      job({page(0, 0, 612, 792, 0)}, {page(0, 0, 1, 1, 0), page(9, 9, 300, 400, 90)}, 0, false, 0);
  double w, h;
  qm::output_page_size(k, 1, &w, &h);
  EXPECT_EQ(w, 400);
  EXPECT_EQ(h, 300);
  qm::output_page_size(k, 0, &w, &h);
  EXPECT_EQ(w, 612);
  EXPECT_EQ(h, 792);
  EXPECT_EQ(contents_of(k)[1], "q 1 0 0 1 -9 9 cm /Fg Do Q\n");
}

}  // namespace
