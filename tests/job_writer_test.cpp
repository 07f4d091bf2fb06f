// The writer's copies of resource objects: renumbered text, stream data as they are, positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "import/resources.h"
#include "job/writer.h"
#include "support/importdoc.h"

using namespace qm;
using qmtest::docbuilder;

namespace {

std::string emit(const qm::doc& d, int32_t old, int32_t nw, const renum_map& m,
                 std::vector<int64_t>& offsets) {
  buf out;
  buf_str(out, "HEAD");
  emit_resource_obj(d, old, nw, m, out, offsets);
  return std::string(out.view().substr(4));
}

}  // namespace

TEST(EmitResourceObj, PlainObjectRenumbered) {
  qm::doc d =
      docbuilder().obj(5, "<< /Type /Font /FontDescriptor 7 0 R >>").obj(7, "<< >>").build();
  renum_map m;
  map_build(m, {5, 6, 7}, 40);  // 5 -> 40, 7 -> 42
  std::vector<int64_t> off(50, -1);
  EXPECT_EQ(emit(d, 5, 40, m, off),
            "40 0 obj\n<< /Type /Font /FontDescriptor 42 0 R >>\n\nendobj\n");
  EXPECT_EQ(off[40], 4);
}

TEST(EmitResourceObj, Streams) {
  std::string img(3000, '\xAB');
  qm::doc d = docbuilder()
                  .stream(6, " /Length 3000 /Filter /DCTDecode ", img)
                  .stream(8, " /Length 100 /Font 5 0 R ", std::string(120, 'x'))
                  .stream(9, " /Length 10 0 R ", "abc")
                  .build();
  renum_map m;
  map_build(m, {5, 10}, 60);
  std::vector<int64_t> off(70, -1);
  EXPECT_EQ(emit(d, 6, 31, m, off), "31 0 obj\n<< /Length 3000 /Filter /DCTDecode >>\nstream\n" +
                                        img + "\nendstream\nendobj\n");
  // /Length is not recomputed: 100 stays while the data are 120 bytes.
  EXPECT_EQ(emit(d, 8, 32, m, off), "32 0 obj\n<< /Length 100 /Font 60 0 R >>\nstream\n" +
                                        std::string(120, 'x') + "\nendstream\nendobj\n");
  EXPECT_EQ(emit(d, 9, 33, m, off),
            "33 0 obj\n<< /Length 61 0 R >>\nstream\nabc\nendstream\nendobj\n");
  EXPECT_EQ(off[31], 4);
  EXPECT_EQ(off[32], 4);
}

TEST(EmitResourceObj, EntriesValuesAndMissingObjects) {
  qm::doc d = docbuilder()
                  .entry(4, "<< /A 5 0 R >>")
                  .obj(5, "42")
                  .obj(6, std::string("(a\0b 5 0 R) 5 0 R", 17))
                  .raw("7 0 obj\nendobj\n")
                  .build();
  // A record for object 7 with no value at all.
  d.objects.push_back(obj_rec{});
  obj_rec& r7 = d.objects.back();
  r7.num = 7;
  r7.obj_start = static_cast<int32_t>(d.len - 15);
  r7.endobj_pos = static_cast<int32_t>(d.len - 7);
  doc_index(d);
  renum_map m;
  map_build(m, {4, 5, 6, 7}, 20);
  std::vector<int64_t> off(30, -1);
  EXPECT_EQ(emit(d, 4, 20, m, off), "20 0 obj\n<< /A 21 0 R >>\nendobj\n");
  EXPECT_EQ(emit(d, 5, 21, m, off), "21 0 obj\n42\n\nendobj\n");
  EXPECT_EQ(emit(d, 6, 22, m, off), std::string("22 0 obj\n(a\0b 21 0 R) 21 0 R\n\nendobj\n", 37));
  EXPECT_EQ(emit(d, 7, 23, m, off), "23 0 obj\n<< >>\nendobj\n");
  EXPECT_EQ(emit(d, 99, 24, m, off), "");
  EXPECT_EQ(off[24], -1);
  for (int n = 20; n <= 23; ++n) EXPECT_EQ(off[static_cast<size_t>(n)], 4) << n;
}

TEST(EmitResourceObj, OffsetsFollowTheOutput) {
  qm::doc d = docbuilder().obj(5, "<< /A 1 >>").obj(6, "[1 2]").build();
  renum_map m;
  map_build(m, {5, 6, 5}, 10);
  buf out;
  std::vector<int64_t> off(13, -1);
  for (size_t k = 0; k < m.old_num.size(); ++k)
    emit_resource_obj(d, m.old_num[k], m.new_num[k], m, out, off);
  const std::string want =
      "10 0 obj\n<< /A 1 >>\n\nendobj\n11 0 obj\n[1 2]\n\nendobj\n12 0 obj\n<< /A 1 >>\n\nendobj\n";
  EXPECT_EQ(out.view(), want);
  EXPECT_EQ(off[10], 0);
  EXPECT_EQ(off[11], static_cast<int64_t>(want.find("11 0 obj")));
  EXPECT_EQ(off[12], static_cast<int64_t>(want.find("12 0 obj")));
}
