// The catalog and the page tree: which object is the catalog, the pages in order, the inherited
// box and rotation, and every way a tree can be broken.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/pagetree.h"
#include "support/readerpdf.h"

namespace {

using qmtest::raw_obj;

// Objects given as (number, value), written in this order without any cross-reference data.
std::string objs(const std::vector<std::pair<int, std::string>>& v) {
  std::string s = "%PDF-1.7\n";
  for (const auto& [n, val] : v) s += raw_obj(n, val);
  return s;
}

struct page_expect {
  int num;
  int parent;
  int inherited_rotate;
  double x0, y0, width, height;
};

struct tree_case {
  const char* name;
  std::string bytes;
  std::vector<page_expect> pages;  // empty: the load fails with `message`
  std::string message = "";
};

const char* const kBroken =
    "could not resolve the page tree (obj %d is not a /Pages or /Page object, or tree is broken)";

std::string broken(int root) {
  std::string m = kBroken;
  m.replace(m.find("%d"), 2, std::to_string(root));
  return m;
}

const char* const kInline =
    "page tree uses inline page dictionaries in /Kids \xE2\x80\x94 pages must be indirect objects";

std::vector<tree_case> cases() {
  const std::string cat = "<< /Type /Catalog /Pages 2 0 R >>";
  std::vector<tree_case> v;
  v.push_back({"two pages",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>"},
                     {3, "<< /Type /Page /MediaBox [0 0 612 792] >>"},
                     {4, "<< /Type /Page >>"}}),
               {{3, 2, 0, 0, 0, 612, 792}, {4, 2, 0, 0, 0, 595, 842}}});
  v.push_back({"catalog naming a page directly",
               objs({{1, "<< /Type /Catalog /Pages 3 0 R >>"},
                     {3, "<< /Type /Page /MediaBox [0 0 10 20] /Rotate 90 >>"}}),
               {{3, -1, 0, 0, 0, 10, 20}}});
  v.push_back({"catalog that is itself the tree",
               objs({{1, "<< /Type /Pages /Kids [3 0 R] >>"}, {3, "<< /Type /Page >>"}}),
               {{3, 1, 0, 0, 0, 595, 842}}});
  v.push_back(
      {"page listed twice",
       objs({{1, cat}, {2, "<< /Type /Pages /Kids [3 0 R 3 0 R] >>"}, {3, "<< /Type /Page >>"}}),
       {{3, 2, 0, 0, 0, 595, 842}, {3, 2, 0, 0, 0, 595, 842}}});
  v.push_back({"depth-first order",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [5 0 R 3 0 R 6 0 R] >>"},
                     {5, "<< /Type /Pages /Kids [7 0 R 8 0 R] >>"},
                     {6, "<< /Type /Pages /Kids [9 0 R] >>"},
                     {3, "<< /Type /Page >>"},
                     {7, "<< /Type /Page >>"},
                     {8, "<< /Type /Page >>"},
                     {9, "<< /Type /Page >>"}}),
               {{7, 5, 0, 0, 0, 595, 842},
                {8, 5, 0, 0, 0, 595, 842},
                {3, 2, 0, 0, 0, 595, 842},
                {9, 6, 0, 0, 0, 595, 842}}});
  v.push_back({"rotation from the nearest node",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [3 0 R 5 0 R] /Rotate 90 >>"},
                     {5, "<< /Type /Pages /Kids [4 0 R] /Rotate 180 >>"},
                     {3, "<< /Type /Page /Rotate 270 >>"},
                     {4, "<< /Type /Page >>"}}),
               {{3, 2, 90, 0, 0, 595, 842}, {4, 5, 180, 0, 0, 595, 842}}});
  v.push_back({"rotation reduced into 0 to 359",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [3 0 R] /Rotate 450 >>"},
                     {3, "<< /Type /Page >>"}}),
               {{3, 2, 90, 0, 0, 595, 842}}});
  v.push_back({"negative rotation counts as none",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [5 0 R] /Rotate 90 >>"},
                     {5, "<< /Type /Pages /Kids [3 0 R] /Rotate -90 >>"},
                     {3, "<< /Type /Page >>"}}),
               {{3, 5, 90, 0, 0, 595, 842}}});
  v.push_back({"indirect rotation on a node",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [3 0 R] /Rotate 9 0 R >>"},
                     {9, "270"},
                     {3, "<< /Type /Page >>"}}),
               {{3, 2, 270, 0, 0, 595, 842}}});
  v.push_back({"nested rotation is not the node's",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [3 0 R] /X << /Rotate 90 >> >>"},
                     {3, "<< /Type /Page >>"}}),
               {{3, 2, 0, 0, 0, 595, 842}}});
  v.push_back({"box from the root only",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [5 0 R 4 0 R] /MediaBox [0 0 300 400] >>"},
                     {5, "<< /Type /Pages /Kids [3 0 R] >>"},
                     {3, "<< /Type /Page >>"},
                     {4, "<< /Type /Page /CropBox [10 10 110 60] >>"}}),
               {{3, 5, 0, 0, 0, 300, 400}, {4, 2, 0, 10, 10, 100, 50}}});
  v.push_back({"box from the nearest node",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [5 0 R 4 0 R] /MediaBox [0 0 300 400] >>"},
                     {5, "<< /Type /Pages /Kids [3 0 R] /CropBox [1 2 3 4] >>"},
                     {3, "<< /Type /Page /MediaBox 12 0 R >>"},
                     {4, "<< /Type /Page /MediaBox [612 792 0 0] >>"}}),
               {{3, 5, 0, 1, 2, 2, 2}, {4, 2, 0, 0, 0, 300, 400}}});
  v.push_back(
      {"counts are not read",
       objs({{1, cat}, {2, "<< /Type /Pages /Kids [3 0 R] /Count 7 >>"}, {3, "<< /Type /Page >>"}}),
       {{3, 2, 0, 0, 0, 595, 842}}});
  v.push_back({"kids written tightly and with generations",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids[3 0 R 4 12 R 5 R 6]>>"},
                     {3, "<< /Type /Page >>"},
                     {4, "<< /Type /Page >>"},
                     {5, "<< /Type /Page >>"},
                     {6, "<< /Type /Page >>"}}),
               {{3, 2, 0, 0, 0, 595, 842},
                {4, 2, 0, 0, 0, 595, 842},
                {5, 2, 0, 0, 0, 595, 842},
                {6, 2, 0, 0, 0, 595, 842}}});
  v.push_back({"the first /Kids that is an array",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids 7 0 R /Kids [3 0 R] >>"},
                     {3, "<< /Type /Page >>"}}),
               {{3, 2, 0, 0, 0, 595, 842}}});
  v.push_back({"node without kids below the root",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [5 0 R 3 0 R] >>"},
                     {5, "<< /Type /Pages /Kids [] >>"},
                     {3, "<< /Type /Page >>"}}),
               {{3, 2, 0, 0, 0, 595, 842}}});
  v.push_back({"pages inside an object stream",
               "%PDF-1.7\n" + qmtest::objstm_obj(20, {{1, cat},
                                                      {2, "<< /Type /Pages /Kids [3 0 R] >>"},
                                                      {3,
                                                       "<< /Type /Page /Rotate 90 "
                                                       "/MediaBox [0 0 5 6] >>"}}),
               {{3, 2, 0, 0, 0, 5, 6}}});
  // Catalog choice.
  v.push_back({"no trailer: the first object naming /Catalog",
               objs({{4, "<< /Type /Pages /Kids [5 0 R] >>"},
                     {5, "<< /Type /Page >>"},
                     {6, "<< /Type /Catalog /Pages 4 0 R >>"},
                     {7, "<< /Type /Catalog /Pages 9 0 R >>"}}),
               {{5, 4, 0, 0, 0, 595, 842}}});
  v.push_back({"no /Catalog anywhere: object 1",
               objs({{2, "<< /Type /Pages /Kids [3 0 R] >>"},
                     {3, "<< /Type /Page >>"},
                     {1, "<< /Pages 2 0 R >>"}}),
               {{3, 2, 0, 0, 0, 595, 842}}});
  v.push_back({"catalog's first positive /Pages",
               objs({{1, "<< /Type /Catalog /Pages /X /Pages 0 /Pages 2 0 R >>"},
                     {2, "<< /Type /Pages /Kids [3 0 R] >>"},
                     {3, "<< /Type /Page >>"}}),
               {{3, 2, 0, 0, 0, 595, 842}}});
  // Failures.
  v.push_back({"catalog missing",
               objs({{2, "<< /Type /Pages /Kids [] >>"}}),
               {},
               "catalog (obj 1) has no /Pages reference"});
  v.push_back({"catalog without /Pages",
               objs({{1, "<< /Type /Catalog >>"}}),
               {},
               "catalog (obj 1) has no /Pages reference"});
  v.push_back({"catalog without a dictionary",
               objs({{1, "[/Catalog]"}}),
               {},
               "catalog (obj 1) has no /Pages reference"});
  v.push_back({"catalog naming a missing root", objs({{1, cat}}), {}, broken(2)});
  v.push_back({"root of no type",
               objs({{1, cat}, {2, "<< /Kids [3 0 R] >>"}, {3, "<< /Type /Page >>"}}),
               {},
               broken(2)});
  v.push_back(
      {"kid missing",
       objs({{1, cat}, {2, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>"}, {3, "<< /Type /Page >>"}}),
       {},
       broken(2)});
  v.push_back({"kid of no type",
               objs({{1, cat}, {2, "<< /Type /Pages /Kids [3 0 R] >>"}, {3, "<< /Type /Font >>"}}),
               {},
               broken(2)});
  v.push_back({"node listed by two parents",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [5 0 R 6 0 R] >>"},
                     {5, "<< /Type /Pages /Kids [7 0 R] >>"},
                     {6, "<< /Type /Pages /Kids [7 0 R] >>"},
                     {7, "<< /Type /Pages /Kids [3 0 R] >>"},
                     {3, "<< /Type /Page >>"}}),
               {},
               broken(2)});
  v.push_back({"cycle",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [5 0 R] >>"},
                     {5, "<< /Type /Pages /Kids [3 0 R 2 0 R] >>"},
                     {3, "<< /Type /Page >>"}}),
               {},
               broken(2)});
  v.push_back({"node that is its own kid",
               objs({{1, cat}, {2, "<< /Type /Pages /Kids [2 0 R] >>"}}),
               {},
               broken(2)});
  v.push_back({"inline dictionaries in the root's kids",
               objs({{1, cat}, {2, "<< /Type /Pages /Kids [<< /Type /Page >>] >>"}}),
               {},
               kInline});
  v.push_back({"inline dictionaries further down",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids [5 0 R] >>"},
                     {5, "<< /Type /Pages /Kids [<< /Type /Page >>] >>"}}),
               {},
               broken(2)});
  v.push_back({"kids given by reference",
               objs({{1, cat},
                     {2, "<< /Type /Pages /Kids 5 0 R >>"},
                     {5, "[3 0 R]"},
                     {3, "<< /Type /Page >>"}}),
               {},
               "document has no pages"});
  v.push_back({"empty kids",
               objs({{1, cat}, {2, "<< /Type /Pages /Kids [ ] >>"}}),
               {},
               "document has no pages"});
  v.push_back(
      {"no kids", objs({{1, cat}, {2, "<< /Type /Pages >>"}}), {}, "document has no pages"});
  v.push_back(
      {"only empty nodes",
       objs(
           {{1, cat}, {2, "<< /Type /Pages /Kids [5 0 R] >>"}, {5, "<< /Type /Pages /Kids [] >>"}}),
       {},
       "document has no pages"});
  return v;
}

void check(const tree_case& c) {
  qm::doc d;
  qm::msg m;
  int r = qmtest::load_mem(c.bytes, d, "mem.pdf", &m);
  if (c.pages.empty()) {
    EXPECT_EQ(r, -1);
    EXPECT_EQ(std::string(m.text), c.message);
    EXPECT_TRUE(d.pages.empty());
    EXPECT_EQ(d.data, nullptr);
    return;
  }
  ASSERT_EQ(r, 0) << m.text;
  ASSERT_EQ(d.pages.size(), c.pages.size());
  for (size_t i = 0; i < c.pages.size(); ++i) {
    SCOPED_TRACE(i);
    const qm::page_rec& p = d.pages[i];
    const page_expect& e = c.pages[i];
    EXPECT_EQ(p.num, e.num);
    EXPECT_EQ(p.parent, e.parent);
    EXPECT_EQ(p.inherited_rotate, e.inherited_rotate);
    EXPECT_EQ(p.x0, e.x0);
    EXPECT_EQ(p.y0, e.y0);
    EXPECT_EQ(p.width, e.width);
    EXPECT_EQ(p.height, e.height);
    EXPECT_EQ(p.rotate, 0);
  }
}

TEST(PageTree, Table) {
  for (const auto& c : cases()) {
    SCOPED_TRACE(c.name);
    check(c);
  }
}

// A chain of n nested /Pages nodes (objects 10, 11, ...) with one page at the bottom.
std::string chain(int n) {
  std::vector<std::pair<int, std::string>> v = {{1, "<< /Type /Catalog /Pages 10 0 R >>"}};
  for (int k = 0; k < n; ++k) {
    const int kid = k + 1 < n ? 10 + k + 1 : 2;
    v.push_back({10 + k, "<< /Type /Pages /Kids [" + std::to_string(kid) + " 0 R] >>"});
  }
  v.push_back({2, "<< /Type /Page >>"});
  return objs(v);
}

TEST(PageTree, DepthIsBoundedAt256Levels) {
  static_assert(qm::kMaxTreeDepth == 256);
  check({"256 levels", chain(256), {{2, 10 + 255, 0, 0, 0, 595, 842}}});
  check({"257 levels", chain(257), {}, broken(10)});
  // Far deeper chains fail the same way, without exhausting the stack.
  check({"100000 levels", chain(100000), {}, broken(10)});
}

TEST(PageTree, KidsBeyondTheRoomAreIgnored) {
  // Room is kept for 4096 + (the node's length / 4) kids. References written in full ("3 0 R ")
  // always fit; bare numbers separated by a slash ("3/") take two bytes each and overflow it.
  const auto load = [](const std::string& kids, qm::doc& d) {
    const std::string bytes = objs({{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                                    {2, "<< /Type /Pages /Kids [" + kids + "] >>"},
                                    {3, "<< /Type /Page >>"}});
    qm::msg m;
    ASSERT_EQ(qmtest::load_mem(bytes, d, "mem.pdf", &m), 0) << m.text;
  };
  std::string full, bare;
  for (int k = 0; k < 20000; ++k) {
    full += "3 0 R ";
    bare += "3/";
  }
  qm::doc a, b;
  load(full, a);
  EXPECT_EQ(a.pages.size(), 20000u);
  load(bare, b);
  const qm::obj_rec* node = qm::doc_find(b, 2);
  ASSERT_NE(node, nullptr);
  const size_t room = 4096 + static_cast<size_t>(node->endobj_pos - node->obj_start) / 4;
  ASSERT_LT(room, 20000u);
  EXPECT_EQ(b.pages.size(), room);
}

}  // namespace
