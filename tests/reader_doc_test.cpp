// The document model: /Type classification, dictionary spans, lookup by number, release.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reader/doc.h"
#include "reader/search_memo.h"
#include "support/importdoc.h"

namespace {

using qmtest::docbuilder;
using qmtest::rec;

struct type_case {
  const char* value;  // the object's value
  int expected;
};

TEST(ObjType, Table) {
  const type_case cases[] = {
      {"<< /Type /Pages /Kids [4 0 R] /Count 1 >>", 2},
      {"<</Type/Page>>", 1},
      {"<< /Type /Page /Parent 2 0 R >>", 1},
      {"<< /Type /PageLabels >>", 0},
      {"<< /Type /PageLabel >>", 0},
      {"<< /Type /Page1 >>", 0},
      {"<< /Type /Pages1 >>", 0},
      // Only letters and digits continue the value: "/Page_x" and "/Pages#20" are a page and a
      // node.
      {"<< /Type /Page_x >>", 1},
      {"<< /Type /Page.x >>", 1},
      {"<< /Type /Pages_x >>", 2},
      {"<< /Type\n/Page\n>>", 1},
      {"<< /Type /Catalog >>", 0},
      {"<< /Type (Page) >>", 0},
      // A value that is no name starting with /Page sends the search on: the second key is
      // found, from depth 0 again, so a nested one counts.
      {"<< /Type /Catalog /X << /Type /Page >> >>", 1},
      {"<< /Type /XObject /Sub << /Type /Pages >> >>", 2},
      {"<< /A << /Type /Page >> >>", 0},
      // Strings and comments hide keys.
      {"<< /A (x/Type /Page) >>", 0},
      {"<< % /Type /Page\n/Type /Pages >>", 2},
      {"<< /K [ /Type /Page ] >>", 1},
      // "/Type_x" is another key, "/Type/Page" is the key and its value.
      {"<< /Type_x /Page >>", 0},
      {"<</Type/Pages/Kids[]>>", 2},
      {"<< /Subtype /Page >>", 0},
      // The value ends with the span.
      {"<< /Type /Page", 1},
      {"<< /Type /Pag", 0},
      // No dictionary at all.
      {"42", 0},
      {"[/Type /Page]", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    qm::doc d = docbuilder().obj(5, c.value).entry(6, c.value).build();
    EXPECT_EQ(qm::obj_type(d.data.get(), d.len, rec(d, 5)), c.expected);
    if (c.value[0] == '<') {
      EXPECT_EQ(qm::obj_type(d.data.get(), d.len, rec(d, 6)), c.expected);
    }
  }
}

TEST(ObjType, SpanEndsAtEndobjOrStream) {
  // A plain object's span ends at "endobj" (or at "stream"): the next object's /Type is not its.
  qm::doc d = docbuilder()
                  .obj(5, "<< /X 1")
                  .obj(6, "<< /Type /Page >>")
                  .lstream(7, "/Type /Page", "/Y 2")
                  .build();
  EXPECT_EQ(qm::obj_type(d.data.get(), d.len, rec(d, 5)), 0);
  EXPECT_EQ(qm::obj_type(d.data.get(), d.len, rec(d, 7)), 0);
}

TEST(DictSpan, PlainEntryAndNone) {
  qm::doc d = docbuilder()
                  .obj(5, "<< /A 1 >>")
                  .lstream(6, "abc")
                  .obj(7, "12")
                  .entry(8, "<< /B 2 >>")
                  .build();
  qm::span s;
  ASSERT_TRUE(qm::dict_span(d.data.get(), d.len, rec(d, 5), &s));
  EXPECT_EQ(s.t, d.data.get());
  EXPECT_EQ(s.start, rec(d, 5).dict_start);
  EXPECT_EQ(s.end, rec(d, 5).endobj_pos);
  ASSERT_TRUE(qm::dict_span(d.data.get(), d.len, rec(d, 6), &s));
  EXPECT_EQ(s.end, rec(d, 6).stream_pos);
  EXPECT_FALSE(qm::dict_span(d.data.get(), d.len, rec(d, 7), &s));
  ASSERT_TRUE(qm::dict_span(d.data.get(), d.len, rec(d, 8), &s));
  EXPECT_EQ(s.t, rec(d, 8).text);
  EXPECT_EQ(s.start, 0);
  EXPECT_EQ(s.end, 10);
  // A plain record without "stream" and "endobj" runs to the end of the bytes.
  qm::obj_rec open;
  open.num = 9;
  open.dict_start = 3;
  ASSERT_TRUE(qm::dict_span(d.data.get(), d.len, open, &s));
  EXPECT_EQ(s.end, d.len);
}

TEST(DocFind, FirstRecordWithTheNumber) {
  qm::doc d = docbuilder().obj(4, "1").obj(9, "2").obj(4, "3").obj(2, "4").build();
  ASSERT_NE(qm::doc_find(d, 4), nullptr);
  EXPECT_EQ(qm::doc_find(d, 4), &d.objects[0]);
  EXPECT_EQ(qm::doc_find(d, 9), &d.objects[1]);
  EXPECT_EQ(qm::doc_find(d, 2), &d.objects[3]);
  EXPECT_EQ(d.max_objnum, 9);
  for (int n : {0, -1, 1, 3, 5, 10, 8388607, 8388608, 2147483647})
    EXPECT_EQ(qm::doc_find(d, n), nullptr) << n;
  // Without an index (a table filled by hand), the lookup scans.
  d.index.clear();
  EXPECT_EQ(qm::doc_find(d, 4), &d.objects[0]);
  EXPECT_EQ(qm::doc_find(d, 5), nullptr);
  // Numbers beyond the largest valid one are looked up by scanning.
  d.objects[3].num = 9000000;
  qm::doc_index(d);
  EXPECT_EQ(d.max_objnum, 9000000);
  EXPECT_EQ(qm::doc_find(d, 9000000), &d.objects[3]);
  EXPECT_EQ(qm::doc_find(d, 2), nullptr);
}

TEST(DocFind, EmptyTable) {
  qm::doc d;
  qm::doc_index(d);
  EXPECT_EQ(d.max_objnum, 0);
  EXPECT_EQ(qm::doc_find(d, 1), nullptr);
}

TEST(DocFree, ReleasesAndZeroes) {
  qm::doc d = docbuilder().obj(4, "<< >>").entry(5, "<< >>").build();
  d.pages.push_back(qm::page_rec{});
  d.catalog = 4;
  qm::doc_free(d);
  EXPECT_EQ(d.data, nullptr);
  EXPECT_EQ(d.len, 0);
  EXPECT_TRUE(d.objects.empty());
  EXPECT_TRUE(d.blocks.empty());
  EXPECT_TRUE(d.pages.empty());
  EXPECT_TRUE(d.index.empty());
  EXPECT_EQ(d.trailer_root, 0);
  EXPECT_EQ(d.catalog, 0);
  EXPECT_EQ(d.max_objnum, 0);
  EXPECT_EQ(d.encrypted, 0);
  // Twice, and on a record that was never loaded.
  qm::doc_free(d);
  EXPECT_EQ(d.data, nullptr);
  qm::doc never;
  qm::doc_free(never);
  EXPECT_TRUE(never.objects.empty());
}

// Remembered searches answer exactly what a fresh search answers, for starts in any order.
TEST(SearchMemo, AgreesWithFreshSearches) {
  std::mt19937 rng(7);
  const char* pieces[] = {"/N ", "/Nx", "/Length", "x", " ", "/N", "/", "N"};
  for (int round = 0; round < 300; ++round) {
    std::string t;
    for (int k = 0; k < 60; ++k) t += pieces[rng() % 8];
    const auto len = static_cast<qm::pos_t>(t.size());
    qm::search_memo m;
    for (int q = 0; q < 200; ++q) {
      const qm::pos_t end = rng() % 4 ? len : static_cast<qm::pos_t>(rng() % (t.size() + 1));
      const qm::pos_t x = static_cast<qm::pos_t>(rng() % (t.size() + 1));
      ASSERT_EQ(qm::memo_find_name(m, t.data(), x, end, "N"),
                qm::find_name(t.data(), len, x, end, "N"))
          << t << " x=" << x << " end=" << end;
    }
  }
}

}  // namespace
