// Object streams: decoding, the header of pairs, and the entries added to the object table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/objstm.h"
#include "support/readerpdf.h"

namespace {

using qmtest::raw_obj;
using qmtest::raw_stream;
using qmtest::table_of;
using qmtest::zlib_compress;

// An object-stream object around the given decoded text; `keys` holds /N, /First and the rest.
std::string stm(int num, const std::string& text, const std::string& keys, bool flate = true) {
  const std::string data = flate ? zlib_compress(text) : text;
  return raw_stream(num, std::to_string(data.size()), data,
                    "/Type /ObjStm " + keys + (flate ? " /Filter /FlateDecode" : ""));
}

struct entry_expect {
  int num;
  std::string text;
};

std::vector<entry_expect> entries_of(const qm::doc& d) {
  std::vector<entry_expect> v;
  for (const auto& o : d.objects)
    if (o.in_objstm) v.push_back({o.num, std::string(o.text, o.text_len)});
  return v;
}

struct objstm_case {
  const char* name;
  std::string bytes;
  std::vector<entry_expect> entries;
};

std::string pad(std::string s, size_t n) {
  s.resize(n, ' ');
  return s;
}

std::vector<objstm_case> cases() {
  std::vector<objstm_case> v;
  // /N 3, /First 20, pairs (10, 0) (11, 15) (12, 40): texts of 15 and 25 bytes and the rest.
  const std::string a(15, 'a'), b(25, 'b'), c = "<< /Type /Page >>";
  const std::string three = pad("10 0 11 15 12 40", 20) + a + b + c;
  v.push_back({"three objects", stm(5, three, "/N 3 /First 20"), {{10, a}, {11, b}, {12, c}}});
  v.push_back({"three objects, not compressed",
               stm(5, three, "/N 3 /First 20", false),
               {{10, a}, {11, b}, {12, c}}});
  v.push_back(
      {"keys in another order", stm(5, three, "/First 20 /N 3"), {{10, a}, {11, b}, {12, c}}});
  v.push_back({"first usable /N and /First",
               stm(5, three, "/N 0 /First -4 /N 3 /First 20"),
               {{10, a}, {11, b}, {12, c}}});
  v.push_back(
      {"fewer objects than pairs", stm(5, three, "/N 2 /First 20"), {{10, a}, {11, b + c}}});
  // More pairs than the header holds: the reading runs into the objects' text.
  v.push_back({"N too large", stm(5, three, "/N 4 /First 20"), {}});
  v.push_back(
      {"N too large, header runs into a dictionary", stm(5, "10 0 <<>>", "/N 2 /First 5"), {}});
  // Pairs (0, 0) (11, 5) (12, 5) (13, 9): number 0 and the empty text of 11 are passed over.
  v.push_back({"object number 0 and a repeated offset",
               stm(5, pad("0 0 11 5 12 5 13 9", 20) + "aaaaabbbbcccc", "/N 4 /First 20"),
               {{12, "bbbb"}, {13, "cccc"}}});
  v.push_back({"offsets going backwards",
               stm(5, pad("10 6 11 0", 10) + "xxxxxxyyyy", "/N 2 /First 10"),
               {{11, "xxxxxxyyyy"}}});
  v.push_back(
      {"an offset beyond the data", stm(5, pad("10 0 11 500", 12) + "xxxx", "/N 2 /First 12"), {}});
  v.push_back({"negative number in the header",
               stm(5, pad("10 0 11 -3", 12) + "xxxx", "/N 2 /First 12"),
               {}});
  v.push_back(
      {"signs in the header", stm(5, pad("+10 +0", 8) + "xy", "/N 1 /First 8"), {{10, "xy"}}});
  v.push_back({"no /N", stm(5, three, "/First 20"), {}});
  v.push_back({"/N 0", stm(5, three, "/N 0 /First 20"), {}});
  v.push_back({"no /First", stm(5, three, "/N 3"), {}});
  v.push_back({"/First beyond the data", stm(5, three, "/N 3 /First 999"), {}});
  v.push_back({"/First at the end of the data",
               stm(5, three, "/N 3 /First " + std::to_string(three.size())),
               {}});
  v.push_back({"N above 100000", stm(5, three, "/N 100001 /First 20"), {}});
  v.push_back({"not an object stream",
               raw_stream(5, std::to_string(three.size()), three, "/N 3 /First 20"),
               {}});
  // Object texts of at most 1 MiB.
  {
    const std::string big(1048577, 'x');
    const std::string ok(1048576, 'y');
    std::string text = pad("10 0 11 1048577 12 2097153", 30) + big + ok + "z";
    v.push_back({"objects over 1 MiB are passed over",
                 stm(5, text, "/N 3 /First 30"),
                 {{11, ok}, {12, "z"}}});
  }
  // A stream that decodes to far more than 8 times its size plus 64 bytes.
  {
    const std::string spaces(200000, ' ');
    std::string text = pad("10 0", 5) + "<< /A 1 >>" + spaces;
    v.push_back(
        {"decoded on a retry", stm(5, text, "/N 1 /First 5"), {{10, "<< /A 1 >>" + spaces}}});
  }
  // Compressed data cut short: every attempt fails, no entries.
  {
    std::string z = zlib_compress(three);
    z.resize(z.size() / 2);
    v.push_back({"truncated compressed data",
                 raw_stream(5, std::to_string(z.size()), z,
                            "/Type /ObjStm /N 3 /First 20 /Filter /FlateDecode"),
                 {}});
  }
  // Bytes that are no zlib stream at all.
  v.push_back({"not compressed although it says so",
               raw_stream(5, std::to_string(three.size()), three,
                          "/Type /ObjStm /N 3 /First 20 /Filter /FlateDecode"),
               {}});
  return v;
}

TEST(ObjectStreams, Table) {
  for (const auto& c : cases()) {
    SCOPED_TRACE(c.name);
    qm::doc d = table_of(raw_obj(1, "1") + c.bytes);
    const auto got = entries_of(d);
    ASSERT_EQ(got.size(), c.entries.size());
    for (size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(got[k].num, c.entries[k].num);
      EXPECT_EQ(got[k].text, c.entries[k].text);
    }
    // The object stream itself never stays in the table.
    EXPECT_EQ(qm::doc_find(d, 5) == nullptr, std::string(c.name) != "not an object stream");
  }
}

TEST(ObjectStreams, EntryRecords) {
  qm::doc d = table_of(stm(5, pad("10 0", 5) + "<< /X 1 >>", "/N 1 /First 5"));
  ASSERT_EQ(d.objects.size(), 1u);
  const qm::obj_rec& e = d.objects[0];
  EXPECT_EQ(e.num, 10);
  EXPECT_EQ(e.in_objstm, 1);
  EXPECT_EQ(e.has_stream, 0);
  EXPECT_EQ(e.obj_start, -1);
  EXPECT_EQ(e.dict_start, -1);
  EXPECT_EQ(e.stream_pos, -1);
  EXPECT_EQ(e.data_start, -1);
  EXPECT_EQ(e.data_end, -1);
  EXPECT_EQ(e.endobj_pos, -1);
  EXPECT_EQ(e.text_len, 10);
  // The text lives in a block that the document owns.
  ASSERT_EQ(d.blocks.size(), 1u);
  EXPECT_EQ(e.text, d.blocks[0].get() + 5);
}

TEST(ObjectStreams, OnlyTheFinalDecodeBlockIsKept) {
  const std::string spaces(200000, ' ');
  qm::doc d = table_of(stm(5, pad("10 0", 5) + "<< >>" + spaces, "/N 1 /First 5") +
                       stm(6, pad("11 0", 5) + "<< >>", "/N 1 /First 5"));
  EXPECT_EQ(d.objects.size(), 2u);
  EXPECT_EQ(d.blocks.size(), 2u);
}

TEST(ObjectStreams, WhichCopyWins) {
  const std::string bytes = stm(5, pad("7 0 8 4", 8) + "(a) (b) ", "/N 2 /First 8") +
                            raw_obj(8, "(plain)") +
                            stm(6, pad("7 0", 4) + "(c) ", "/N 1 /First 4", false);
  qm::doc d = table_of(bytes);
  const qm::obj_rec* seven = qm::doc_find(d, 7);
  ASSERT_NE(seven, nullptr);
  EXPECT_EQ(std::string(seven->text, seven->text_len), "(c) ");
  const qm::obj_rec* eight = qm::doc_find(d, 8);
  ASSERT_NE(eight, nullptr);
  EXPECT_EQ(eight->in_objstm, 0);
}

TEST(ObjectStreams, RecordsSharingOneStreamDecodeItOnce) {
  // Objects whose value starts with a hex string take the next dictionary's stream as their own:
  // each is an object stream of the same data. They yield the same entries, which are added once,
  // from one decoded block; the records themselves, being object streams, are not kept.
  std::string bytes;
  for (int k = 0; k < 3000; ++k) bytes += std::to_string(100 + k) + " 0 obj <41> endobj\n";
  bytes += stm(5, pad("10 0 11 5", 10) + "(a)  (b)  ", "/N 2 /First 10");
  qm::doc d = table_of(bytes);
  EXPECT_EQ(qmtest::nums_of(d), (std::vector<int>{10, 11}));
  EXPECT_EQ(d.blocks.size(), 1u);
  EXPECT_EQ(std::string(d.objects[1].text, d.objects[1].text_len), "(b)  ");
}

TEST(ObjectStreams, ADocumentKeptInObjectStreams) {
  const std::string bytes =
      "%PDF-1.5\n" + qmtest::objstm_obj(9, {{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                                            {2, "<< /Type /Pages /Kids [3 0 R 4 0 R] >>"},
                                            {3, "<< /Type /Page /MediaBox [0 0 100 100] >>"},
                                            {4, "<< /Type /Page /Rotate 90 >>"}});
  qm::doc d;
  qm::msg m;
  ASSERT_EQ(qmtest::load_mem(bytes, d, "mem.pdf", &m), 0) << m.text;
  ASSERT_EQ(d.pages.size(), 2u);
  EXPECT_EQ(d.pages[0].width, 100);
  EXPECT_EQ(d.pages[1].width, 595);
  EXPECT_EQ(d.catalog, 1);
  EXPECT_EQ(d.max_objnum, 4);
}

}  // namespace
