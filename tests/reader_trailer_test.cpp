// Trailer facts: /Root and /Encrypt from classic trailers and cross-reference streams.
#include <gtest/gtest.h>

#include <string>

#include "reader/trailer.h"
#include "support/readerpdf.h"

namespace {

using qmtest::raw_obj;

// A classic section: "xref" with one entry line, then "trailer" and the dictionary.
std::string classic(std::string_view dict) {
  return "xref\n0 1\n0000000000 65535 f \ntrailer\n" + std::string(dict) + "\n";
}
std::string startxref(size_t off) {
  return "startxref\n" + std::to_string(off) + "\n%%EOF\n";
}

// A cross-reference stream object (its data is not read).
std::string xref_stream(int num, std::string_view keys) {
  return std::to_string(num) + " 0 obj\n<< /Type /XRef " + std::string(keys) +
         " /Length 4 >>\nstream\nxxxx\nendstream\nendobj\n";
}

struct trailer_case {
  const char* name;
  std::string bytes;
  int32_t root;
  int32_t encrypted;
};

// A chain of n cross-reference streams, newest last in the file and first in the walk; only the
// oldest one names /Encrypt.
std::string xref_chain(int n) {
  std::string s = raw_obj(1, "1");
  size_t prev = 0;
  for (int k = 0; k < n; ++k) {
    const size_t here = s.size();
    std::string keys = k == 0 ? "/Encrypt 9 0 R" : "/Prev " + std::to_string(prev);
    s += xref_stream(100 + k, keys);
    prev = here;
  }
  return s + startxref(prev);
}

std::vector<trailer_case> cases() {
  std::vector<trailer_case> v;
  const std::string body = raw_obj(1, "<< /Type /Catalog >>");
  v.push_back({"no startxref", body + classic("<< /Root 1 0 R >>"), -1, 0});
  v.push_back(
      {"classic", body + classic("<< /Size 2 /Root 7 0 R >>") + startxref(body.size()), 7, 0});
  v.push_back({"white space before xref",
               body + "\n\n" + classic("<< /Root 7 0 R >>") + startxref(body.size()), 7, 0});
  v.push_back({"root and encrypt",
               body + classic("<< /Root 7 0 R /Encrypt 9 0 R >>") + startxref(body.size()), 7, 1});
  v.push_back({"encrypt alone",
               body + classic("<< /Encrypt << /V 1 >> >>") + startxref(body.size()), -1, 1});
  v.push_back({"first root not a number",
               body + classic("<< /Root /Catalog /Root 3 0 R >>") + startxref(body.size()), 3, 0});
  v.push_back({"first root negative",
               body + classic("<< /Root -1 /Root 3 0 R >>") + startxref(body.size()), 3, 0});
  v.push_back({"root zero", body + classic("<< /Root 0 0 R >>") + startxref(body.size()), 0, 0});
  v.push_back(
      {"startxref negative", body + classic("<< /Root 7 0 R >>") + "startxref\n-5\n", -1, 0});
  v.push_back({"startxref beyond the end",
               body + classic("<< /Root 7 0 R >>") + "startxref\n999999\n", -1, 0});
  v.push_back(
      {"startxref without a number", body + classic("<< /Root 7 0 R >>") + "startxref\n", -1, 0});
  v.push_back(
      {"startxref pointing elsewhere", body + classic("<< /Root 7 0 R >>") + startxref(3), -1, 0});
  v.push_back({"trailer not a dictionary",
               body + "xref\ntrailer\nfoo << /Root 4 0 R >>\n" + startxref(body.size()), -1, 0});
  v.push_back({"no trailer after xref", body + "xref\n0 1\n" + startxref(body.size()), -1, 0});
  {
    // The dictionary ends at the next "startxref": keys after it are not the trailer's.
    std::string s = "xref\ntrailer\n<< /Size 1 >>\nstartxref\n0\n%%EOF\n/Root 9 0 R /Encrypt 1 0 R";
    v.push_back({"keys after startxref", s, -1, 0});
  }
  {
    // Incremental update; "startxref" names the older table: both trailers are read and the
    // later /Root wins.
    std::string s = body;
    const size_t x1 = s.size();
    s += classic("<< /Root 1 0 R >>") + startxref(x1) + raw_obj(5, "<< /Type /Catalog >>");
    s += classic("<< /Root 5 0 R /Prev " + std::to_string(x1) + " >>") + startxref(x1);
    v.push_back({"incremental, startxref at the older table", s, 5, 0});
  }
  {
    // "startxref" names the newer table: only the trailers from there on are read, and a
    // classic section's /Prev is never followed.
    std::string s = body;
    const size_t x1 = s.size();
    s += classic("<< /Root 1 0 R /Encrypt 3 0 R >>") + startxref(x1);
    const size_t x2 = s.size();
    s += classic("<< /Size 2 /Prev " + std::to_string(x1) + " >>") + startxref(x2);
    v.push_back({"incremental, newer table without root", s, -1, 0});
  }
  {
    // The last "startxref" in the file is the one followed.
    std::string s = body;
    const size_t x1 = s.size();
    s += classic("<< /Root 1 0 R >>") + startxref(x1) + "junk\n";
    const size_t x2 = s.size();
    s += classic("<< /Root 4 0 R >>") + startxref(x2);
    v.push_back({"last startxref", s, 4, 0});
  }
  {
    const size_t off = body.size();
    v.push_back(
        {"xref stream", body + xref_stream(5, "/Root 2 0 R /Size 6") + startxref(off), 2, 0});
  }
  {
    std::string s = body;
    const size_t old_off = s.size();
    s += xref_stream(5, "/Root 2 0 R /Encrypt 8 0 R");
    const size_t new_off = s.size();
    s += xref_stream(6, "/Root 3 0 R /Prev " + std::to_string(old_off)) + startxref(new_off);
    v.push_back({"xref stream chain: the newest root wins", s, 3, 1});
  }
  {
    std::string s = body;
    const size_t old_off = s.size();
    s += classic("<< /Root 2 0 R >>");
    const size_t new_off = s.size();
    s += xref_stream(6, "/Root 3 0 R /Prev " + std::to_string(old_off)) + startxref(new_off);
    v.push_back({"xref stream then classic: the classic trailer overwrites", s, 2, 0});
  }
  {
    std::string s = body;
    const size_t off = s.size();
    s += xref_stream(6, "/Root 3 0 R /Prev " + std::to_string(off) + " /Encrypt 1 0 R") +
         startxref(off);
    v.push_back({"xref stream whose /Prev is itself", s, 3, 1});
  }
  {
    std::string s = body;
    const size_t old_off = s.size();
    s += xref_stream(5, "/Root 2 0 R");
    const size_t new_off = s.size();
    s += xref_stream(6, "/Prev -1 /Prev " + std::to_string(old_off)) + startxref(new_off);
    v.push_back({"only the first /Prev counts", s, -1, 0});
  }
  {
    std::string s = body;
    const size_t off = s.size();
    s += "6 0 obj\n<< /Type /XRef /Length 11 >>\nstream\n/Root 4 0 R\nendstream\nendobj\n" +
         startxref(off);
    v.push_back({"keys in the stream data are not read", s, -1, 0});
  }
  {
    std::string s = body;
    const size_t off = s.size();
    s += "6 0 xobj << /Root 4 0 R >>\n" + startxref(off);
    v.push_back({"no obj keyword", s, -1, 0});
  }
  {
    std::string s = body;
    const size_t off = s.size();
    s += "6 0 obj << /Root 4 0 R >>";  // no stream: the span runs to the end of the file
    v.push_back({"xref object without stream", s + "\n" + startxref(off), 4, 0});
  }
  v.push_back({"32 streams are examined", xref_chain(32), -1, 1});
  v.push_back({"the 33rd is not", xref_chain(33), -1, 0});
  return v;
}

TEST(Trailers, Table) {
  for (const auto& c : cases()) {
    SCOPED_TRACE(c.name);
    qm::doc d = qmtest::mem_doc(c.bytes);
    qm::read_trailers(d);
    EXPECT_EQ(d.trailer_root, c.root);
    EXPECT_EQ(d.encrypted, c.encrypted);
  }
}

TEST(Trailers, LoadedDocumentsUseTheTrailerRoot) {
  // Two catalogs: the trailer's /Root decides which one is used.
  std::string s = raw_obj(1, "<< /Type /Catalog /Pages 3 0 R >>") +
                  raw_obj(2, "<< /Type /Catalog /Pages 4 0 R >>") +
                  raw_obj(3, "<< /Type /Pages /Kids [5 0 R] >>") +
                  raw_obj(4, "<< /Type /Pages /Kids [5 0 R 5 0 R] >>") +
                  raw_obj(5, "<< /Type /Page >>");
  const size_t off = s.size();
  s += classic("<< /Root 2 0 R >>") + startxref(off);
  qm::doc d;
  ASSERT_EQ(qmtest::load_mem(s, d), 0);
  EXPECT_EQ(d.trailer_root, 2);
  EXPECT_EQ(d.catalog, 2);
  EXPECT_EQ(d.pages.size(), 2u);
}

}  // namespace
