// Resource closure and renumbering: references in text, the closure, the map, remapped text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import/resources.h"
#include "support/importdoc.h"

using namespace qm;
using qmtest::docbuilder;
using qmtest::make_map;

namespace {

std::vector<int32_t> refs_of(std::string_view t) {
  std::vector<int32_t> v;
  collect_text_refs(t, v);
  return v;
}

std::vector<int32_t> closure_of(const qm::doc& d, const std::vector<int32_t>& seeds) {
  std::vector<int32_t> c;
  collect_resources(d, seeds, c);
  return c;
}

}  // namespace

TEST(CollectTextRefs, Cases) {
  struct c {
    std::string text;
    std::vector<int32_t> refs;
  } cases[] = {
      {"/A 3 0 R /B 12 10 R /C 4 R", {3, 12, 4}},
      {"12R", {12}},
      {"[12 R]", {12}},
      {"5 0\nR", {5}},
      {"5 0 R 5 0 R", {5, 5}},  // every occurrence
      {"5 0 RG 6 0 R", {6}},    // the R begins a longer word
      {"5 0 R/6 0 R", {5, 6}},
      {"/W 5 /X 7 0 R", {7}},  // a number with no R is no reference, the next one is examined
      {"1 2 3 R", {2}},        // "2 3 R"; 1 is left alone
      {"/F2 6 R", {6}},        // the 2 ends a name: not a candidate; "6 R" is
      {"/F2 0 R", {0}},
      {"x5 0 R", {0}},  // 5 is no candidate, the short form "0 R" is
      {"-5 0 R", {0}},
      {"x5 1 R", {1}},
      {"(5 0 R)", {5}},  // strings are not told apart
      {"<5 0 R>", {5}},
      {"%5 0 R\n", {5}},
      {"{5 0 R}", {5}},
      {std::string("\x00"
                   "5 0 R",
                   6),
       {5}},
      {"5 0 R 7", {5}},         // the text ends inside a number
      {"4294967297 0 R", {1}},  // 32-bit wrap
      {"", {}},
  };
  for (const c& x : cases) {
    EXPECT_EQ(refs_of(x.text), x.refs) << x.text;
  }
  std::vector<int32_t> v = {99};
  collect_text_refs("1 0 R", v);
  EXPECT_EQ(v, (std::vector<int32_t>{99, 1}));  // appends
}

TEST(CollectTextRefs, HasNoCapacity) {
  std::string t;
  for (int i = 1; i <= 10000; ++i)
    t += "/R" + std::to_string(i) + " " + std::to_string(i) + " 0 R ";
  std::vector<int32_t> v = refs_of(t);
  ASSERT_EQ(v.size(), 10000u);
  EXPECT_EQ(v.front(), 1);
  EXPECT_EQ(v.back(), 10000);
}

TEST(RenumMap, LookupGivesTheFirstEntry) {
  renum_map m = make_map({5, 6, 5, 7, -3, 2000000000, -3}, 40);
  EXPECT_EQ(m.new_num, (std::vector<int32_t>{40, 41, 42, 43, 44, 45, 46}));
  struct c {
    int32_t old, nw;
  } cases[] = {{5, 40}, {6, 41}, {7, 43},  {-3, 44},        {2000000000, 45},
               {8, -1}, {0, -1}, {-1, -1}, {1999999999, -1}};
  for (const c& x : cases) EXPECT_EQ(map_lookup(m, x.old), x.nw) << x.old;
  // Entries whose new number is not above 0 do not count.
  renum_map z = make_map({1, 2, 3}, -1);
  EXPECT_EQ(map_lookup(z, 1), -1);
  EXPECT_EQ(map_lookup(z, 2), -1);
  EXPECT_EQ(map_lookup(z, 3), 1);
  EXPECT_EQ(map_lookup(renum_map{}, 1), -1);
}

TEST(RemapResText, Cases) {
  renum_map m = make_map({5, 7}, 40);
  struct c {
    std::string in, out;
  } cases[] = {
      {"<< /F1 5 0 R /F2 7 0 R /W 5 >>", "<< /F1 40 0 R /F2 41 0 R /W 5 >>"},
      {"[5 2 R]", "[40 0 R]"},
      {"5 0\nR", "40 0 R"},
      {"9 0 R", "9 0 R"},
      {"5 0 RG", "5 0 RG"},
      {"5R", "40 0 R"},
      {"5 R 7R", "40 0 R 41 0 R"},
      {"15 0 R 57 0 R", "15 0 R 57 0 R"},
      {"/F5 7 R", "/F5 41 0 R"},  // the 5 ends a name; "7 R" is a short reference
      {"/F5 0 R", "/F5 0 R"},     // and never "/F40 0 R"
      {"x5 0 R", "x5 0 R"},
      {"-5 0 R", "-5 0 R"},
      {"(5 0 R)", "(40 0 R)"},
      {"5 0 R", "40 0 R"},
      {std::string("(a\0b) 5 0 R", 11), std::string("(a\0b) 40 0 R", 12)},
      {"", ""},
  };
  for (const c& x : cases) EXPECT_EQ(remap_res_text(x.in, m), x.out) << x.in;
}

TEST(RemapResText, GrowsForDenseShortReferences) {
  renum_map m = make_map({1}, 8388607);
  std::string in, want;
  for (int i = 0; i < 5000; ++i) {
    in += "1R ";
    want += "8388607 0 R ";
  }
  EXPECT_EQ(remap_res_text(in, m), want);
}

TEST(CollectResources, FontsAndImages) {
  // Page resources << /Font << /F1 5 0 R >> /XObject << /Im1 6 0 R >> >>; font 5 names its
  // descriptor 7, which names its font file 8; image 6 names nothing.
  qm::doc d = docbuilder()
                  .obj(5, "<< /Type /Font /FontDescriptor 7 0 R >>")
                  .lstream(6, "image data 9 0 R", "/Subtype /Image")
                  .obj(7, "<< /Type /FontDescriptor /FontFile 8 0 R >>")
                  .lstream(8, "font program")
                  .obj(9, "<< >>")
                  .build();
  std::vector<int32_t> seeds = refs_of("<< /Font << /F1 5 0 R >> /XObject << /Im1 6 0 R >> >>");
  EXPECT_EQ(seeds, (std::vector<int32_t>{5, 6}));
  // The reference inside the image's data is never seen: stream data are not scanned.
  EXPECT_EQ(closure_of(d, seeds), (std::vector<int32_t>{5, 6, 7, 8}));
  // Two pages naming font 5: the seed is kept twice, its descriptor once.
  EXPECT_EQ(closure_of(d, {5, 5}), (std::vector<int32_t>{5, 5, 7, 8}));
}

TEST(CollectResources, BreadthFirstAndUnlimitedDepth) {
  // 1 -> 2 -> ... -> 12, and 1 also names 20, which names 21.
  docbuilder b;
  for (int i = 1; i < 12; ++i)
    b.obj(i,
          "<< /Next " + std::to_string(i + 1) + " 0 R" + (i == 1 ? " /Side 20 0 R" : "") + " >>");
  b.obj(12, "<< >>").obj(20, "[21 0 R]").obj(21, "(leaf)");
  qm::doc d = b.build();
  EXPECT_EQ(closure_of(d, {1}),
            (std::vector<int32_t>{1, 2, 20, 3, 21, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST(CollectResources, NoLimitsOnReferencesSeedsOrEntries) {
  // Object 1 names 2 .. 9001, each of which exists; 9001 names 9002.
  docbuilder b;
  std::string big = "[";
  for (int i = 2; i <= 9001; ++i) big += std::to_string(i) + " 0 R ";
  b.obj(1, big + "]");
  for (int i = 2; i <= 9000; ++i) b.obj(i, "null");
  b.obj(9001, "<< /X 9002 0 R >>").obj(9002, "null");
  qm::doc d = b.build();
  std::vector<int32_t> c = closure_of(d, {1});
  ASSERT_EQ(c.size(), 9002u);
  for (int i = 0; i < 9002; ++i) ASSERT_EQ(c[static_cast<size_t>(i)], i + 1);
  // 5000 seeds all start the closure, in order.
  std::vector<int32_t> seeds;
  for (int i = 5000; i >= 1; --i) seeds.push_back(i);
  c = closure_of(d, seeds);
  ASSERT_GE(c.size(), 5000u);
  EXPECT_EQ(std::vector<int32_t>(c.begin(), c.begin() + 5000), seeds);
  EXPECT_EQ(c.size(), 9002u);
}

TEST(CollectResources, WhatIsScanned) {
  qm::doc d = docbuilder()
                  .obj(1, "[/ICCBased 2 0 R]")             // no dictionary: the value is scanned
                  .lstream(2, "3 0 R", "/N 3 /Alt 4 0 R")  // the dictionary only
                  .obj(4, "<< /Next 5 0 R >>")
                  .entry(5, "<< /In 6 0 R >>")  // an object-stream entry: its own text
                  .obj(6, "<< /Missing 77 0 R /Big 4294967295 0 R >>")
                  .build();
  // 77 and -1 (wrapped) do not exist: they stay in the closure, nothing is scanned for them.
  EXPECT_EQ(closure_of(d, {1}), (std::vector<int32_t>{1, 2, 4, 5, 6, 77, -1}));
  // A dangling seed and one far above the highest number.
  EXPECT_EQ(closure_of(d, {99999999, 4, 99999999}),
            (std::vector<int32_t>{99999999, 4, 99999999, 5, 6, 77, -1}));
}

TEST(PageResourcesDict, Cases) {
  qm::doc d =
      docbuilder()
          .obj(3, "<< /Type /Page /Resources << /Font << /F1 4 0 R >> >> >>")
          .obj(4, "<< /Type /Page /Resources 9 0 R >>")
          .obj(5, "<< /Type /Page /Resources [1 2] >>")
          .obj(6, "<< /Type /Page /Resources /R >>")
          .obj(7, "<< /Type /Page /Resources 10 0 R >>")
          .obj(8, "<< /Type /Page /Resources 77 0 R >>")
          .obj(9, "<< /Font << /F1 4 0 R >> >>")
          .entry(10, "\n  << /XObject << /Im0 12 0 R >> >>")
          // The page's own key at the top level wins over one in a nested dictionary.
          .obj(11,
               "<< /Type /Page /Annots [<< /Resources << /X 1 0 R >> >>] /AA << /Resources "
               "<< /Y 2 0 R >> >> /Resources << /Z 3 0 R >> >>")
          .raw("junk /Resources << /Font << /F9 9 0 R >> >>\n")
          .obj(13, "<< /Type /Page /Contents 4 0 R >>")  // none of its own
          .obj(14, "<< /Type /Page /Resources 0 0 R >>")
          .obj(15, "<< /Type /Page /X (/Resources << /S 1 0 R >>) /Resources << /T 2 0 R >> >>")
          .build();
  struct c {
    int page;
    bool ok;
    std::string out;
  } cases[] = {
      {3, true, "<< /Font << /F1 4 0 R >> >>"},
      {4, true, "<< /Font << /F1 4 0 R >> >>"},
      {5, false, ""},
      {6, false, ""},
      {7, true, "<< /XObject << /Im0 12 0 R >> >>"},
      {8, false, ""},
      {11, true, "<< /Z 3 0 R >>"},
      {13, false, ""},  // the junk before the object is not the page's
      {14, false, ""},
      {15, true, "<< /T 2 0 R >>"},
  };
  for (const c& x : cases) {
    std::string out;
    EXPECT_EQ(page_resources_dict(d, qmtest::span_of(d, x.page), &out), x.ok) << x.page;
    if (x.ok) {
      EXPECT_EQ(out, x.out) << x.page;
    }
  }
}

TEST(PageResourcesDict, DeepFollowsParents) {
  qm::doc d = docbuilder()
                  .obj(2, "<< /Type /Pages /Resources << /Font << /F1 4 0 R >> >> >>")
                  .obj(3, "<< /Type /Page /Parent 2 0 R >>")
                  .obj(5, "<< /Type /Pages /Parent 2 0 R /Kids [6 0 R] >>")
                  .obj(6, "<< /Type /Page /Parent 5 0 R /Resources /Bad >>")
                  .obj(7, "<< /Type /Page /Parent 8 0 R >>")
                  .obj(8, "<< /Type /Pages /Parent 9 0 R >>")
                  .obj(9, "<< /Type /Pages /Parent 8 0 R >>")  // a loop without resources
                  .obj(10, "<< /Type /Page /Parent 77 0 R >>")
                  .obj(11, "<< /Type /Page /Parent 12 0 R >>")
                  .entry(12, "<< /Type /Pages /Resources << /G 1 0 R >> >>")
                  .obj(13, "<< /Type /Page /X << /Parent 2 0 R >> >>")  // not the page's own
                  .build();
  struct c {
    int page;
    bool ok;
    std::string out;
  } cases[] = {
      {3, true, "<< /Font << /F1 4 0 R >> >>"},
      {6, true, "<< /Font << /F1 4 0 R >> >>"},  // the grandparent's
      {7, false, ""},
      {10, false, ""},
      {11, true, "<< /G 1 0 R >>"},
      {13, false, ""},
  };
  for (const c& x : cases) {
    std::string out;
    EXPECT_EQ(page_resources_dict_deep(d, qmtest::span_of(d, x.page), 32, &out), x.ok) << x.page;
    if (x.ok) {
      EXPECT_EQ(out, x.out) << x.page;
    }
  }
}

TEST(PageResourcesDict, DeepLooksAtMostDepthAncestors) {
  // Page 100 under nodes 101, 102, ..., 140; only node 100 + k has resources.
  for (int k : {1, 31, 32, 33}) {
    docbuilder b;
    for (int n = 100; n < 140; ++n) {
      std::string v = "<< /Parent " + std::to_string(n + 1) + " 0 R";
      if (n == 100 + k) v += " /Resources << /K " + std::to_string(k) + " >>";
      b.obj(n, v + " >>");
    }
    b.obj(140, "<< >>");
    qm::doc d = b.build();
    std::string out;
    EXPECT_EQ(page_resources_dict_deep(d, qmtest::span_of(d, 100), 32, &out), k <= 32) << k;
  }
}

// The memo gives what the page's own lookup and then the deep walk give, for every page, with one
// memo shared by all pages in any order: nodes met first at one depth are reused at another.
TEST(PageResourcesText, MemoMatchesOwnThenDeepLookup) {
  docbuilder b;
  b.obj(2, "<< /Type /Pages /Kids [3 0 R 5 0 R] /Resources << /Font << /F1 4 0 R >> >> >>")
      .obj(3, "<< /Type /Page /Parent 2 0 R >>")
      .obj(5, "<< /Type /Pages /Parent 2 0 R /Kids [6 0 R] >>")
      .obj(6, "<< /Type /Page /Parent 5 0 R /Resources /Bad >>")
      .obj(7, "<< /Type /Page /Parent 8 0 R >>")
      .obj(8, "<< /Type /Pages /Parent 9 0 R >>")
      .obj(9, "<< /Type /Pages /Parent 8 0 R >>")
      .obj(10, "<< /Type /Page /Parent 77 0 R >>")
      .obj(11, "<< /Type /Page /Parent 12 0 R >>")
      .entry(12, "<< /Type /Pages /Resources << /G 1 0 R >> >>")
      .obj(13, "<< /Type /Page /X << /Parent 2 0 R >> >>")
      .obj(14, "<< /Type /Page /Parent 2 0 R /Resources << /Own 1 0 R >> >>")
      .obj(15, "<< /Type /Page /Parent -3 0 R >>")
      .obj(16, "<< /Type /Page /Parent 17 0 R >>")
      .obj(17, "<< /Parent 2 0 R >>")
      .obj(18, "<< /Type /Page /Parent 2 >>");
  // A chain 100 -> 101 -> ... -> 140 where only 135 has resources: entered at 100 it lies beyond
  // 32 ancestors, entered at 110 within them.
  for (int n = 100; n < 140; ++n) {
    std::string v = "<< /Parent " + std::to_string(n + 1) + " 0 R";
    if (n == 135) v += " /Resources << /K 135 >>";
    b.obj(n, v + " >>");
  }
  b.obj(140, "<< >>");
  qm::doc d = b.build();
  const std::vector<int> pages = {3,   6,   7,   10,  11,  13,  14,  15,  16,  17,  18, 100,
                                  101, 102, 103, 110, 120, 134, 135, 136, 139, 140, 2};
  int found = 0;
  for (int order = 0; order < 2; ++order) {
    ancestor_memo memo;
    for (size_t i = 0; i < pages.size(); ++i) {
      const int page = order == 0 ? pages[i] : pages[pages.size() - 1 - i];
      const qm::span s = qmtest::span_of(d, page);
      std::string want, got;
      const bool ok = page_resources_dict(d, s, &want) || page_resources_dict_deep(d, s, 32, &want);
      EXPECT_EQ(page_resources_text(d, s, memo, &got), ok) << page;
      EXPECT_EQ(got, want) << page;
      found += ok;
    }
  }
  // 2, 3, 6 (the grandparent's), 11, 14, 16, 17, 18 ("2" without "0 R" names 2 too), and 103,
  // 110, 120, 134, 135 of the chain.
  EXPECT_EQ(found, 2 * 13);
}
