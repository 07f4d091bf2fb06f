// Page boxes and rotation read from one object's own dictionary: obj_box and obj_rotate_own.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "reader/box.h"
#include "support/importdoc.h"

namespace {

using qmtest::docbuilder;
using qmtest::rec;

struct box_case {
  const char* dict;  // the page dictionary
  int found;
  double x0, y0, width, height;
};

TEST(ObjBox, Table) {
  const box_case cases[] = {
      {"<< /MediaBox [0 0 612 792] >>", 1, 0, 0, 612, 792},
      // A usable crop box wins wherever it stands; the boxes are never intersected.
      {"<< /MediaBox [0 0 612 792] /CropBox [36 36 576 756] >>", 1, 36, 36, 540, 720},
      {"<< /CropBox [0 0 700 900] /MediaBox [0 0 612 792] >>", 1, 0, 0, 700, 900},
      {"<< /CropBox [0 0 0 0] /MediaBox [0 0 595.276 841.89] >>", 1, 0, 0, 595.276, 841.89},
      // Corners in the other order, too few numbers, an indirect box: no box.
      {"<< /MediaBox [612 792 0 0] >>", 0, 0, 0, 0, 0},
      {"<< /MediaBox [0 0 612] >>", 0, 0, 0, 0, 0},
      {"<< /MediaBox 12 0 R >>", 0, 0, 0, 0, 0},
      {"<< /MediaBox [0 0 612 0] >>", 0, 0, 0, 0, 0},
      {"<< /Type /Page >>", 0, 0, 0, 0, 0},
      // Signs, fractions without an integer part, bytes that are stepped over.
      {"<< /MediaBox [-10.5 -20 600 800] >>", 1, -10.5, -20, 610.5, 820},
      {"<< /MediaBox [.5 0 +10.25 20] >>", 1, 0.5, 0, 9.75, 20},
      {"<< /MediaBox [0 0 /x 612 792] >>", 1, 0, 0, 612, 792},
      {"<< /MediaBox[0 0 612 792]>>", 1, 0, 0, 612, 792},
      {"<< /MediaBox\n[\n0\n0\n612\n792\n]>>", 1, 0, 0, 612, 792},
      // Nothing after the fourth number is read.
      {"<< /MediaBox [0 0 612 792 1 1] >>", 1, 0, 0, 612, 792},
      {"<< /MediaBox [0 0 612 792 x] >>", 1, 0, 0, 612, 792},
      // A sign without digits reads as zero and counts as a number.
      {"<< /MediaBox [- 5 100 200] >>", 1, 0, 5, 100, 195},
      // "1.2.3" is 1.2 then .3; exponents are not recognised ("1e3" is 1, then 3).
      {"<< /MediaBox [1.2.3 4 10] >>", 1, 1.2, 0.3, 2.8, 9.7},
      {"<< /MediaBox [0 0 1e3 792] >>", 1, 0, 0, 1, 3},
      // A "]" before the fourth number ends that occurrence; the next one is tried.
      {"<< /MediaBox [0 0 0 0] /MediaBox [0 0 100 200] >>", 1, 0, 0, 100, 200},
      {"<< /MediaBox [1 2] /MediaBox [0 0 100 200] >>", 1, 0, 0, 100, 200},
      // Keys inside nested dictionaries are visited too; a value that is no array is passed over.
      {"<< /BoxColorInfo << /CropBox << /C [1 0 0] >> >> /MediaBox [0 0 10 20] >>", 1, 0, 0, 10,
       20},
      {"<< /X << /MediaBox [0 0 30 40] >> >>", 1, 0, 0, 30, 40},
      // "/MediaBoxes" is another key.
      {"<< /MediaBoxes [0 0 1 1] >>", 0, 0, 0, 0, 0},
      // Numbers that reach 1e15, or overflow to infinity, make a box unusable.
      {"<< /MediaBox [0 0 999999999999999 10] >>", 1, 0, 0, 999999999999999.0, 10},
      {"<< /MediaBox [0 0 1000000000000000 10] >>", 0, 0, 0, 0, 0},
      {"<< /MediaBox [-600000000000000 0 600000000000000 10] >>", 0, 0, 0, 0, 0},
      {"<< /MediaBox [-1000000000000000 0 1 10] >>", 0, 0, 0, 0, 0},
      {"<< /CropBox [0 0 1000000000000000000 5] /MediaBox [0 0 612 792] >>", 1, 0, 0, 612, 792},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dict);
    qm::doc d = docbuilder().obj(3, c.dict).build();
    double x0 = -7, y0 = -7, w = -7, h = -7;
    EXPECT_EQ(qm::obj_box(d.data.get(), d.len, rec(d, 3), &x0, &y0, &w, &h), c.found);
    if (c.found) {
      EXPECT_NEAR(x0, c.x0, 1e-9);
      EXPECT_NEAR(y0, c.y0, 1e-9);
      EXPECT_NEAR(w, c.width, 1e-9);
      EXPECT_NEAR(h, c.height, 1e-9);
    } else {
      // Nothing is stored without a usable box.
      EXPECT_EQ(x0, -7);
      EXPECT_EQ(y0, -7);
      EXPECT_EQ(w, -7);
      EXPECT_EQ(h, -7);
    }
  }
}

TEST(ObjBox, DigitRunsThatOverflowAreUnusable) {
  const std::string huge(400, '9');  // reads as infinity
  qm::doc d = docbuilder()
                  .obj(3, "<< /MediaBox [0 0 " + huge + " 10] >>")
                  .obj(4, "<< /CropBox [0 0 " + huge + " 10] /MediaBox [0 0 5 6] >>")
                  .obj(5, "<< /MediaBox [-" + huge + " 0 1 10] >>")
                  .build();
  double v[4] = {1, 2, 3, 4};
  EXPECT_EQ(qm::obj_box(d.data.get(), d.len, rec(d, 3), &v[0], &v[1], &v[2], &v[3]), 0);
  EXPECT_EQ(qm::obj_box(d.data.get(), d.len, rec(d, 5), &v[0], &v[1], &v[2], &v[3]), 0);
  EXPECT_EQ(v[2], 3);
  ASSERT_EQ(qm::obj_box(d.data.get(), d.len, rec(d, 4), &v[0], &v[1], &v[2], &v[3]), 1);
  EXPECT_EQ(v[2], 5);
  EXPECT_EQ(v[3], 6);
}

TEST(ObjBox, FractionsAreReadDigitByDigit) {
  // Each fraction digit adds digit * f, f starting at 0.1 and shrinking tenfold: ".3" is 3 * 0.1,
  // which is not the double nearest to 0.3.
  qm::doc d = docbuilder().obj(3, "<< /MediaBox [0.3 0.25 1 1] >>").build();
  double x0, y0, w, h;
  ASSERT_EQ(qm::obj_box(d.data.get(), d.len, rec(d, 3), &x0, &y0, &w, &h), 1);
  EXPECT_EQ(x0, 3 * 0.1);
  EXPECT_NE(x0, 0.3);
  EXPECT_EQ(y0, 0.0 + 2 * 0.1 + 5 * (0.1 * 0.1));
}

TEST(ObjBox, SpansOfEntriesAndObjectsWithoutDictionary) {
  qm::doc d = docbuilder()
                  .entry(4, "<< /Type /Page /MediaBox [1 2 11 22] >>")
                  .obj(5, "[0 0 612 792]")
                  .obj(6, "<< /MediaBox [0 0 1 1] >>")
                  .build();
  double x0 = 0, y0 = 0, w = 0, h = 0;
  ASSERT_EQ(qm::obj_box(d.data.get(), d.len, rec(d, 4), &x0, &y0, &w, &h), 1);
  EXPECT_EQ(x0, 1);
  EXPECT_EQ(y0, 2);
  EXPECT_EQ(w, 10);
  EXPECT_EQ(h, 20);
  // An object whose value is no dictionary has no span and no box.
  EXPECT_EQ(qm::obj_box(d.data.get(), d.len, rec(d, 5), &x0, &y0, &w, &h), 0);
  // The span of a plain object ends at its "endobj": the next object's box is not its own.
  qm::doc e = docbuilder().obj(3, "<< /Type /Page >>").obj(4, "<< /MediaBox [0 0 9 9] >>").build();
  EXPECT_EQ(qm::obj_box(e.data.get(), e.len, rec(e, 3), &x0, &y0, &w, &h), 0);
}

struct rotate_case {
  const char* dict;
  int32_t expected;
};

TEST(ObjRotateOwn, Table) {
  const rotate_case cases[] = {
      {"<< /Rotate 90 >>", 90},
      {"<< /Rotate 450 >>", 450},
      {"<< /Rotate 0 >>", 0},
      {"<< /Rotate -90 >>", -1},
      {"<< /Rotate +90 >>", -1},
      {"<< /Type /Page >>", -1},
      {"<< /Rotate/90 >>", -1},
      {"<< /Rotate [90] >>", -1},
      {"<< /Rotate\n\t270 >>", 270},
      {"<< /Rotate 90.0 >>", 90},
      {"<< /Rotate 90 R >>", 90},
      // Wrapping 32-bit arithmetic of the integer reader.
      {"<< /Rotate 4294967386 >>", 90},
      // Only the top level of the dictionary counts: not a nested dictionary, not a string, not a
      // comment.
      {"<< /A << /Rotate 90 >> /Type /Page >>", -1},
      {"<< /A << /Rotate 90 >> /Rotate 180 >>", 180},
      {"<< /T (/Rotate 90) >>", -1},
      {"<< /T (x) % /Rotate 90\n/Rotate 270 >>", 270},
      // Only the first top-level /Rotate is read.
      {"<< /Rotate -1 /Rotate 90 >>", -1},
      {"<< /Rotates 90 >>", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dict);
    qm::doc d = docbuilder().obj(3, c.dict).build();
    EXPECT_EQ(qm::obj_rotate_own(d, rec(d, 3)), c.expected);
  }
}

TEST(ObjRotateOwn, IndirectValuesAreFollowed) {
  qm::doc d = docbuilder()
                  .obj(3, "<< /Rotate 7 0 R >>")
                  .obj(4, "<< /Rotate 8 0 R >>")
                  .obj(5, "<< /Rotate 9 0 R >>")
                  .obj(6, "<< /Rotate 10 0 R >>")
                  .obj(11, "<< /Rotate 12 0 R >>")
                  .obj(13, "<< /Rotate 14 0 R >>")
                  .obj(15, "<< /Rotate 99 0 R >>")
                  .obj(16, "<< /Rotate 17 0 R/Type/Page >>")
                  .obj(7, "180")
                  .obj(8, "-90")
                  .obj(9, "8 0 R")  // a reference is not an integer object
                  .lstream(10, "90")
                  .entry(12, "270")
                  .obj(14, "(90)")
                  .obj(17, "  90  ")
                  .build();
  const std::pair<int, int32_t> cases[] = {{3, 180},  {4, -1},  {5, -1},  {6, -1},
                                           {11, 270}, {13, -1}, {15, -1}, {16, 90}};
  for (const auto& [num, expected] : cases) {
    SCOPED_TRACE(num);
    EXPECT_EQ(qm::obj_rotate_own(d, rec(d, num)), expected);
  }
}

TEST(ObjRotateOwn, EntriesAndObjectsWithoutDictionary) {
  qm::doc d = docbuilder().entry(4, "<< /Type /Page /Rotate 270 >>").obj(5, "90").build();
  EXPECT_EQ(qm::obj_rotate_own(d, rec(d, 4)), 270);
  EXPECT_EQ(qm::obj_rotate_own(d, rec(d, 5)), -1);
}

}  // namespace
