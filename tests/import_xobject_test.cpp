// Form XObject bodies: header templates, joined content, renumbered resources.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "import/xobject.h"
#include "reader/load.h"
#include "support/filterenc.h"
#include "support/importdoc.h"
#include "support/pdfgen.h"

using namespace qm;
using namespace std::string_literals;
using qmtest::docbuilder;
using qmtest::make_map;

namespace {

page_rec letter(int rotate = 0) {
  page_rec p;
  p.num = 3;
  p.width = 612;
  p.height = 792;
  p.rotate = rotate;
  return p;
}

std::string build(const qm::doc& d, int page, const page_rec& p, const renum_map& m = {}) {
  return build_form_xobject(d, qmtest::rec(d, page), p, m);
}

// The content of a body: what lies between "stream\n" and the final "\nendstream".
std::string content_of(const std::string& body) {
  size_t a = body.find(">> stream\n");
  EXPECT_NE(a, std::string::npos);
  EXPECT_EQ(body.substr(body.size() - 10), "\nendstream");
  return body.substr(a + 10, body.size() - 10 - (a + 10));
}

std::string header_of(const std::string& body) {
  return body.substr(0, body.find(">> stream\n") + 10);
}

}  // namespace

TEST(FormXObject, PageWithOneStreamAndResources) {
  const std::string data = "BT /F1 12 Tf 72 712 Td (Hello, pages) Tj ET\n";
  ASSERT_EQ(data.size(), 44u);
  qm::doc d = docbuilder()
                  .obj(3,
                       "<< /Type /Page /MediaBox [0 0 612 792] /Contents 5 0 R /Resources << /Font "
                       "<< /F1 7 0 R >> >> >>")
                  .lstream(5, data)
                  .obj(7, "<< /Type /Font >>")
                  .build();
  renum_map m = make_map({7}, 23);
  const std::string header =
      "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 44 /Resources << /Font << /F1 "
      "23 0 R >> >> >> stream\n";
  std::string body = build(d, 3, letter(), m);
  EXPECT_EQ(body, header + data + "\nendstream");
  EXPECT_EQ(body.size(), header.size() + 54);
}

TEST(FormXObject, RotationTemplates) {
  qm::doc d = docbuilder().obj(3, "<< /Type /Page >>").build();
  struct c {
    int rotate;
    std::string head;
  } cases[] = {
      {0, "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 0 >> stream\n"},
      {90,
       "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Matrix [0 -1 1 0 0 612] /Length 0 "
       ">> stream\n"},
      {180,
       "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Matrix [-1 0 0 -1 612 792] "
       "/Length 0 >> stream\n"},
      {270,
       "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Matrix [0 1 -1 0 792 0] /Length 0 "
       ">> stream\n"},
      {450,
       "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Matrix [0 -1 1 0 0 612] /Length 0 "
       ">> stream\n"},
      {45, "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 0 >> stream\n"},
      {-90, "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 0 >> stream\n"},
  };
  for (const c& x : cases) {
    // A page without /Contents: the header is followed directly by the closing keyword.
    EXPECT_EQ(build(d, 3, letter(x.rotate)), x.head + "\nendstream") << x.rotate;
  }
}

TEST(FormXObject, BoxNumbers) {
  qm::doc d = docbuilder().obj(3, "<< /Type /Page >>").build();
  page_rec p = letter(90);
  p.x0 = 10;
  p.y0 = 20;
  EXPECT_EQ(header_of(build(d, 3, p)),
            "<< /Type /XObject /Subtype /Form /BBox [10 20 622 812] /Matrix [0 -1 1 0 0 612] "
            "/Length 0 >> stream\n");
  p = letter(0);
  p.width = 595.276;
  p.height = 841.89;
  EXPECT_EQ(header_of(build(d, 3, p)),
            "<< /Type /XObject /Subtype /Form /BBox [0 0 595.2760 841.8900] /Length 0 >> stream\n");
  p.rotate = 180;
  EXPECT_EQ(header_of(build(d, 3, p)),
            "<< /Type /XObject /Subtype /Form /BBox [0 0 595.2760 841.8900] /Matrix [-1 0 0 -1 "
            "595.2760 841.8900] /Length 0 >> stream\n");
}

TEST(FormXObject, ContentArrays) {
  struct c {
    const char* name;
    std::string contents;  // the page's /Contents value
    std::string want;
  } cases[] = {
      {"two parts", "[5 0 R 6 0 R]", "q\nQ\n"},
      {"a missing part is skipped", "[5 0 R 99 0 R]", "q\n"},
      {"no R", "[5 0 6 0]", "q\nQ\n"},
      {"a second number is a generation", "[5 6]", "q\n"},
      {"regular bytes meet: a line feed between", "[10 0 R 11 0 R]", "0 g\n1 0 0 1 0 0 cm"},
      {"Q then q", "[12 0 R 13 0 R]", "Q\nq"},
      {"white space already there", "[14 0 R 12 0 R]", "q Q"},
      {"a delimiter on one side", "[15 0 R 16 0 R 17 0 R]", "(a)Tj/F1 12 Tf"},
      {"an empty part adds nothing", "[12 0 R 18 0 R 13 0 R]", "Q\nq"},
      {"empty first part", "[18 0 R 13 0 R]", "q"},
      {"compressed and plain parts", "[19 0 R 13 0 R 20 0 R]", "0 0 m\nq\n1 1 l"},
      {"an undecodable part is skipped", "[21 0 R 13 0 R]", "q"},
      {"a non-stream part is skipped", "[22 0 R 13 0 R]", "q"},
      {"nothing usable", "[99 0 R 22 0 R]", ""},
      {"through an indirect array", "9 0 R", "q\nQ\n"},
      {"through an array in an object stream", "23 0 R", "Q\nq"},
  };
  for (const c& x : cases) {
    SCOPED_TRACE(x.name);
    qm::doc d = docbuilder()
                    .obj(3, "<< /Type /Page /Contents " + x.contents + " >>")
                    .lstream(5, "q\n")
                    .lstream(6, "Q\n")
                    .obj(9, "[5 0 R 6 0 R]")
                    .lstream(10, "0 g")
                    .lstream(11, "1 0 0 1 0 0 cm")
                    .lstream(12, "Q")
                    .lstream(13, "q")
                    .lstream(14, "q ")
                    .lstream(15, "(a)")
                    .lstream(16, "Tj")
                    .lstream(17, "/F1 12 Tf")
                    .stream(18, " /Length 0 ", "")
                    .lstream(19, qmtest::zlib_compress("0 0 m"), "/Filter /FlateDecode")
                    .lstream(20, "1 1 l")
                    .lstream(21, "xx", "/Filter /DCTDecode")
                    .obj(22, "<< /Type /Font >>")
                    .entry(23, " [12 0 R 13 0 R]")
                    .build();
    std::string body = build(d, 3, letter());
    EXPECT_EQ(content_of(body), x.want);
    EXPECT_NE(body.find("/Length " + std::to_string(x.want.size()) + " >>"), std::string::npos);
  }
}

TEST(FormXObject, SingleStreams) {
  const std::string s = "q 1 0 0 1 0 0 cm /Im0 Do Q\n";
  struct c {
    const char* name;
    std::string dict, data, want;
  } cases[] = {
      {"plain", "", s, s},
      {"Flate", "/Filter /FlateDecode", qmtest::zlib_compress(s), s},
      {"A85 and Flate", "/Filter [/ASCII85Decode /FlateDecode]",
       qmtest::a85_encode(qmtest::zlib_compress(s)), s},
      {"Flate the decoder rejects", "/Filter /FlateDecode", "not zlib at all", ""},
      {"a filter not applied is not drawn raw", "/Filter /JPXDecode", s, ""},
  };
  for (const c& x : cases) {
    SCOPED_TRACE(x.name);
    qm::doc d =
        docbuilder().obj(3, "<< /Type /Page /Contents 5 0 R >>").lstream(5, x.data, x.dict).build();
    std::string body = build(d, 3, letter());
    EXPECT_EQ(body, "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length " +
                        std::to_string(x.want.size()) + " >> stream\n" + x.want + "\nendstream");
  }
}

TEST(FormXObject, OwnContentsAtTheTopLevel) {
  // A direct annotation with its own /Contents (a text string) before the page's /Contents.
  qm::doc d = docbuilder()
                  .obj(3,
                       "<< /Type /Page /Annots [<< /Subtype /Text /Contents (Note) >>] /Contents "
                       "5 0 R >>")
                  .lstream(5, "0 0 1 rg\n")
                  .build();
  EXPECT_EQ(content_of(build(d, 3, letter())), "0 0 1 rg\n");
}

TEST(FormXObject, ContentsThroughOtherObjects) {
  struct c {
    const char* name;
    std::string contents;
    std::string want;
  } cases[] = {
      {"reference to nothing", "77 0 R", ""},
      {"reference to 0", "0 0 R", ""},
      {"reference to a dictionary", "8 0 R", ""},
      {"a string", "(text)", ""},
      {"a name", "/X", ""},
      {"a plain object whose array follows junk", "9 0 R", "q\n"},
      {"a plain object with a hex string first", "10 0 R", ""},
  };
  for (const c& x : cases) {
    SCOPED_TRACE(x.name);
    qm::doc d = docbuilder()
                    .obj(3, "<< /Type /Page /Contents " + x.contents + " >>")
                    .lstream(5, "q\n")
                    .obj(8, "<< /Length 3 >>")
                    .obj(9, "% a comment\n[5 0 R]")
                    .obj(10, "<41> [5 0 R]")
                    .build();
    EXPECT_EQ(content_of(build(d, 3, letter())), x.want);
  }
}

TEST(FormXObject, StreamWrittenInPlace) {
  struct c {
    const char* name;
    std::string contents;
    std::string want;
  } cases[] = {
      {"CR LF after the keyword", "<< /Length 5 >> stream\r\nabcde\r\nendstream", "abcde"},
      {"LF after the keyword", "<< /Length 5 >>\nstream\nabcde\nendstream", "abcde"},
      {"any single byte after the keyword", "<< /Length 3 >> stream abc endstream", "abc"},
      {"indirect length", "<< /Length 12 0 R >> stream\nabcdef\nendstream", "abcd"},
      {"indirect length naming a stream", "<< /Length 13 0 R >> stream\nabcdef\nendstream", ""},
      {"indirect length naming nothing", "<< /Length 77 0 R >> stream\nabcdef\nendstream", ""},
      {"no length", "<< /Filter /FlateDecode >> stream\nabcdef\nendstream", ""},
      {"filters are not applied", "<< /Length 2 /Filter /FlateDecode >> stream\nxy\nendstream",
       "xy"},
      {"data beyond the dictionary", "<< /Length 99999 >> stream\nabc\nendstream", ""},
      {"no stream keyword", "<< /Length 3 >> abc", ""},
      {"length 0", "<< /Length 0 >> stream\nabc\nendstream", ""},
  };
  for (const c& x : cases) {
    SCOPED_TRACE(x.name);
    qm::doc d = docbuilder()
                    .obj(3, "<< /Type /Page /Contents " + x.contents + " >>")
                    .obj(12, "4")
                    .lstream(13, "4")
                    .build();
    EXPECT_EQ(content_of(build(d, 3, letter())), x.want);
  }
}

TEST(FormXObject, Resources) {
  struct c {
    const char* name;
    std::string page;
    std::string want;  // the header's resources part
  } cases[] = {
      {"through a reference", "<< /Type /Page /Resources 8 0 R >>",
       " /Resources << /XObject << /Im0 31 0 R >> >>"},
      {"inherited", "<< /Type /Page /Parent 2 0 R >>", " /Resources << /Font << /F1 30 0 R >> >>"},
      {"own wins over inherited", "<< /Type /Page /Parent 2 0 R /Resources << /A 9 0 R >> >>",
       " /Resources << /A 31 0 R >>"},
      {"unreadable", "<< /Type /Page /Resources [1 0 R] >>", ""},
      {"comment with >> inside", "<< /Type /Page /Resources << /A 9 0 R % old >>\n/B 4 0 R >> >>",
       " /Resources << /A 31 0 R % old >>\n/B 30 0 R >>"},
      {"short reference after a name digit", "<< /Type /Page /Resources << /F4 9 R >> >>",
       " /Resources << /F4 31 0 R >>"},
      {"a zero byte in a string", "<< /Type /Page /Resources << /S (a\0b) /A 9 0 R >> >>"s,
       " /Resources << /S (a\0b) /A 31 0 R >>"s},
  };
  for (const c& x : cases) {
    SCOPED_TRACE(x.name);
    qm::doc d = docbuilder()
                    .obj(2, "<< /Type /Pages /Resources << /Font << /F1 4 0 R >> >> >>")
                    .obj(3, x.page)
                    .obj(8, "<< /XObject << /Im0 9 0 R >> >>")
                    .build();
    renum_map m = make_map({4, 9}, 30);
    EXPECT_EQ(
        header_of(build(d, 3, letter(), m)),
        "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 0" + x.want + " >> stream\n");
  }
}

TEST(FormXObject, PagesWithoutDictionaryOrFromObjectStreams) {
  qm::doc d = docbuilder()
                  .obj(3, "[/Type /Page /Contents 5 0 R /Resources << /A 9 0 R >>]")
                  .lstream(5, "q\n")
                  .entry(6, "<< /Type /Page /Contents 5 0 R /Resources << /A 9 0 R >> >>")
                  .build();
  renum_map m = make_map({9}, 30);
  EXPECT_EQ(
      build(d, 3, letter(), m),
      "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 0 >> stream\n\nendstream");
  EXPECT_EQ(
      build(d, 6, letter(), m),
      "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 2 /Resources << /A 30 0 R >> "
      ">> stream\nq\n\nendstream");
  // An entry whose text is missing yields an empty body too.
  obj_rec o = qmtest::rec(d, 6);
  o.text = nullptr;
  EXPECT_EQ(
      build_form_xobject(d, o, letter(), m),
      "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Length 0 >> stream\n\nendstream");
}

TEST(FormXObject, LoadedDocument) {
  // The same import on a document read by the loader: a content array of a compressed and a
  // plain stream, and renumbered resources.
  qmtest::pdfgen g = qmtest::pdfgen::simple(
      {"/MediaBox [0 0 200 100] /Contents [5 0 R 6 0 R] /Resources << /Font << /F1 7 0 R >> >>"});
  g.stream(5, qmtest::zlib_compress("BT /F1 9 Tf (x) Tj ET"), "/Filter /FlateDecode");
  g.stream(6, "Q", "");
  g.obj(7, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
  std::string bytes = g.bytes();
  auto data = std::make_unique<char[]>(bytes.size());
  std::memcpy(data.get(), bytes.data(), bytes.size());
  qm::doc d;
  qm::msg msg;
  ASSERT_EQ(doc_load_bytes(std::move(data), static_cast<int32_t>(bytes.size()), "t.pdf", d, msg), 0)
      << msg.text;
  ASSERT_EQ(d.pages.size(), 1u);
  renum_map m = make_map({7}, 12);
  const page_rec& p = d.pages[0];
  std::string body = build_form_xobject(d, *doc_find(d, p.num), p, m);
  EXPECT_EQ(
      body,
      "<< /Type /XObject /Subtype /Form /BBox [0 0 200 100] /Length 23 /Resources << /Font << "
      "/F1 12 0 R >> >> >> stream\nBT /F1 9 Tf (x) Tj ET\nQ\nendstream");
}
