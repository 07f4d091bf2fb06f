// `quiremark info`: the readable summary, the JSON object and the failure message.
//
// The tool's function is compiled into this test program directly: it lives with the command-line
// tool, not in the library.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <string>

#include "../cli/info.cpp"
#include "support/readerpdf.h"

namespace {

struct info_result {
  int status;
  std::string out, err;
};

std::string slurp(std::FILE* f) {
  std::string s;
  std::rewind(f);
  char b[4096];
  for (size_t n; (n = std::fread(b, 1, sizeof b, f)) > 0;) s.append(b, n);
  std::fclose(f);
  return s;
}

info_result info(const std::string& path, bool json, bool objects) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  info_result r;
  r.status = run_info(path.c_str(), json, objects, out, err);
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

// The numbers after every occurrence of "key": in the text, in order.
std::vector<double> values(const std::string& s, const std::string& key) {
  std::vector<double> v;
  const std::string k = "\"" + key + "\":";
  for (size_t p = s.find(k); p != std::string::npos; p = s.find(k, p + 1)) {
    double d = 0;
    const char* b = s.data() + p + k.size();
    auto r = std::from_chars(b, s.data() + s.size(), d);
    EXPECT_EQ(r.ec, std::errc()) << s.substr(p, 40);
    v.push_back(d);
  }
  return v;
}

// The true/false after every occurrence of "key": in the text, in order, as 1 and 0.
std::vector<double> flags(const std::string& s, const std::string& key) {
  std::vector<double> v;
  const std::string k = "\"" + key + "\":";
  for (size_t p = s.find(k); p != std::string::npos; p = s.find(k, p + 1)) {
    const std::string_view rest = std::string_view(s).substr(p + k.size());
    const bool t = rest.rfind("true", 0) == 0;
    EXPECT_TRUE(t || rest.rfind("false", 0) == 0) << s.substr(p, 40);
    v.push_back(t ? 1 : 0);
  }
  return v;
}

std::string sample() {
  qmtest::pdfgen g = qmtest::pdfgen::simple(
      {"/MediaBox [0 0 595.276 841.89]", "/CropBox [.1 .2 100.3 200.7] /Rotate 450"});
  g.objs[2] = "<< /Type /Pages /Kids [3 0 R 4 0 R] /Rotate 180 >>";
  return qmtest::write_file("info.pdf", g.bytes());
}

TEST(Info, JsonRoundTripsEveryNumber) {
  const std::string path = sample();
  qm::doc d;
  qm::msg m;
  ASSERT_EQ(qm::doc_load(path.c_str(), d, m), 0) << m.text;
  const info_result r = info(path, true, false);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("{\"trailer_root\":1,\"encrypted\":false,\"catalog\":1,\"max_objnum\":4,"
                        "\"pages\":[",
                        0),
            0u)
      << r.out;
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(r.out.find("\"objects\""), std::string::npos);
  ASSERT_EQ(d.pages.size(), 2u);
  EXPECT_EQ(values(r.out, "num"), (std::vector<double>{3, 4}));
  EXPECT_EQ(values(r.out, "parent"), (std::vector<double>{2, 2}));
  EXPECT_EQ(values(r.out, "inherited_rotate"), (std::vector<double>{180, 180}));
  EXPECT_EQ(values(r.out, "rotate_own"), (std::vector<double>{-1, 450}));
  // Shortest round-trip text: reading it back gives the very same doubles.
  EXPECT_EQ(values(r.out, "x0"), (std::vector<double>{d.pages[0].x0, d.pages[1].x0}));
  EXPECT_EQ(values(r.out, "y0"), (std::vector<double>{d.pages[0].y0, d.pages[1].y0}));
  EXPECT_EQ(values(r.out, "width"), (std::vector<double>{d.pages[0].width, d.pages[1].width}));
  EXPECT_EQ(values(r.out, "height"), (std::vector<double>{d.pages[0].height, d.pages[1].height}));
}

TEST(Info, JsonObjectTable) {
  const std::string path = sample();
  qm::doc d;
  qm::msg m;
  ASSERT_EQ(qm::doc_load(path.c_str(), d, m), 0) << m.text;
  const info_result r = info(path, true, true);
  EXPECT_EQ(r.status, 0);
  ASSERT_NE(r.out.find("],\"objects\":["), std::string::npos);
  const std::string objs = r.out.substr(r.out.find("\"objects\""));
  std::vector<double> nums, starts, endobjs, streams;
  for (const auto& o : d.objects) {
    nums.push_back(o.num);
    starts.push_back(o.obj_start);
    endobjs.push_back(o.endobj_pos);
    streams.push_back(o.has_stream);
  }
  EXPECT_EQ(values(objs, "num"), nums);
  EXPECT_EQ(values(objs, "obj_start"), starts);
  EXPECT_EQ(values(objs, "endobj_pos"), endobjs);
  EXPECT_EQ(flags(objs, "has_stream"), streams);
  EXPECT_EQ(flags(objs, "in_objstm").size(), d.objects.size());
  for (const char* key : {"dict_start", "stream_pos", "data_start", "data_end", "text_len"})
    EXPECT_EQ(values(objs, key).size(), d.objects.size()) << key;
  EXPECT_EQ(r.out.substr(r.out.size() - 4), "}]}\n");
}

TEST(Info, PlainSummary) {
  const std::string path = sample();
  const info_result r = info(path, false, false);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  for (const std::string line :
       {"trailer /Root:     1\n", "encrypted:         no\n", "catalog:           1\n",
        "max object number: 4\n", "objects:           4 (0 from object streams)\n",
        "pages:             2\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
  EXPECT_NE(r.out.find("                180         none  0 0 595.276"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("                180          450  0.1 0.2 100.2"), std::string::npos)
      << r.out;
}

TEST(Info, FilesThatDoNotLoad) {
  const std::string missing = (qmtest::tmp_dir() / "no-such.pdf").string();
  const std::string text = qmtest::write_file("words.pdf", "just words");
  const struct {
    std::string path;
    std::string err;
  } cases[] = {
      {missing, "quiremark: cannot open " + missing + ": No such file or directory\n"},
      {qmtest::tmp_dir().string(),
       "quiremark: cannot open " + qmtest::tmp_dir().string() + ": Is a directory\n"},
      {text, "quiremark: no PDF objects found \xE2\x80\x94 not a PDF: " + text + "\n"},
  };
  for (const auto& c : cases) {
    for (bool json : {false, true}) {
      const info_result r = info(c.path, json, json);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, c.err);
    }
  }
}

}  // namespace
