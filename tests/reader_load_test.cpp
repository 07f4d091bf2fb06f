// Loading a file: the object scan, stream extents, false objects inside stream data, the final
// table with its duplicate rules, and every message of the loader.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "reader/file_data.h"
#include "reader/load.h"
#include "support/readerpdf.h"

#ifdef QM_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace {

using qmtest::load_mem;
using qmtest::mem_doc;
using qmtest::nums_of;
using qmtest::raw_obj;
using qmtest::raw_stream;
using qmtest::table_of;

struct scan_case {
  const char* name;
  std::string bytes;
  std::vector<int> nums;  // the final table's numbers in table order
};

TEST(ObjectScan, Table) {
  const scan_case cases[] = {
      {"junk before the header", "garbage\n%PDF-1.4\n" + raw_obj(1, "<< >>"), {1}},
      {"no header at all", raw_obj(5, "7"), {5}},
      {"in file order", raw_obj(3, "1") + raw_obj(1, "2") + raw_obj(2, "3"), {3, 1, 2}},
      {"object number 0", raw_obj(0, "1") + raw_obj(2, "2"), {2}},
      {"largest object number", raw_obj(8388608, "1") + raw_obj(8388607, "2"), {8388607}},
      {"huge object number", raw_obj(1, "1") + "99999999999999999999 0 obj 5 endobj", {1}},
      {"no endobj after a dictionary", raw_obj(1, "1") + "2 0 obj\n<< /A 1 >>\n", {1}},
      {"no endobj after a number", raw_obj(1, "1") + "2 0 obj 5", {1}},
      {"a dictionary's endobj is the next one", "1 0 obj << /A 1 >>\n2 0 obj 5 endobj", {1, 2}},
      {"letter before the number", "x1 0 obj 5 endobj", {}},
      {"delimiter before the number", "/12 0 obj 5 endobj", {12}},
      {"no generation number", "1 obj 5 endobj", {}},
      {"no space before obj", "1 0obj 5 endobj", {}},
      {"no space between the numbers", "10obj 5 endobj", {}},
      {"obj not a whole token", "1 0 objx 5 endobj", {}},
      {"obj followed by a comment", "1 0 obj% c\n5 endobj", {1}},
      {"C-locale white space between the parts", "1\v0\f\tobj 5 endobj", {1}},
      {"line breaks between the parts", "1  0\r\nobj 5 endobj", {1}},
      {"NUL is no separator",
       std::string("1\0"
                   "0 obj 5 endobj",
                   16),
       {}},
      {"endobj not a whole token", "1 0 obj 5 endobjx", {}},
      {"object at the very start", "7 0 obj\n9\nendobj", {7}},
      {"object at the very end", raw_obj(1, "1") + "2 0 obj", {1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qm::doc d = table_of(c.bytes);
    EXPECT_EQ(nums_of(d), c.nums);
  }
}

TEST(ObjectScan, RecordFields) {
  const std::string bytes =
      "%PDF-1.4\n" + raw_obj(1, "<< /A 1 >>") + raw_obj(2, "42") + raw_stream(3, "5", "hello");
  qm::doc d = table_of(bytes);
  ASSERT_EQ(d.objects.size(), 3u);
  const qm::obj_rec& a = d.objects[0];
  EXPECT_EQ(a.obj_start, qmtest::nth(bytes, "1 0 obj"));
  EXPECT_EQ(a.dict_start, qmtest::nth(bytes, "<< /A"));
  EXPECT_EQ(a.endobj_pos, qmtest::nth(bytes, "endobj"));
  EXPECT_EQ(a.stream_pos, -1);
  EXPECT_EQ(a.has_stream, 0);
  EXPECT_EQ(a.in_objstm, 0);
  EXPECT_EQ(a.text, nullptr);
  const qm::obj_rec& b = d.objects[1];
  EXPECT_EQ(b.dict_start, -1);
  EXPECT_EQ(b.endobj_pos, qmtest::nth(bytes, "endobj", 1));
  const qm::obj_rec& s = d.objects[2];
  EXPECT_EQ(s.has_stream, 1);
  EXPECT_EQ(s.stream_pos, qmtest::nth(bytes, "stream\n"));
  EXPECT_EQ(s.data_start, qmtest::nth(bytes, "hello"));
  EXPECT_EQ(s.data_end, s.data_start + 5);
  EXPECT_EQ(s.endobj_pos, qmtest::nth(bytes, "endobj", 2));
  EXPECT_EQ(d.max_objnum, 3);
}

struct extent_case {
  const char* name;
  std::string bytes;                // object 10 is the stream under test
  std::optional<std::string> data;  // its data, or nullopt when it is left out
};

TEST(StreamExtents, Table) {
  const std::string before = raw_obj(1, "<< /Type /Catalog >>");
  const extent_case cases[] = {
      {"right length", raw_stream(10, "5", "hello"), "hello"},
      {"length too short", raw_stream(10, "10", "0123456789ABCDEFGHIJ"), "0123456789ABCDEFGHIJ"},
      {"length too long", raw_stream(10, "20", "0123456789"), "0123456789"},
      {"no length", raw_stream(10, "", "hello"), std::nullopt},
      {"negative length", raw_stream(10, "-1", "hello"), std::nullopt},
      {"length in an array", raw_stream(10, "[5]", "hello"), "hello"},
      {"length far beyond the file", raw_stream(10, "2147483647", "hello"), "hello"},
      {"length zero", raw_stream(10, "0", ""), ""},
      {"indirect length", raw_stream(10, "17 0 R", "hello") + raw_obj(17, "5"), "hello"},
      {"indirect length written before", raw_obj(17, "  5  ") + raw_stream(10, "17 0 R", "hello"),
       "hello"},
      {"indirect length that is wrong", raw_stream(10, "17 0 R", "hello") + raw_obj(17, "2"),
       "hello"},
      {"dangling indirect length", raw_stream(10, "17 0 R", "hello"), std::nullopt},
      {"indirect length naming a stream",
       raw_stream(10, "17 0 R", "hello") + raw_stream(17, "1", "5"), std::nullopt},
      {"indirect length that is no integer", raw_stream(10, "17 0 R", "hello") + raw_obj(17, "(5)"),
       std::nullopt},
      {"indirect length that is negative", raw_stream(10, "17 0 R", "hello") + raw_obj(17, "-5"),
       std::nullopt},
      // The first copy of the length object in table order is the one read.
      {"indirect length with two copies",
       raw_stream(10, "17 0 R", "hello") + raw_obj(17, "5") + raw_obj(17, "(x)"), "hello"},
      {"indirect length first copy unusable",
       raw_stream(10, "17 0 R", "hello") + raw_obj(17, "(x)") + raw_obj(17, "5"), std::nullopt},
      // Stream extents are settled before object streams are expanded.
      {"indirect length inside an object stream",
       raw_stream(10, "17 0 R", "hello") + qmtest::objstm_obj(20, {{17, "5"}}), std::nullopt},
      // The end-of-line after "stream".
      {"CR LF after stream", "10 0 obj\n<< /Length 5 >>\nstream\r\nhello\nendstream\nendobj\n",
       "hello"},
      {"CR after stream", "10 0 obj\n<< /Length 5 >>\nstream\rhello\nendstream\nendobj\n", "hello"},
      {"spaces then LF", "10 0 obj\n<< /Length 5 >>\nstream \t \nhello\nendstream\nendobj\n",
       "hello"},
      {"no end-of-line", "10 0 obj\n<< /Length 5 >>\nstream hello\nendstream\nendobj\n", "hello"},
      {"two spaces and no end-of-line",
       "10 0 obj\n<< /Length 6 >>\nstream  hello\nendstream\nendobj\n", " hello"},
      {"stream right after the dictionary", "10 0 obj<</Length 5>>stream\nhello\nendstream endobj",
       "hello"},
      // The end-of-line before "endstream" when the length is wrong.
      {"CR LF before endstream", "10 0 obj\n<< /Length 99 >>\nstream\nabc\r\nendstream\nendobj\n",
       "abc"},
      {"CR before endstream", "10 0 obj\n<< /Length 99 >>\nstream\nabc\rendstream\nendobj\n",
       "abc"},
      {"LF LF before endstream", "10 0 obj\n<< /Length 99 >>\nstream\nabc\n\nendstream\nendobj\n",
       "abc\n"},
      {"nothing before endstream", "10 0 obj\n<< /Length 99 >>\nstream\nab)endstream\nendobj\n",
       "ab)"},
      // The search starts one byte into the data, so an empty stream needs its length.
      {"endstream right at the data start, right length",
       "10 0 obj\n<< /Length 0 >>\nstream\nendstream\nendobj\n", ""},
      {"endstream right at the data start, wrong length",
       "10 0 obj\n<< /Length 99 >>\nstream\nendstream\nendobj\n", std::nullopt},
      {"an end-of-line before the data is not taken off",
       "10 0 obj\n<< /Length 99 >>\nstream\r\n\nendstream\nendobj\n", ""},
      // A right length followed by white space of the C locale, then "endstream".
      {"length then CR LF", "10 0 obj\n<< /Length 3 >>\nstream\nabc\r\n\v endstream\nendobj\n",
       "abc"},
      // No "endstream" and a wrong length: the data runs to the end and no "endobj" follows.
      {"no endstream", "10 0 obj\n<< /Length 99 >>\nstream\nabc", std::nullopt},
      {"stream keyword at the end of the file", "10 0 obj << /Length 0 >>stream", std::nullopt},
      {"no endobj after the data", "10 0 obj\n<< /Length 3 >>\nstream\nabc\nendstream\n",
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = before + c.bytes;
    qm::doc d = table_of(bytes);
    const qm::obj_rec* o = qm::doc_find(d, 10);
    if (!c.data) {
      EXPECT_EQ(o, nullptr);
      continue;
    }
    ASSERT_NE(o, nullptr);
    ASSERT_EQ(o->has_stream, 1);
    ASSERT_GE(o->data_start, 0);
    ASSERT_LE(o->data_start, o->data_end);
    ASSERT_LE(o->data_end, d.len);
    EXPECT_EQ(std::string(d.data.get() + o->data_start, o->data_end - o->data_start), *c.data);
    ASSERT_GT(o->endobj_pos, o->data_end);
    EXPECT_EQ(std::string(d.data.get() + o->endobj_pos, 6), "endobj");
  }
}

TEST(FalseObjects, HeadersInsideStreamDataAreDropped) {
  const std::string inner = "9 0 obj\n<< /Type /Page >>\nendobj\n8 0 obj 5 endobj";
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"right length", raw_stream(10, std::to_string(inner.size()), inner)},
      {"length too short", raw_stream(10, "3", inner)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qm::doc d = table_of(raw_obj(1, "1") + c.bytes + raw_obj(2, "2"));
    EXPECT_EQ(qm::doc_find(d, 9), nullptr);
    EXPECT_EQ(qm::doc_find(d, 8), nullptr);
    EXPECT_NE(qm::doc_find(d, 1), nullptr);
    EXPECT_NE(qm::doc_find(d, 2), nullptr);
  }
}

TEST(FalseObjects, StreamsOfUnknownLengthHideNothing) {
  // A stream whose length cannot be settled has no data range: it is left out, and the headers
  // inside its data stand as objects of their own. (Dropping the stream moves the last record,
  // 2, into its slot.)
  qm::doc d = table_of(raw_obj(1, "1") + raw_stream(10, "", "9 0 obj 5 endobj") + raw_obj(2, "2"));
  EXPECT_EQ(nums_of(d), (std::vector<int>{1, 2, 9}));
}

TEST(FalseObjects, DataOfStreamsWithoutEndobjStillCounts) {
  // The last stream has no "endobj" after its data: it is dropped, and so is the header inside
  // its data.
  qm::doc d = table_of(raw_obj(1, "1") +
                       "10 0 obj\n<< /Length 20 >>\nstream\n9 0 obj 5 endobj    \nendstream\n");
  EXPECT_EQ(nums_of(d), std::vector<int>{1});
}

TEST(FalseObjects, DroppingMovesTheLastRecordForward) {
  // Working table after the scan: 1, stream 2, false 9 (inside 2's data), 5 (first copy),
  // 5 (second copy). Dropping 9 moves the second copy of 5 into its slot, ahead of the first
  // copy, so the first copy now has the higher index and wins.
  const std::string bytes = raw_obj(1, "1") + raw_stream(2, "16", "9 0 obj 7 endobj") +
                            raw_obj(5, "(first)") + raw_obj(5, "(second)");
  qm::doc d = mem_doc(bytes);
  qm::scan_objects(d);
  qm::settle_streams(d);
  EXPECT_EQ(nums_of(d), (std::vector<int>{1, 2, 9, 5, 5}));
  qm::discard_false_objects(d);
  ASSERT_EQ(nums_of(d), (std::vector<int>{1, 2, 5, 5}));
  EXPECT_EQ(d.objects[2].obj_start, qmtest::nth(bytes, "5 0 obj", 1));
  qm::build_final_table(d);
  EXPECT_EQ(nums_of(d), (std::vector<int>{1, 2, 5}));
  const qm::obj_rec* five = qm::doc_find(d, 5);
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(five->obj_start, qmtest::nth(bytes, "5 0 obj", 0));
}

TEST(FalseObjects, WithoutMovesTheLaterCopyWins) {
  const std::string bytes = raw_obj(5, "(first)") + raw_obj(1, "1") + raw_obj(5, "(second)");
  qm::doc d = table_of(bytes);
  EXPECT_EQ(nums_of(d), (std::vector<int>{1, 5}));
  EXPECT_EQ(qm::doc_find(d, 5)->obj_start, qmtest::nth(bytes, "5 0 obj", 1));
}

TEST(FinalTable, DuplicateRules) {
  const std::string bytes =
      qmtest::objstm_obj(20, {{4, "(entry 4)"}, {7, "(entry 7 first)"}, {8, "(entry 8)"}}) +
      raw_obj(4, "(plain 4)") + qmtest::objstm_obj(21, {{7, "(entry 7 second)"}}, false) +
      raw_obj(12, "<< /Type /ObjStm >>") + qmtest::objstm_obj(22, {{8388608, "(too big)"}});
  qm::doc d = table_of(bytes);
  // Plain records first, in table order, then the entries; no object stream itself.
  EXPECT_EQ(nums_of(d), (std::vector<int>{4, 12, 8, 7}));
  const qm::obj_rec* four = qm::doc_find(d, 4);
  ASSERT_NE(four, nullptr);
  EXPECT_EQ(four->in_objstm, 0);
  const qm::obj_rec* seven = qm::doc_find(d, 7);
  ASSERT_NE(seven, nullptr);
  ASSERT_EQ(seven->in_objstm, 1);
  EXPECT_EQ(std::string(seven->text, seven->text_len), "(entry 7 second) ");
  EXPECT_EQ(seven->obj_start, -1);
  EXPECT_EQ(seven->dict_start, -1);
  EXPECT_EQ(seven->endobj_pos, -1);
  EXPECT_EQ(qm::doc_find(d, 20), nullptr);
  EXPECT_EQ(qm::doc_find(d, 21), nullptr);
  EXPECT_EQ(d.max_objnum, 12);
}

TEST(FinalTable, EmptyTable) {
  qm::doc d = table_of("no objects here");
  EXPECT_TRUE(d.objects.empty());
  EXPECT_EQ(d.max_objnum, 0);
  EXPECT_EQ(qm::doc_find(d, 1), nullptr);
}

TEST(SharedSpans, HexStringValuesTakeTheNextDictionarysStream) {
  // An object whose value starts with a hex string's "<" takes its dictionary's end from the next
  // dictionary in the file; here every such object becomes a stream sharing object 9's data.
  // Object 11's own span holds a /Length that names a missing object: its length is unknown.
  const std::string bytes = "11 0 obj <41 /Length 5 0 R> endobj\n12 0 obj <42> endobj\n" +
                            raw_stream(9, "5", "hello") + raw_obj(13, "<43>");
  qm::doc d = table_of(bytes);
  EXPECT_EQ(nums_of(d), (std::vector<int>{13, 12, 9}));
  const qm::obj_rec* nine = qm::doc_find(d, 9);
  const qm::obj_rec* twelve = qm::doc_find(d, 12);
  ASSERT_NE(nine, nullptr);
  ASSERT_NE(twelve, nullptr);
  EXPECT_EQ(twelve->has_stream, 1);
  EXPECT_EQ(twelve->stream_pos, nine->stream_pos);
  EXPECT_EQ(twelve->data_start, nine->data_start);
  EXPECT_EQ(twelve->data_end, nine->data_end);
  EXPECT_EQ(qm::doc_find(d, 13)->has_stream, 0);
}

TEST(SharedSpans, ManyObjectsSharingOneStreamLoadInLinearTime) {
  // Tens of thousands of records whose spans all run to one far stream: every search over those
  // spans is remembered, so this loads at once (a fresh search per record would take minutes).
  std::string bytes;
  for (int k = 0; k < 40000; ++k) bytes += std::to_string(100 + k) + " 0 obj <41> endobj\n";
  bytes += raw_stream(9, "5", "hello");
  qm::doc d = table_of(bytes);
  EXPECT_EQ(d.objects.size(), 40001u);
  for (const auto& o : d.objects) ASSERT_EQ(o.data_end, d.objects.back().data_end);
}

// --- Messages ---------------------------------------------------------------------------------

std::string load_error(const char* path) {
  qm::msg m;
  qm::msg_set(m, "untouched");
  qm::doc d;
  int r = qm::doc_load(path, d, m);
  EXPECT_EQ(r, -1);
  // A failed load leaves nothing behind.
  EXPECT_EQ(d.data, nullptr);
  EXPECT_TRUE(d.objects.empty());
  EXPECT_TRUE(d.pages.empty());
  EXPECT_TRUE(d.blocks.empty());
  return m.text;
}

TEST(LoaderMessages, Table) {
  const std::string tree = qmtest::one_page_tree();
  const struct {
    const char* file;
    std::string bytes;
    std::string message;  // "%s" stands for the path
  } cases[] = {
      {"empty.pdf", "", "empty input file: %s"},
      {"text.pdf", "hello, this is not a PDF\n", "no PDF objects found \xE2\x80\x94 not a PDF: %s"},
      {"false-only.pdf", "3 0 obj << /Length 16 >>stream\n1 0 obj 5 endobj\nendstream\n",
       "no PDF objects found \xE2\x80\x94 not a PDF: %s"},
      {"encrypted-classic.pdf",
       tree + "xref\n0 1\ntrailer\n<< /Root 1 0 R /Encrypt 9 0 R >>\nstartxref\n" +
           std::to_string(tree.size()) + "\n%%EOF\n",
       "encrypted PDFs are not supported: %s"},
      // An empty table is reported before encryption.
      {"encrypted-empty.pdf", "xref\ntrailer\n<< /Encrypt 1 0 R >>\nstartxref\n0\n",
       "no PDF objects found \xE2\x80\x94 not a PDF: %s"},
      {"no-pages-ref.pdf", raw_obj(1, "<< /Type /Catalog >>"),
       "catalog (obj 1) has no /Pages reference"},
      {"no-pages.pdf",
       raw_obj(1, "<< /Type /Catalog /Pages 2 0 R >>") + raw_obj(2, "<< /Type /Pages /Kids [] >>"),
       "document has no pages"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = qmtest::write_file(c.file, c.bytes);
    std::string want = c.message;
    if (auto p = want.find("%s"); p != std::string::npos) want.replace(p, 2, path);
    EXPECT_EQ(load_error(path.c_str()), want);
  }
}

TEST(LoaderMessages, PathProblems) {
  EXPECT_EQ(load_error(nullptr), "NULL path argument");
  const std::string missing = (qmtest::tmp_dir() / "does-not-exist.pdf").string();
  EXPECT_EQ(load_error(missing.c_str()), "cannot open " + missing);
}

TEST(LoaderMessages, ShortRead) {
  // Files of the kernel's sysfs report a size of a page but deliver only their few bytes.
  const char* path = "/sys/devices/system/cpu/online";
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size <= qmtest::read_file(path).size()) GTEST_SKIP() << "no short-reading file here";
  EXPECT_EQ(load_error(path), std::string("read error on ") + path);
}

TEST(LoaderMessages, FilesOfTwoGibibytesOrMoreAreRefused) {
  // Sparse files: nothing is read, the size alone decides.
  for (std::uintmax_t size :
       {std::uintmax_t{1} << 31, (std::uintmax_t{1} << 31) + 1, std::uintmax_t{1} << 32}) {
    SCOPED_TRACE(size);
    const std::string path = qmtest::write_file("huge.pdf", "");
    std::error_code ec;
    std::filesystem::resize_file(path, size, ec);
    if (ec) GTEST_SKIP() << "cannot make a sparse file here: " << ec.message();
    EXPECT_EQ(load_error(path.c_str()), "empty input file: " + path);
    std::filesystem::remove(path);
  }
}

TEST(LoaderMessages, FromMemory) {
  qm::doc d;
  qm::msg m;
  EXPECT_EQ(qm::doc_load_bytes(nullptr, 5, "buf", d, m), -1);
  EXPECT_EQ(std::string(m.text), "empty input file: buf");
  EXPECT_EQ(load_mem("", d, "zero", &m), -1);
  EXPECT_EQ(std::string(m.text), "empty input file: zero");
  EXPECT_EQ(load_mem("plain text", d, "words", &m), -1);
  EXPECT_EQ(std::string(m.text), "no PDF objects found \xE2\x80\x94 not a PDF: words");
  EXPECT_EQ(d.data, nullptr);
}

TEST(Load, FileAndMemoryGiveTheSameDocument) {
  qmtest::pdfgen g = qmtest::pdfgen::simple({"/MediaBox [0 0 100 200]", "/Rotate 90"});
  const std::string bytes = g.bytes();
  const std::string path = qmtest::write_file("same.pdf", bytes);
  qm::doc a, b;
  qm::msg m;
  ASSERT_EQ(qm::doc_load(path.c_str(), a, m), 0) << m.text;
  ASSERT_EQ(load_mem(bytes, b), 0);
  EXPECT_EQ(a.len, b.len);
  EXPECT_EQ(nums_of(a), nums_of(b));
  ASSERT_EQ(a.pages.size(), 2u);
  ASSERT_EQ(b.pages.size(), 2u);
  EXPECT_EQ(a.pages[0].width, 100);
  EXPECT_EQ(b.pages[0].height, 200);
  EXPECT_EQ(a.trailer_root, 1);
  EXPECT_EQ(a.catalog, 1);
  EXPECT_EQ(a.encrypted, 0);
  EXPECT_EQ(a.max_objnum, 4);
  qm::doc_free(a);
  qm::doc_free(b);
  EXPECT_EQ(a.data, nullptr);
}

// Large files are read into a mapping of their own, smaller ones into an array: the document is
// the same either way, whatever the size's remainder to a page.
TEST(Load, LargeFilesReadIntoTheirOwnMapping) {
  const std::string body = qmtest::pdfgen::simple({"/MediaBox [0 0 100 200]", ""}).bytes();
  const size_t header = body.find('\n') + 1;
  // The threshold is given here (sanitizer builds map nothing unless told to).
  const size_t from = size_t{1} << 20;
  for (const size_t size : {from - 1, from, from + 1, 5 * from + 123}) {
    SCOPED_TRACE(size);
    // A comment after the header line pads the file to the size.
    std::string bytes = body.substr(0, header) + "%";
    bytes += std::string(size - body.size() - 2, 'x') + "\n" + body.substr(header);
    ASSERT_EQ(bytes.size(), size);
    const std::string path = qmtest::write_file("large.pdf", bytes);
    qm::doc mapped, plain;
    qm::msg m;
    ASSERT_EQ(qm::doc_load(path.c_str(), mapped, m, from), 0) << m.text;
    ASSERT_EQ(qm::doc_load(path.c_str(), plain, m, SIZE_MAX), 0) << m.text;
    EXPECT_EQ(mapped.data.get_deleter().mapped, size >= from ? size : 0u);
    EXPECT_EQ(plain.data.get_deleter().mapped, 0u);
    ASSERT_EQ(mapped.len, static_cast<int32_t>(size));
    EXPECT_EQ(std::string_view(mapped.data.get(), size), bytes);
    EXPECT_EQ(nums_of(mapped), nums_of(plain));
    ASSERT_EQ(mapped.pages.size(), 2u);
    EXPECT_EQ(mapped.pages[0].height, 200);
    EXPECT_EQ(mapped.catalog, plain.catalog);
  }
}

// A thread keeps the arrays of files it has let go and reads its next files into them: each
// document still holds exactly its file, whichever array it got, and the kept bytes past a
// smaller file's end are out of bounds for AddressSanitizer, as a fresh array's would be.
TEST(Load, ArraysOfFilesLetGoServeTheThreadsNextFiles) {
  const std::string body = qmtest::pdfgen::simple({"/MediaBox [0 0 100 200]", ""}).bytes();
  const size_t header = body.find('\n') + 1;
  auto padded = [&](size_t size, const char* name) {
    std::string bytes = body.substr(0, header) + "%";
    bytes += std::string(size - body.size() - 2, 'x') + "\n" + body.substr(header);
    const std::string path = qmtest::write_file(name, bytes);
    return std::pair{bytes, path};
  };
  // (Named pairs, not structured bindings, which clang 14's lambdas cannot capture.)
  const auto large_file = padded(300000, "kept_large.pdf");
  const auto small_file = padded(5000, "kept_small.pdf");
  const auto over_file = padded(qm::kKeptFileArrayMax + 10, "kept_over.pdf");
  const std::string &large = large_file.first, &large_path = large_file.second;
  const std::string &small = small_file.first, &small_path = small_file.second;
  const std::string &over = over_file.first, &over_path = over_file.second;
  auto load = [](const std::string& path, qm::doc& d) {
    qm::msg m;
    ASSERT_EQ(qm::doc_load(path.c_str(), d, m, SIZE_MAX), 0) << m.text;
  };
  auto holds = [](const qm::doc& d, const std::string& bytes) {
    EXPECT_EQ(d.len, static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(std::string_view(d.data.get(), bytes.size()), bytes);
    EXPECT_EQ(d.pages.size(), 2u);
#ifdef QM_ADDRESS_SANITIZER
    EXPECT_TRUE(__asan_address_is_poisoned(d.data.get() + bytes.size()));
#endif
  };
  // On a thread of its own, which keeps nothing yet.
  std::thread([&] {
    qm::doc a, b, c;
    load(large_path, a);
    EXPECT_EQ(a.data.get_deleter().room, large.size());  // a fresh array, exactly the file
    holds(a, large);
    qm::doc_free(a);
    load(small_path, b);  // into the large file's array
    EXPECT_EQ(b.data.get_deleter().room, large.size());
    holds(b, small);
    load(large_path, c);  // that array is taken: a fresh one
    EXPECT_EQ(c.data.get_deleter().room, large.size());
    holds(c, large);
    qm::doc_free(b);
    qm::doc_free(c);
    load(over_path, a);  // larger than any kept array, and too large to be kept itself
    EXPECT_EQ(a.data.get_deleter().room, over.size());
    holds(a, over);
    qm::doc_free(a);
    load(small_path, b);
    load(small_path, c);  // the two kept arrays, both of the large file's size
    EXPECT_EQ(b.data.get_deleter().room, large.size());
    EXPECT_EQ(c.data.get_deleter().room, large.size());
    holds(b, small);
    holds(c, small);
    load(small_path, a);  // none kept now
    EXPECT_EQ(a.data.get_deleter().room, small.size());
    holds(a, small);
  }).join();  // what the thread still keeps is freed as it ends (a leak checker would say)
}

TEST(Load, DamagedCrossReferenceDataDoesNotMatter) {
  qmtest::pdfgen g = qmtest::pdfgen::simple({"", ""});
  std::string good = g.bytes();
  // Every offset of the table wrong.
  std::string wrong = good;
  for (size_t p = wrong.find("0000000"); p != std::string::npos; p = wrong.find("0000000", p + 1))
    wrong[p + 6] = '7';
  g.with_xref = false;
  const std::string none = g.bytes();
  for (const std::string& bytes : {good, wrong, none}) {
    qm::doc d;
    ASSERT_EQ(load_mem(bytes, d), 0);
    EXPECT_EQ(d.pages.size(), 2u);
  }
}

}  // namespace
