// The non-Flate stream filters and the predictors, on tables of cases and against test encoders.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "import/filters.h"
#include "support/filterenc.h"

using namespace qm;

namespace {

using decoder = bool (*)(std::string_view, std::string&, size_t);

struct codec_case {
  const char* name;
  std::string in;
  bool ok;
  std::string out;  // expected when ok
};

void run_cases(decoder f, const std::vector<codec_case>& cases) {
  for (const codec_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "pre";  // decoders append
    bool ok = f(c.in, out, kStageMax);
    ASSERT_EQ(ok, c.ok);
    if (ok) {
      EXPECT_EQ(out, "pre" + c.out);
    }
  }
}

// Pseudo-random bytes with some structure, so that every filter has runs and repeats to find.
std::string sample(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    uint32_t r = rng() % 100;
    if (r < 60)
      s += "qQ gcm0 1."[rng() % 10];
    else if (r < 75 && !s.empty())
      s += s.back();
    else
      s += static_cast<char>(rng() % 256);
  }
  return s;
}

}  // namespace

TEST(FilterNames, FullNamesAbbreviationsAndEscapes) {
  struct c {
    const char* name;
    bool ok;
    filter_kind kind;
  } cases[] = {
      {"FlateDecode", true, filter_kind::flate},
      {"Fl", true, filter_kind::flate},
      {"LZWDecode", true, filter_kind::lzw},
      {"LZW", true, filter_kind::lzw},
      {"ASCIIHexDecode", true, filter_kind::ahx},
      {"AHx", true, filter_kind::ahx},
      {"ASCII85Decode", true, filter_kind::a85},
      {"A85", true, filter_kind::a85},
      {"RunLengthDecode", true, filter_kind::rl},
      {"RL", true, filter_kind::rl},
      {"Flate#44ecode", true, filter_kind::flate},  // #44 is 'D'
      {"#46#6c", true, filter_kind::flate},         // lower-case hex digits too
      {"A#38#35", true, filter_kind::a85},
      {"DCTDecode", false, filter_kind::flate},
      {"Crypt", false, filter_kind::flate},
      {"JBIG2Decode", false, filter_kind::flate},
      {"flatedecode", false, filter_kind::flate},  // names are case-sensitive
      {"FlateDecode2", false, filter_kind::flate},
      {"Fl#4", false, filter_kind::flate},  // an incomplete escape stands for itself
      {"", false, filter_kind::flate},
  };
  for (const c& x : cases) {
    SCOPED_TRACE(x.name);
    filter_kind k = filter_kind::rl;
    EXPECT_EQ(filter_by_name(x.name, &k), x.ok);
    if (x.ok) {
      EXPECT_EQ(k, x.kind);
    }
  }
}

TEST(AsciiHex, Cases) {
  run_cases(ahx_decode, {
                            {"plain", "48656C6C6F>", true, "Hello"},
                            {"lower case", "48656c6c6f>", true, "Hello"},
                            {"white space anywhere", " 4 8\n65\t6C\r6C\f6F\0>", true, "Hello"},
                            {"odd last digit takes a 0", "414>", true, "A@"},
                            {"stops at >", "41>42", true, "A"},
                            {"no > at all", "4142", true, "AB"},
                            {"empty", ">", true, ""},
                            {"bad byte", "4G>", false, ""},
                            {"a delimiter is no digit", "41(42)>", false, ""},
                        });
}

TEST(Ascii85, Cases) {
  run_cases(a85_decode,
            {
                {"full and partial groups", "87cURD_*#4DfTZ)+T~>", true, "Hello, World!"},
                {"leading <~ skipped", "<~87cURD_*#4DfTZ)+T~>", true, "Hello, World!"},
                {"white space before <~ and inside", " \n<~87cUR D_*#4\r\nDfTZ)+T~>", true,
                 "Hello, World!"},
                {"z for four zeros", "z@:E^~>", true, std::string("\0\0\0\0abc", 7)},
                {"partial group of 2", "@/~>", true, "a"},
                {"partial group of 3", "@:B~>", true, "ab"},
                {"partial group of 4", "@:E^~>", true, "abc"},
                {"one trailing digit gives nothing", "@:E_W@~>", true, "abcd"},
                {"largest group", "s8W-!~>", true, "\xff\xff\xff\xff"},
                {"group above 2^32-1", "s8W-\"~>", false, ""},
                {"partial group above 2^32-1", "uu~>", false, ""},
                {"end of data without ~>", "@:E_W", true, "abcd"},
                {"stops at ~>", "@:E_W~>@:E_W", true, "abcd"},
                {"z inside a group", "@:z~>", false, ""},
                {"byte above u", "@:E_v~>", false, ""},
                {"empty", "~>", true, ""},
            });
}

TEST(Ascii85, RoundTripsAgainstEncoder) {
  for (size_t n : {0, 1, 2, 3, 4, 5, 63, 64, 1000}) {
    std::string s = sample(n, 7 + static_cast<uint32_t>(n));
    if (n == 64) s.replace(8, 8, 8, '\0');  // two groups of zeros become 'z'
    std::string out;
    ASSERT_TRUE(a85_decode(qmtest::a85_encode(s), out)) << n;
    EXPECT_EQ(out, s) << n;
  }
}

TEST(RunLength, Cases) {
  run_cases(rl_decode, {
                           {"literal",
                            std::string("\x02"
                                        "abc\x80",
                                        5),
                            true, "abc"},
                           {"repeat",
                            std::string("\xFE"
                                        "x\x80",
                                        3),
                            true, "xxx"},
                           {"longest repeat",
                            std::string("\x81"
                                        "y\x80",
                                        3),
                            true, std::string(128, 'y')},
                           {"mixed",
                            std::string("\x00"
                                        "a\xFD"
                                        "b\x01"
                                        "cd\x80",
                                        8),
                            true, "abbbbcd"},
                           {"stops at 128",
                            std::string("\x00"
                                        "a\x80\x00"
                                        "b",
                                        5),
                            true, "a"},
                           {"no end marker",
                            std::string("\x00"
                                        "a",
                                        2),
                            true, "a"},
                           {"literal cut short",
                            std::string("\x05"
                                        "ab",
                                        3),
                            true, "ab"},
                           {"repeat without its byte",
                            std::string("\x00"
                                        "a\xFE",
                                        3),
                            true, "a"},
                           {"empty", "", true, ""},
                       });
}

TEST(RunLength, RoundTripsAgainstEncoder) {
  std::string s = sample(5000, 3) + std::string(300, 'r');
  std::string out;
  ASSERT_TRUE(rl_decode(qmtest::rl_encode(s), out));
  EXPECT_EQ(out, s);
}

TEST(Lzw, ExampleOfIso32000) {
  // The worked example of the LZWDecode filter: "-----A---B" as codes 256 45 258 258 65 259 66 257.
  const std::string enc("\x80\x0B\x60\x50\x22\x0C\x0C\x85\x01", 9);
  std::string out;
  ASSERT_TRUE(lzw_decode(enc, 1, out));
  EXPECT_EQ(out, "-----A---B");
  EXPECT_EQ(qmtest::lzw_encode("-----A---B"), enc);  // the test encoder agrees
}

TEST(Lzw, RoundTripsThroughAllCodeWidths) {
  // Long enough to fill the table several times: 9- to 12-bit codes, clears, both width rules.
  struct c {
    size_t n;
    int early;
    bool clear_when_full;
  } cases[] = {{0, 1, true},      {1, 1, true},      {2, 0, true},     {600, 1, true},
               {600, 0, true},    {60000, 1, true},  {60000, 0, true}, {60000, 1, false},
               {60000, 0, false}, {200000, 1, false}};
  for (const c& x : cases) {
    SCOPED_TRACE(testing::Message()
                 << x.n << " early " << x.early << " clear " << x.clear_when_full);
    std::string s = sample(x.n, static_cast<uint32_t>(x.n) + x.early);
    std::string out;
    ASSERT_TRUE(lzw_decode(qmtest::lzw_encode(s, x.early, x.clear_when_full), x.early, out));
    EXPECT_EQ(out, s);
  }
}

TEST(Lzw, WrongEarlyChangeGarblesLongData) {
  // The width rule matters: data encoded with early change 1 does not decode with 0.
  std::string s = sample(20000, 11);
  std::string out;
  bool ok = lzw_decode(qmtest::lzw_encode(s, 1), 0, out);
  EXPECT_FALSE(ok && out == s);
}

TEST(Lzw, Corners) {
  struct c {
    const char* name;
    std::vector<std::pair<int, int>> codes;  // (code, width)
    bool ok;
    std::string out;
  } cases[] = {
      {"no clear at the start", {{65, 9}, {66, 9}, {257, 9}}, true, "AB"},
      {"KwKwK: the code being defined", {{256, 9}, {65, 9}, {258, 9}, {257, 9}}, true, "AAA"},
      {"code beyond the table", {{256, 9}, {65, 9}, {259, 9}}, false, ""},
      {"first code after clear not a literal", {{256, 9}, {258, 9}}, false, ""},
      {"no EOD: ends with the bits", {{256, 9}, {65, 9}, {66, 9}}, true, "AB"},
      {"clear resets the table",
       {{256, 9}, {65, 9}, {66, 9}, {67, 9}, {256, 9}, {65, 9}, {259, 9}},
       false,
       ""},
      {"entry defined before the clear",
       {{256, 9}, {65, 9}, {66, 9}, {67, 9}, {259, 9}},
       true,
       "ABCBC"},
      {"data after EOD ignored", {{65, 9}, {257, 9}, {66, 9}}, true, "A"},
  };
  for (const c& x : cases) {
    SCOPED_TRACE(x.name);
    std::string bytes;
    uint32_t acc = 0;
    int n = 0;
    for (auto [code, w] : x.codes) {
      acc = acc << w | static_cast<uint32_t>(code);
      n += w;
      while (n >= 8) {
        bytes += static_cast<char>(acc >> (n - 8));
        n -= 8;
      }
      acc &= (1u << n) - 1;
    }
    if (n > 0) bytes += static_cast<char>(acc << (8 - n));
    std::string out;
    ASSERT_EQ(lzw_decode(bytes, 1, out), x.ok);
    if (x.ok) {
      EXPECT_EQ(out, x.out);
    }
  }
}

TEST(Decoders, StopAtTheStageLimit) {
  // Every decoder refuses to produce more than its limit; exactly the limit is fine.
  std::string out;
  EXPECT_TRUE(ahx_decode("414243>", out, 3));
  out.clear();
  EXPECT_FALSE(ahx_decode("41424344>", out, 3));
  out.clear();
  EXPECT_TRUE(a85_decode("@:E_W~>", out, 4));
  out.clear();
  EXPECT_FALSE(a85_decode("z~>", out, 3));
  out.clear();
  EXPECT_FALSE(rl_decode(std::string("\x81x", 2), out, 127));
  out.clear();
  EXPECT_TRUE(rl_decode(std::string("\x81x", 2), out, 128));
  out.clear();
  std::string big(5000, 'a');
  EXPECT_FALSE(lzw_decode(qmtest::lzw_encode(big), 1, out, 4999));
  out.clear();
  EXPECT_TRUE(lzw_decode(qmtest::lzw_encode(big), 1, out, 5000));
  out.clear();
  predictor_parms p;
  p.predictor = 12;
  p.columns = 4;
  EXPECT_FALSE(predictor_decode(std::string(10, '\0'), p, out, 7));
  out.clear();
  EXPECT_TRUE(predictor_decode(std::string(10, '\0'), p, out, 8));
}

TEST(Predictors, Validity) {
  struct c {
    int32_t pred, colors, bpc, columns;
    bool ok;
  } cases[] = {
      {1, 1, 8, 1, true},    {2, 3, 8, 100, true},
      {10, 1, 8, 1, true},   {15, 4, 16, 7, true},
      {12, 1, 1, 9, true},   {3, 1, 8, 1, false},
      {9, 1, 8, 1, false},   {16, 1, 8, 1, false},
      {12, 0, 8, 1, false},  {12, 1, 3, 1, false},
      {12, 1, 32, 1, false}, {12, 1, 8, 0, false},
      {12, 1, 8, -4, false}, {12, 2147483647, 16, 2147483647, false},
  };
  for (const c& x : cases) {
    predictor_parms p;
    p.predictor = x.pred;
    p.colors = x.colors;
    p.bpc = x.bpc;
    p.columns = x.columns;
    EXPECT_EQ(predictor_valid(p), x.ok)
        << x.pred << " " << x.colors << " " << x.bpc << " " << x.columns;
  }
}

TEST(Predictors, PngRoundTripsEveryTag) {
  struct c {
    int colors, bpc, columns;
    size_t n;
  } cases[] = {{1, 8, 1, 50},   {3, 8, 10, 300}, {4, 8, 7, 281}, {1, 16, 5, 103},
               {3, 16, 4, 240}, {1, 1, 20, 90},  {2, 4, 3, 31},  {1, 8, 16, 16 * 9 + 5}};
  for (const c& x : cases) {
    SCOPED_TRACE(testing::Message() << x.colors << "x" << x.bpc << " cols " << x.columns);
    predictor_parms p;
    p.predictor = 12;  // any of 10 to 15: each row carries its own tag
    p.colors = x.colors;
    p.bpc = x.bpc;
    p.columns = x.columns;
    const size_t rowlen = (static_cast<size_t>(x.colors) * x.bpc * x.columns + 7) / 8;
    const size_t bpp = (static_cast<size_t>(x.colors) * x.bpc + 7) / 8;
    std::string s = sample(x.n, static_cast<uint32_t>(x.n));
    std::string enc = qmtest::png_encode(s, rowlen, bpp, [](size_t row) { return int(row % 5); });
    std::string out;
    ASSERT_TRUE(predictor_decode(enc, p, out));
    EXPECT_EQ(out, s);  // a short last row comes back as short as it went in
  }
}

TEST(Predictors, PngTagAboveFourFails) {
  predictor_parms p;
  p.predictor = 10;
  p.columns = 2;
  std::string out;
  EXPECT_TRUE(predictor_decode(std::string("\x00"
                                           "ab\x04"
                                           "cd",
                                           6),
                               p, out));
  out.clear();
  EXPECT_FALSE(predictor_decode(std::string("\x00"
                                            "ab\x05"
                                            "cd",
                                            6),
                                p, out));
  out.clear();
  EXPECT_FALSE(predictor_decode(std::string("\x00"
                                            "ab\x05",
                                            4),
                                p, out));  // even a bare tag
}

TEST(Predictors, PngShortRows) {
  // Four bytes per row; row 1 uses Sub, row 2 Up.
  predictor_parms p;
  p.predictor = 11;
  p.columns = 4;
  struct c {
    std::string in, out;
  } cases[] = {
      {std::string("\x01\x01\x01\x01\x01\x02\x01\x01", 8),
       std::string("\x01\x02\x03\x04\x02\x03", 6)},                                      // short
      {std::string("\x01\x01\x01\x01\x01\x02", 6), std::string("\x01\x02\x03\x04", 4)},  // bare tag
      {std::string("\x00", 1), ""},
      {"", ""},
  };
  for (const c& x : cases) {
    std::string out;
    ASSERT_TRUE(predictor_decode(x.in, p, out));
    EXPECT_EQ(out, x.out);
  }
}

TEST(Predictors, TiffRoundTrips) {
  struct c {
    int colors, bpc, columns;
    size_t n;
  } cases[] = {{1, 8, 10, 100}, {3, 8, 5, 47}, {1, 16, 6, 60}, {2, 16, 3, 37}, {4, 8, 1, 12}};
  for (const c& x : cases) {
    SCOPED_TRACE(testing::Message() << x.colors << "x" << x.bpc << " cols " << x.columns);
    predictor_parms p;
    p.predictor = 2;
    p.colors = x.colors;
    p.bpc = x.bpc;
    p.columns = x.columns;
    const size_t rowlen = static_cast<size_t>(x.colors) * (x.bpc / 8) * x.columns;
    std::string s = sample(x.n, 99);
    std::string out;
    ASSERT_TRUE(predictor_decode(qmtest::tiff_encode(s, rowlen, x.colors, x.bpc), p, out));
    EXPECT_EQ(out, s);
  }
}

TEST(Predictors, TiffSubByteComponents) {
  // Four 2-bit samples per byte, one colour: each sample adds its left neighbour's value (mod 4);
  // a row of 6 samples leaves the last 2 bits of its second byte as padding, untouched.
  predictor_parms p;
  p.predictor = 2;
  p.bpc = 2;
  p.columns = 6;
  // Row 1: differences 1,1,1,1 | 1,1,pad=3 pad   -> samples 1,2,3,0 | 1,2 and padding 3
  // Row 2: differences 3,0,0,0 | 0,0,0,0         -> samples 3,3,3,3 | 3,3 and padding 0
  std::string in = {'\x55', '\x53', '\xC0', '\x00'};
  std::string out;
  ASSERT_TRUE(predictor_decode(in, p, out));
  EXPECT_EQ(out, std::string({'\x6C', '\x63', '\xFF', '\xF0'}));
  // A 1-bit row of 9 samples: 1 then eight zeros, i.e. all ones after the first.
  p.bpc = 1;
  p.columns = 9;
  out.clear();
  ASSERT_TRUE(predictor_decode(std::string({'\x80', '\x00'}), p, out));
  EXPECT_EQ(out, std::string({'\xFF', '\x80'}));
}

TEST(Predictors, PredictorOneCopies) {
  predictor_parms p;
  std::string out = "x";
  ASSERT_TRUE(predictor_decode("abc", p, out));
  EXPECT_EQ(out, "xabc");
}
