// Stream decoding: raw streams, Flate with its capacity retries, and whole filter chains.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "import/decode.h"
#include "support/filterenc.h"
#include "support/importdoc.h"
#include "support/pdfgen.h"

using namespace qm;
using qmtest::docbuilder;

namespace {

struct result {
  bool ok = false;
  std::string bytes;
  bool in_doc = false;  // the bytes point into the document
};

// Decodes stream 5, whose dictionary holds `dict` (between << and >>) and whose data is `data`.
result decode_one(std::string_view dict, std::string_view data) {
  qm::doc d = docbuilder().stream(5, dict, data).build();
  buf lent;
  std::string_view out;
  result r;
  r.ok = decoded_stream(d.data.get(), d.len, qmtest::rec(d, 5), lent, &out);
  if (r.ok) {
    r.bytes = std::string(out);
    r.in_doc = out.data() >= d.data.get() && out.data() < d.data.get() + d.len;
  }
  return r;
}

std::string text_sample(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  for (size_t i = 0; i < n; ++i) s += "0123 qQgcmre\n"[rng() % 13];
  return s;
}

std::string zlib(std::string_view s) {
  return qmtest::zlib_compress(s);
}

}  // namespace

TEST(DecodedStream, UnfilteredIsNotCopied) {
  qm::doc d = docbuilder().lstream(5, "0 g\n1 0 0 1 0 0 cm\n").build();
  const obj_rec& o = qmtest::rec(d, 5);
  buf lent;
  std::string_view out;
  ASSERT_TRUE(decoded_stream(d.data.get(), d.len, o, lent, &out));
  EXPECT_EQ(out.data(), d.data.get() + o.data_start);
  EXPECT_EQ(out, "0 g\n1 0 0 1 0 0 cm\n");
  EXPECT_EQ(lent.len, 0u);
}

TEST(DecodedStream, FlateAppendsToTheLentBuffer) {
  const std::string s = text_sample(3000, 1);
  qm::doc d = docbuilder().lstream(5, zlib(s), "/Filter /FlateDecode").build();
  buf lent;
  buf_str(lent, "kept");
  std::string_view out;
  ASSERT_TRUE(decoded_stream(d.data.get(), d.len, qmtest::rec(d, 5), lent, &out));
  EXPECT_EQ(out, s);
  EXPECT_EQ(out.data(), lent.data + 4);
  EXPECT_EQ(lent.view().substr(0, 4), "kept");
  EXPECT_EQ(lent.len, 4 + s.size());
}

TEST(DecodedStream, FlateThatOutgrowsTwentyTimesIsRetried) {
  // 10 000 bytes from about 200 compressed bytes do not fit in 20 x 200 + 4096; a larger
  // block is tried until they do. Highly repetitive data needs several rounds.
  for (size_t n : {10000, 100000, 3000000}) {
    std::string s(n, 'q');
    for (size_t i = 0; i < n; i += 97) s[i] = 'Q';
    std::string z = zlib(s);
    ASSERT_LT(z.size() * 20 + 4096, n) << "the sample must not fit the first attempt";
    result r = decode_one(" /Length " + std::to_string(z.size()) + " /Filter /FlateDecode ", z);
    ASSERT_TRUE(r.ok) << n;
    EXPECT_EQ(r.bytes, s) << n;
  }
}

TEST(DecodedStream, InflateIntoAppends) {
  std::string s = text_sample(50000, 2);
  std::string z = zlib(s);
  buf b;
  ASSERT_TRUE(inflate_into(z, b));
  EXPECT_EQ(b.view(), s);
  buf_str(b, "|");
  ASSERT_TRUE(inflate_into(z, b));  // appends
  EXPECT_EQ(b.view(), s + "|" + s);
}

TEST(DecodedStream, FlateDataErrorKeepsTheDecodedStart) {
  // A stored block holding "abc", then a block of the invalid type 3.
  const std::string z(
      "\x78\x01\x00\x03\x00\xFC\xFF"
      "abc\x07",
      11);
  result r = decode_one(" /Length 11 /Filter /FlateDecode ", z);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, "abc");
}

TEST(DecodedStream, FailuresLeaveTheLentBufferAsItWas) {
  const std::string s = text_sample(5000, 3);
  std::string z = zlib(s);
  std::string cut = z.substr(0, z.size() / 2);  // the input ends early
  struct c {
    const char* name;
    std::string dict, data;
  } cases[] = {
      {"truncated zlib", "/Filter /FlateDecode", cut},
      {"not zlib", "/Filter /FlateDecode", "plain text"},
      {"bad hex in a chain", "/Filter [/AHx /Fl]", "zz>"},
      {"predictor tag 9 after Flate",
       "/Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 2 >>",
       zlib(std::string("\x09"
                        "ab",
                        3))},
  };
  for (const c& x : cases) {
    SCOPED_TRACE(x.name);
    qm::doc d = docbuilder().lstream(5, x.data, x.dict).build();
    buf lent;
    buf_str(lent, "before");
    std::string_view out;
    EXPECT_FALSE(decoded_stream(d.data.get(), d.len, qmtest::rec(d, 5), lent, &out));
    EXPECT_EQ(lent.view(), "before");
  }
}

TEST(DecodedStream, NoStreamOrEmptyStream) {
  qm::doc d = docbuilder()
                  .obj(4, "<< /Type /Font >>")
                  .stream(5, " /Length 0 ", "")
                  .entry(6, "<< /A 1 >>")
                  .build();
  buf lent;
  std::string_view out;
  for (int n : {4, 5, 6}) {
    EXPECT_FALSE(decoded_stream(d.data.get(), d.len, qmtest::rec(d, n), lent, &out)) << n;
  }
  // A record whose data ends where it starts, and one whose extent lies outside the document.
  obj_rec o = qmtest::rec(d, 5);
  o.data_end = o.data_start;
  EXPECT_FALSE(decoded_stream(d.data.get(), d.len, o, lent, &out));
  o.data_end = d.len + 10;
  EXPECT_FALSE(decoded_stream(d.data.get(), d.len, o, lent, &out));
}

TEST(DecodedStream, FilterChains) {
  const std::string s = text_sample(4000, 4);
  // Five-byte rows for the predictors: each row's tag is row % 5.
  auto png5 = [](const std::string& x) {
    return qmtest::png_encode(x, 5, 1, [](size_t row) { return int(row % 5); });
  };
  auto png3x3 = [](const std::string& x) {
    return qmtest::png_encode(x, 9, 3, [](size_t row) { return int(4 - row % 5); });
  };
  struct c {
    const char* name;
    std::string dict, data;
    bool ok;
    std::string out;
    bool in_doc = false;
  } cases[] = {
      {"no filter", "", s, true, s, true},
      {"empty array", "/Filter []", s, true, s, true},
      {"null filter", "/Filter null", s, true, s, true},
      {"/Filter only in a nested dictionary", "/X << /Filter /DCTDecode >>", s, true, s, true},
      {"FlateDecode not as the /Filter", "/Subtype /FlateDecode", s, true, s, true},
      {"FlateDecode", "/Filter /FlateDecode", zlib(s), true, s},
      {"Fl", "/Filter /Fl", zlib(s), true, s},
      {"escaped name", "/Filter /Flate#44ecode", zlib(s), true, s},
      {"one-element array", "/Filter [/FlateDecode]", zlib(s), true, s},
      {"AHx", "/Filter /ASCIIHexDecode", qmtest::ahx_encode(s), true, s},
      {"A85", "/Filter /A85", qmtest::a85_encode(s), true, s},
      {"RL", "/Filter /RunLengthDecode", qmtest::rl_encode(s), true, s},
      {"LZW, early change by default", "/Filter /LZWDecode", qmtest::lzw_encode(s, 1), true, s},
      {"LZW, EarlyChange 0", "/Filter /LZW /DecodeParms << /EarlyChange 0 >>",
       qmtest::lzw_encode(s, 0), true, s},
      {"A85 then Flate", "/Filter [/ASCII85Decode /FlateDecode]", qmtest::a85_encode(zlib(s)), true,
       s},
      {"AHx then A85 then RL", "/Filter [/AHx /A85 /RL]",
       qmtest::ahx_encode(qmtest::a85_encode(qmtest::rl_encode(s))), true, s},
      {"comment between key and value", "/Filter % the chain\n[/AHx % hex\n/Fl]",
       qmtest::ahx_encode(zlib(s)), true, s},
      {"Flate with PNG predictor",
       "/Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 5 >>", zlib(png5(s)), true, s},
      {"PNG predictor, 3 colours",
       "/Filter /Fl /DecodeParms << /Predictor 15 /Colors 3 /Columns 3 >>", zlib(png3x3(s)), true,
       s},
      {"Flate with TIFF predictor",
       "/Filter /FlateDecode /DecodeParms << /Predictor 2 /Colors 3 /Columns 4 >>",
       zlib(qmtest::tiff_encode(s, 12, 3, 8)), true, s},
      {"LZW with PNG predictor", "/Filter /LZWDecode /DecodeParms << /Predictor 10 /Columns 5 >>",
       qmtest::lzw_encode(png5(s)), true, s},
      {"array of parameters paired with filters",
       "/Filter [/AHx /Fl] /DecodeParms [null << /Predictor 12 /Columns 5 >>]",
       qmtest::ahx_encode(zlib(png5(s))), true, s},
      {"short parameter array", "/Filter [/Fl /AHx] /DecodeParms [<< /Predictor 12 /Columns 5 >>]",
       zlib(png5(qmtest::ahx_encode(s))), true, s},
      {"one dictionary applies to each filter",
       "/Filter [/Fl /Fl] /DecodeParms << /Predictor 12 /Columns 5 >>", zlib(png5(zlib(png5(s)))),
       true, s},
      {"predictor ignored after other filters", "/Filter /AHx /DecodeParms << /Predictor 12 >>",
       qmtest::ahx_encode(s), true, s},
      {"DCTDecode is not applied and not passed raw", "/Filter /DCTDecode", s, false, ""},
      {"a chain with an unknown filter", "/Filter [/FlateDecode /DCTDecode]", zlib(s), false, ""},
      {"Crypt", "/Filter /Crypt", s, false, ""},
      {"indirect /Filter", "/Filter 9 0 R", zlib(s), false, ""},
      {"indirect /DecodeParms", "/Filter /Fl /DecodeParms 9 0 R", zlib(s), false, ""},
      {"indirect parameters in an array", "/Filter /Fl /DecodeParms [9 0 R]", zlib(s), false, ""},
      {"indirect parameter value", "/Filter /Fl /DecodeParms << /Predictor 12 /Columns 5 0 R >>",
       zlib(png5(s)), false, ""},
      {"unknown predictor", "/Filter /Fl /DecodeParms << /Predictor 7 >>", zlib(s), false, ""},
      {"bad BitsPerComponent", "/Filter /Fl /DecodeParms << /Predictor 12 /BitsPerComponent 3 >>",
       zlib(s), false, ""},
      {"filter array not closed", "/Filter [/Fl", zlib(s), false, ""},
      {"not a name in the array", "/Filter [/Fl 3]", zlib(s), false, ""},
  };
  for (const c& x : cases) {
    SCOPED_TRACE(x.name);
    std::string dict = " /Length " + std::to_string(x.data.size()) + " " + x.dict + " ";
    result r = decode_one(dict, x.data);
    ASSERT_EQ(r.ok, x.ok);
    if (x.ok) {
      EXPECT_EQ(r.bytes, x.out);
      EXPECT_EQ(r.in_doc, x.in_doc);
    }
  }
}

TEST(DecodedStream, FlateAndPngAgainstZlibFixture) {
  // An image-like fixture: 16 rows of 8 RGB pixels, each row with its own PNG filter, compressed
  // by zlib at every level; all decode to the same pixels.
  std::string px;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 8; ++x) {
      px += static_cast<char>(x * 30 + y);
      px += static_cast<char>(y * 15);
      px += static_cast<char>((x ^ y) * 17);
    }
  std::string pred = qmtest::png_encode(px, 24, 3, [](size_t row) { return int(row % 5); });
  for (int level : {0, 1, 6, 9}) {
    std::string z = qmtest::zlib_compress(pred, level);
    result r = decode_one(" /Length " + std::to_string(z.size()) +
                              " /Filter /FlateDecode /DecodeParms << /Predictor 14 /Colors 3 "
                              "/BitsPerComponent 8 /Columns 8 >> ",
                          z);
    ASSERT_TRUE(r.ok) << level;
    EXPECT_EQ(r.bytes, px) << level;
  }
}

TEST(ReadFilterChain, ParametersPerStage) {
  const std::string t =
      "<< /Filter [/LZW /AHx /Fl] /DecodeParms [<< /EarlyChange 0 /Predictor 2 /Colors 2 >> null "
      "<< /Predictor 13 /BitsPerComponent 16 /Columns 9 >>] >>";
  std::vector<filter_stage> chain;
  ASSERT_TRUE(read_filter_chain(t.data(), 0, static_cast<pos_t>(t.size()), &chain));
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(chain[0].kind, filter_kind::lzw);
  EXPECT_EQ(chain[0].parms.early_change, 0);
  EXPECT_EQ(chain[0].parms.predictor, 2);
  EXPECT_EQ(chain[0].parms.colors, 2);
  EXPECT_EQ(chain[1].kind, filter_kind::ahx);
  EXPECT_EQ(chain[1].parms.predictor, 1);
  EXPECT_EQ(chain[2].kind, filter_kind::flate);
  EXPECT_EQ(chain[2].parms.predictor, 13);
  EXPECT_EQ(chain[2].parms.bpc, 16);
  EXPECT_EQ(chain[2].parms.columns, 9);
  EXPECT_EQ(chain[2].parms.colors, 1);
  EXPECT_EQ(chain[2].parms.early_change, 1);
}
