// Tests of the text primitives: byte buffer, number text and lexical scanning.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "text/buf.h"
#include "text/msg.h"
#include "text/numfmt.h"
#include "text/scan.h"

namespace {

using qm::pos_t;

pos_t len_of(std::string_view s) {
  return static_cast<pos_t>(s.size());
}

// ---------------------------------------------------------------------------------------------
// Byte buffer

// Every observable invariant of a buffer that holds `want`.
void expect_holds(const qm::buf& b, std::string_view want) {
  ASSERT_NE(b.data, nullptr);
  ASSERT_EQ(b.len, want.size());
  EXPECT_LT(b.len, b.cap);
  EXPECT_EQ(b.data[b.len], 0);
  EXPECT_EQ(b.view(), want);
  // Capacity stays proportional to the content: at most twice what is needed, or the first block.
  EXPECT_LE(b.cap, std::max<size_t>(64, 2 * (b.len + 1)));
}

TEST(Buf, StartsWithoutStorage) {
  qm::buf b;
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.cap, 0u);
  EXPECT_EQ(b.view(), "");
}

TEST(Buf, StrAppendsAndTerminates) {
  qm::buf b;
  qm::buf_str(b, "ab");
  expect_holds(b, "ab");
  qm::buf_str(b, "");
  expect_holds(b, "ab");
  qm::buf_str(b, "cde");
  expect_holds(b, "abcde");
}

TEST(Buf, EmptyAppendGivesTerminatedStorage) {
  qm::buf b;
  qm::buf_append(b, nullptr, 0);
  expect_holds(b, "");
}

TEST(Buf, KeepsZeroBytes) {
  qm::buf b;
  const char bytes[] = {'a', 0, 'b', 0, 0, 'c'};
  qm::buf_append(b, bytes, sizeof bytes);
  expect_holds(b, std::string_view(bytes, sizeof bytes));
}

TEST(Buf, ReserveMakesRoomForBytesAndTerminator) {
  for (size_t n : {0u, 1u, 63u, 64u, 65u, 1000u, 1u << 20}) {
    qm::buf b;
    qm::buf_str(b, "xyz");
    qm::buf_reserve(b, n);
    ASSERT_NE(b.data, nullptr) << n;
    EXPECT_GE(b.cap, b.len + n + 1) << n;
    EXPECT_EQ(b.view(), "xyz") << n;
    EXPECT_LE(b.cap, std::max<size_t>(64, 2 * (b.len + n + 1))) << n;
  }
}

TEST(Buf, ReserveThatFitsKeepsTheBlock) {
  qm::buf b;
  qm::buf_reserve(b, 100);
  char* const block = b.data;
  const size_t cap = b.cap;
  qm::buf_append(b, std::string(cap - 1, 'q').data(), cap - 1);  // exactly fills, terminator too
  EXPECT_EQ(b.data, block);
  EXPECT_EQ(b.cap, cap);
  expect_holds(b, std::string(cap - 1, 'q'));
  qm::buf_str(b, "r");  // one more byte must grow
  EXPECT_GT(b.cap, cap);
  expect_holds(b, std::string(cap - 1, 'q') + "r");
}

TEST(Buf, ManyAppendsMatchAString) {
  std::mt19937 rng(7);
  qm::buf b;
  std::string want;
  for (int i = 0; i < 2000; ++i) {
    std::string piece(rng() % 300, '\0');
    for (char& c : piece) c = static_cast<char>(rng());
    qm::buf_append(b, piece.data(), piece.size());
    want += piece;
  }
  expect_holds(b, want);
}

TEST(Buf, CommitAddsBytesWrittenInPlace) {
  qm::buf b;
  qm::buf_str(b, "head:");
  qm::buf_reserve(b, 10);
  std::memcpy(b.data + b.len, "0123456789", 10);
  qm::buf_commit(b, 10);
  expect_holds(b, "head:0123456789");
  qm::buf_reserve(b, 4);
  qm::buf_commit(b, 0);
  expect_holds(b, "head:0123456789");
}

TEST(Buf, AppendFromItsOwnBytesSurvivesGrowth) {
  qm::buf b;
  qm::buf_str(b, "abcdefgh");
  std::string want = "abcdefgh";
  for (int i = 0; i < 12; ++i) {
    qm::buf_append(b, b.data, b.len);  // doubles the content, and so the block, each time
    want += want;
  }
  expect_holds(b, want);
}

TEST(Buf, MoveTransfersTheBlock) {
  qm::buf a;
  qm::buf_str(a, "moved");
  char* const block = a.data;
  qm::buf b(std::move(a));
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(a.len, 0u);
  EXPECT_EQ(a.cap, 0u);
  EXPECT_EQ(b.data, block);
  expect_holds(b, "moved");

  qm::buf c;
  qm::buf_str(c, "old text is freed");
  c = std::move(b);
  EXPECT_EQ(b.data, nullptr);
  expect_holds(c, "moved");
  qm::buf_str(b, "reusable");
  expect_holds(b, "reusable");
}

TEST(Buf, FreeEmptiesAndAllowsReuse) {
  qm::buf b;
  qm::buf_str(b, "text");
  qm::buf_free(b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.cap, 0u);
  qm::buf_str(b, "again");
  expect_holds(b, "again");
}

TEST(Buf, CopyBytesAtEveryPlaceWithinAPage) {
  // Destinations 0 to 70 and some thousands of bytes past the source, modulo a 4 KiB page (the
  // slow window of the processor's string copy, which copy_bytes runs backwards, and around it),
  // lengths below, at and above the first one it treats so, with and without a ragged end.
  std::vector<char> src(300000), dst(src.size() + 8192);
  std::mt19937 rng(7);
  for (char& c : src) c = static_cast<char>(rng());
  const size_t lengths[] = {0, 1, 127, 4095, 4096, 4097, 4096 + 128, 82820, 200001};
  std::vector<size_t> places;
  for (size_t p = 0; p <= 70; ++p) places.push_back(p);
  for (size_t p : {128, 2048, 4032, 4095}) places.push_back(p);
  for (size_t n : lengths) {
    for (size_t place : places) {
      SCOPED_TRACE(std::to_string(n) + " bytes, " + std::to_string(place) + " past");
      const char* from = src.data() + 5;
      const uintptr_t page_off = (reinterpret_cast<uintptr_t>(from) + place) & 4095;
      char* to = dst.data() + 4096 - (reinterpret_cast<uintptr_t>(dst.data()) & 4095) + page_off;
      std::fill(dst.begin(), dst.end(), '\x5a');
      qm::copy_bytes(to, from, n);
      ASSERT_EQ(std::memcmp(to, from, n), 0);
      // Nothing outside the destination is written.
      ASSERT_EQ(to[-1], '\x5a');
      ASSERT_EQ(to[n], '\x5a');
    }
  }
}

TEST(Buf, ImpossibleGrowthThrowsAndKeepsTheText) {
  qm::buf b;
  qm::buf_str(b, "kept");
  EXPECT_THROW(qm::buf_reserve(b, SIZE_MAX), std::bad_alloc);
  EXPECT_THROW(qm::buf_reserve(b, SIZE_MAX - b.len), std::bad_alloc);
  EXPECT_THROW(qm::buf_append(b, "x", SIZE_MAX - 2), std::bad_alloc);
  expect_holds(b, "kept");
}

// ---------------------------------------------------------------------------------------------
// Number text

struct num_case {
  double v;
  int cap;
  const char* want;
};

const num_case kNumCases[] = {
    {612, 64, "612"},
    {612.0, 64, "612"},
    {-0.0, 64, "0"},
    {0.0, 64, "0"},
    {0.5, 64, "0.5000"},
    {595.276, 64, "595.2760"},
    {-0.00001, 64, "-0.0000"},
    {-0.5, 64, "-0.5000"},
    {2147483647.0, 64, "2147483647"},
    {2147483648.0, 64, "2147483648.0000"},
    {-2147483648.0, 64, "-2147483648"},
    {-2147483649.0, 64, "-2147483649.0000"},
    {-2147483648.5, 64, "-2147483648.5000"},
    {2147483647.5, 64, "2147483647.5000"},
    {double(0.3f), 32, "0.3000"},
    {double(0.0f), 32, "0"},
    {double(1.0f), 32, "1"},
    {1e15, 64, "1000000000000000.0000"},
    {0.00005, 64, "0.0001"},  // just above the tie in binary
    {1.03125, 64, "1.0312"},  // exact tie: round half to even, as printf does
    {1.09375, 64, "1.0938"},  // exact tie the other way
    {2.5e-5, 64, "0.0000"},
    {-1e-9, 64, "-0.0000"},
    {841.8898, 64, "841.8898"},
    {-420.94488, 64, "-420.9449"},
    {1e20, 64, "100000000000000000000.0000"},
    // Cut to cap - 1 characters as a bounded snprintf cuts it.
    {1e40, 32, "1000000000000000030378602842700"},
    {1e60, 64, "999999999999999949387135297074018866963645011013410073083904.00"},
    {123.456, 4, "123"},
    {-7, 2, "-"},
    {std::numeric_limits<double>::infinity(), 64, "inf"},
    {-std::numeric_limits<double>::infinity(), 64, "-inf"},
    {std::numeric_limits<double>::quiet_NaN(), 64, "nan"},
};

TEST(NumFmt, Examples) {
  for (const auto& c : kNumCases) {
    const qm::numtext t = qm::fmt_num(c.v, c.cap);
    EXPECT_EQ(t.view(), c.want) << "value " << c.v << " cap " << c.cap;
    EXPECT_EQ(t.s[t.n], 0);
    EXPECT_EQ(std::strlen(t.s), static_cast<size_t>(t.n));
  }
}

TEST(NumFmt, DefaultCapIs64) {
  EXPECT_EQ(qm::fmt_num(1e60).view(), qm::fmt_num(1e60, 64).view());
  EXPECT_EQ(qm::fmt_num(1e60).n, 63);
}

// The integral branch against "%d" and the fixed branch against "%.4f" of the C library, in the
// classic locale, over values of every magnitude the writers meet.
TEST(NumFmt, MatchesTheCLibraryInTheClassicLocale) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  char want[512];
  for (int i = 0; i < 200000; ++i) {
    const double scale = std::ldexp(1.0, static_cast<int>(rng() % 80) - 20);
    double v = unit(rng) * scale;
    if (i % 4 == 0) v = std::trunc(v);                                // integral values
    if (i % 4 == 1) v = std::round(v * 10000.0) / 10000.0;            // values with few decimals
    if (i % 4 == 2) v = std::round(v * 64.0) / 64.0 + 0.5 / 65536.0;  // near ties
    const bool integral = v > -2147483649.0 && v < 2147483648.0 && v == std::trunc(v);
    if (integral) {
      std::snprintf(want, sizeof want, "%d", static_cast<int>(v));
    } else {
      std::snprintf(want, 64, "%.4f", v);
    }
    ASSERT_EQ(qm::fmt_num(v).view(), want) << "value " << v;
  }
}

struct int_case {
  int64_t v;
  const char* plain;
  const char* padded;
};

const int_case kIntCases[] = {
    {0, "0", "0000000000"},
    {7, "7", "0000000007"},
    {65535, "65535", "0000065535"},
    {1234567890, "1234567890", "1234567890"},
    {12345678901, "12345678901", "12345678901"},
    {-5, "-5", "-000000005"},
    {-123456789, "-123456789", "-123456789"},
    {INT64_MAX, "9223372036854775807", "9223372036854775807"},
    {INT64_MIN, "-9223372036854775808", "-9223372036854775808"},
};

TEST(NumFmt, Integers) {
  for (const auto& c : kIntCases) {
    EXPECT_EQ(qm::fmt_int(c.v).view(), c.plain);
    EXPECT_EQ(qm::fmt_int010(c.v).view(), c.padded);
    char want[64];
    std::snprintf(want, sizeof want, "%010lld", static_cast<long long>(c.v));
    EXPECT_EQ(qm::fmt_int010(c.v).view(), want);
  }
}

// Switches to a locale whose decimal point is a comma, if one is installed, and back afterwards.
class CommaLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR.utf8",
                             "nl_NL.UTF-8", "es_ES.UTF-8", "it_IT.UTF-8", "ru_RU.UTF-8"}) {
      if (std::setlocale(LC_ALL, name)) {
        char probe[16];
        std::snprintf(probe, sizeof probe, "%.1f", 0.5);
        if (std::strcmp(probe, "0,5") == 0) return;
      }
    }
    std::setlocale(LC_ALL, "C");
    GTEST_SKIP() << "no comma-decimal locale is installed (generate de_DE.UTF-8 to run this)";
  }
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(CommaLocale, NumbersKeepThePoint) {
  for (const auto& c : kNumCases) {
    EXPECT_EQ(qm::fmt_num(c.v, c.cap).view(), c.want) << "value " << c.v;
  }
  for (const auto& c : kIntCases) {
    EXPECT_EQ(qm::fmt_int(c.v).view(), c.plain);
    EXPECT_EQ(qm::fmt_int010(c.v).view(), c.padded);
  }
}

TEST_F(CommaLocale, ByteClassesAndScanningUnchanged) {
  for (int c = 0; c < 256; ++c) {
    const auto u = static_cast<unsigned char>(c);
    const bool ws = c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32;
    const bool cspace = c == 32 || (c >= 9 && c <= 13);
    const bool digit = c >= '0' && c <= '9';
    const bool alnum = digit || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    EXPECT_EQ(qm::is_ws(u), ws) << c;
    EXPECT_EQ(qm::is_cspace(u), cspace) << c;
    EXPECT_EQ(qm::is_digit(u), digit) << c;
    EXPECT_EQ(qm::is_alnum(u), alnum) << c;
  }
  // Letters with accents in a Latin-1 or UTF-8 text are not alphanumeric, so they do not join
  // a keyword's token.
  const std::string t = "\xe9obj \xc3\xa9xref\xe9";
  EXPECT_EQ(qm::find_kw(t.data(), len_of(t), 0, "obj"), 1);
  EXPECT_EQ(qm::find_kw(t.data(), len_of(t), 0, "xref"), 7);
  pos_t p = 0;
  const std::string n = " 12,5";
  EXPECT_EQ(qm::parse_int_at(n.data(), len_of(n), &p), 12);
  EXPECT_EQ(p, 3);
}

// ---------------------------------------------------------------------------------------------
// Byte classes

TEST(ByteClass, WhiteSpaceAndAlphanumerics) {
  for (int c = 0; c < 256; ++c) {
    const auto u = static_cast<unsigned char>(c);
    EXPECT_EQ(qm::is_ws(u), c == 0 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32) << c;
    EXPECT_EQ(qm::is_cspace(u), c == 9 || c == 10 || c == 11 || c == 12 || c == 13 || c == 32) << c;
    if (c >= 128) {
      EXPECT_FALSE(qm::is_alnum(u)) << c;
    }
    EXPECT_EQ(qm::is_name_cont(u), qm::is_alnum(u) || c == '+' || c == '-' || c == '_') << c;
    EXPECT_EQ(qm::is_delim(u), std::strchr("()<>[]{}/%", c) != nullptr && c != 0) << c;
  }
  EXPECT_TRUE(qm::is_alnum('z') && qm::is_alnum('A') && qm::is_alnum('9'));
  EXPECT_FALSE(qm::is_alnum('@') || qm::is_alnum('[') || qm::is_alnum('`') || qm::is_alnum('{'));
}

// ---------------------------------------------------------------------------------------------
// Scanning

TEST(SkipWs, StopsAtTheFirstNonWhiteByte) {
  const char t[] = {0, 9, 10, 12, 13, 32, 'x'};
  EXPECT_EQ(qm::skip_ws(t, 0, 7), 6);
  EXPECT_EQ(qm::skip_ws(t, 0, 6), 6);  // the run reaches end
  EXPECT_EQ(qm::skip_ws(t, 3, 5), 5);
  EXPECT_EQ(qm::skip_ws(t, 6, 7), 6);  // already on a non-white byte
  EXPECT_EQ(qm::skip_ws(t, 7, 7), 7);  // at end
  EXPECT_EQ(qm::skip_ws(t, 9, 7), 9);  // past end: unchanged, nothing read
  const char vt[] = {11, ' '};
  EXPECT_EQ(qm::skip_ws(vt, 0, 2), 0);  // VT is not PDF white space
}

struct kw_case {
  std::string text;
  pos_t start;
  pos_t end;  // -1: the text's length
  const char* kw;
  pos_t want;
};

TEST(FindKw, Table) {
  const kw_case cases[] = {
      {"xstartxref", 0, -1, "startxref", -1},
      {"%%EOF\nstartxref\n123", 0, -1, "startxref", 6},
      {"abcobj", 3, -1, "obj", -1},  // the byte before start still counts
      {"abc obj", 3, -1, "obj", 4},
      {"1 0 obj<<", 0, -1, "obj", 4},
      {"endobj%", 0, -1, "endobj", 0},
      {"xref2 xref", 0, -1, "xref", 6},
      {"Xtrailer trailer", 0, -1, "trailer", 9},
      {"obj", 0, -1, "obj", 0},
      {"ob", 0, -1, "obj", -1},
      {"foo obj", 0, 6, "obj", -1},   // would end past end although its first bytes are there
      {"foo objx", 0, 7, "obj", 4},   // ends exactly at end: the byte at end is not looked at
      {"obj obj", -5, -1, "obj", 0},  // a negative start counts as 0
      {"obj obj", 1, -1, "obj", 4},
      {"stream\r\nendstream", 0, -1, "endstream", 8},
      {"streamendstream", 0, -1, "stream", -1},    // joined on both sides
      {"xstream endstream", 0, -1, "stream", -1},  // 'd' precedes the second occurrence
      {"_obj.", 0, -1, "obj", 1},
      {"\xe9obj\xff", 0, -1, "obj", 1},
      {"obj", 0, -1, "", -1},
      {"", 0, -1, "obj", -1},
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::find_kw(c.text.data(), end, c.start, c.kw), c.want)
        << "'" << c.text << "' kw " << c.kw << " start " << c.start;
  }
}

TEST(KwAt, Table) {
  const kw_case cases[] = {
      {"1 0 obj<<", 4, -1, "obj", 1},    {"1 0 object", 4, -1, "obj", 0},
      {"1 0 obj", 4, -1, "obj", 1},  // ends exactly at end
      {"1 0 objx", 4, 7, "obj", 1},  // the byte at end is not examined
      {"1 0 obj", 4, 6, "obj", 0},   // would cross end
      {"0obj", 1, -1, "obj", 0},     // alphanumeric before
      {"%obj", 1, -1, "obj", 1},         {"obj", 0, -1, "obj", 1},  // position 0 has no predecessor
      {"obj", -1, -1, "obj", 0},         {"obk", 0, -1, "obj", 0},
      {"endobj%", 0, -1, "endobj", 1},   {"xref2", 0, -1, "xref", 0},
      {"Xtrailer", 1, -1, "trailer", 0}, {"obj", 0, -1, "", 0},
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::kw_at(c.text.data(), c.start, end, c.kw), c.want)
        << "'" << c.text << "' kw " << c.kw << " at " << c.start;
  }
}

struct name_case {
  std::string text;
  pos_t start;
  pos_t len;  // -1: the text's length
  pos_t end;  // -1: the text's length
  const char* name;
  pos_t want;
};

TEST(FindName, Table) {
  const name_case cases[] = {
      {"<< /Length1 10 /Length 5 >>", 0, -1, -1, "Length", 15},
      {"/Type/Page", 0, -1, -1, "Type", 0},
      {"/Nums [] /N 3", 0, -1, -1, "N", 9},
      {"<< /Resources", 0, -1, -1, "Resources", 3},
      {"/Type_x /Type", 0, -1, -1, "Type", 8},
      {"/Type+ /Type- /Type.x", 0, -1, -1, "Type", 14},
      {"/Type#20", 0, -1, -1, "Type", 0},
      {"/Type\xe9", 0, -1, -1, "Type", 0},                // bytes above 127 end a name key
      {"<< /A << /Type /X >> >>", 0, -1, -1, "Type", 9},  // flat: nesting is not looked at
      {"(/Type)", 0, -1, -1, "Type", 1},                  // nor are strings
      {"/Type /Type", 1, -1, -1, "Type", 6},              // from the match plus one
      {"/Typ", 0, -1, -1, "Type", -1},
      {"/TypeX", 0, -1, 5, "Type", 0},   // span ends right after the key
      {"/TypeX", 0, 5, -1, "Type", 0},   // so does the text length
      {"/TypeX", 0, -1, 4, "Type", -1},  // key crosses the span's end
      {"/TypeX", 0, 4, 99, "Type", -1},  // the smaller bound wins
      {"Type", 0, -1, -1, "Type", -1},   // no slash
      {"//Type", 0, -1, -1, "Type", 1},
  };
  for (const auto& c : cases) {
    const pos_t len = c.len < 0 ? len_of(c.text) : c.len;
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::find_name(c.text.data(), len, c.start, end, c.name), c.want)
        << "'" << c.text << "' name " << c.name << " start " << c.start;
  }
}

TEST(FindNameTop, Table) {
  const name_case cases[] = {
      {"<< /A << /Type /X >> /Type /Page >>", 0, -1, -1, "Type", 21},
      {"<< /A (x/Type\\)) /Type /Page >>", 0, -1, -1, "Type", 17},
      {"<< % /Type\n/Type /Page >>", 0, -1, -1, "Type", 11},
      {"<< % /Type\r/Type /Page >>", 0, -1, -1, "Type", 11},
      {"<< /K [ /Type ] >>", 0, -1, -1, "Type", 8},  // arrays are not tracked
      {"/Type /Page", 0, -1, -1, "Type", 0},         // depth 0 counts
      {"<</Type/Page>>", 0, -1, -1, "Type", 2},
      {"<< /A <2F54797065> /Type /X >>", 0, -1, -1, "Type", 19},  // hex string skipped
      {"<< /A <> /Type /X >>", 0, -1, -1, "Type", 9},
      {"<< /A (a(b)c /Type) /Type >>", 0, -1, -1, "Type", 20},  // nested parentheses
      {"<< /A (\\(/Type) /Type >>", 0, -1, -1, "Type", 16},
      {"<< /A << >> >> /Type", 0, -1, -1, "Type", 15},  // back to depth 0
      {">> >> << /Type", 0, -1, -1, "Type", 9},         // depth never below 0
      {"<< /A > /Type >>", 0, -1, -1, "Type", 8},       // a single '>' is ordinary
      {"<< /A [1 2] /Type_x /Type >>", 0, -1, -1, "Type", 20},
      {"<< /A << /B << /Type >> >> >>", 0, -1, -1, "Type", -1},
      {"<< % /Type", 0, -1, -1, "Type", -1},         // comment runs to the end
      {"<< /A (/Type", 0, -1, -1, "Type", -1},       // string does not close
      {"<< /A (", 0, -1, -1, "Type", -1},            // '(' is the last byte
      {"<< /A (x\\", 0, -1, -1, "Type", -1},         // backslash is the last byte
      {"<< /A <2F54", 0, -1, -1, "Type", -1},        // hex string does not close
      {"<< /A <", 0, -1, -1, "Type", -1},            // '<' is the last byte
      {"<< /A >", 0, -1, -1, "Type", -1},            // '>' is the last byte
      {"<< /Type /Page >>", 4, -1, -1, "Type", -1},  // start past the key
      {"<< /Type /Page >>", 3, -1, -1, "Type", 3},
      {"<< /Type /Page >>", 0, 8, -1, "Type", 3},  // ends exactly at the text length
      {"<< /Type /Page >>", 0, -1, 6, "Type", -1},
      {"<< /Types /Type#20 >>", 0, -1, -1, "Type", 10},
  };
  for (const auto& c : cases) {
    const pos_t len = c.len < 0 ? len_of(c.text) : c.len;
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::find_name_top(c.text.data(), len, c.start, end, c.name), c.want)
        << "'" << c.text << "' name " << c.name << " start " << c.start;
  }
}

struct int_scan_case {
  std::string text;
  pos_t pos;
  pos_t end;  // -1: the text's length
  int32_t want;
  pos_t want_pos;
};

TEST(ParseIntAt, Table) {
  const int_scan_case cases[] = {
      {"  -42 0 R", 0, -1, -42, 5},
      {"+5", 0, -1, -1, 0},
      {"abc", 0, -1, -1, 0},
      {"4294967297", 0, -1, 1, 10},  // wraps modulo 2^32
      {"2147483648", 0, -1, INT32_MIN, 10},
      {"-2147483648", 0, -1, INT32_MIN, 11},
      {"12.5", 0, -1, 12, 2},
      {"7 0 R", 0, -1, 7, 1},
      {"7 0 R", 1, -1, 0, 3},
      {"007", 0, -1, 7, 3},
      {std::string("\0\t\n\f\r 9", 7), 0, -1, 9, 7},
      {"\v9", 0, -1, -1, 0},  // VT is not white space
      {"123456", 0, 3, 123, 3},
      {"   ", 0, -1, -1, 0},
      {"-", 0, -1, -1, 0},
      {"- 5", 0, -1, -1, 0},
      {"--5", 0, -1, -1, 0},
      {"5", 1, -1, -1, 1},   // at end
      {"5", 3, -1, -1, 3},   // past end
      {"-1", 0, -1, -1, 2},  // a real -1, indistinguishable from a failure by value
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    pos_t p = c.pos;
    EXPECT_EQ(qm::parse_int_at(c.text.data(), end, &p), c.want) << "'" << c.text << "'";
    EXPECT_EQ(p, c.want_pos) << "'" << c.text << "'";
  }
}

TEST(ReadIntAdv, Table) {
  const int_scan_case cases[] = {
      {" 12 34", 0, -1, 12, 3}, {" 12 34", 3, -1, 34, 6},
      {"x5", 0, -1, -1, 1},     {"R", 0, -1, -1, 0},
      {"  R", 0, -1, -1, 2},    {"   ", 0, -1, -1, 3},
      {"+7 ", 0, -1, 7, 2},     {"-7 ", 0, -1, -7, 2},
      {"-", 0, -1, -1, 1},      {" +", 0, -1, -1, 2},
      {"-x", 0, -1, -1, 2},     {"+R", 0, -1, -1, 1},
      {"99", 0, -1, 99, 2},     {"4294967297 ", 0, -1, 1, 10},
      {"12", 2, -1, -1, 2},  // at end: no move
      {"12", 5, -1, -1, 5},  // past end: no move
      {"1234", 0, 2, 12, 2},
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    pos_t p = c.pos;
    EXPECT_EQ(qm::read_int_adv(c.text.data(), end, &p), c.want) << "'" << c.text << "'";
    EXPECT_EQ(p, c.want_pos) << "'" << c.text << "'";
  }
}

TEST(ReadIntAdv, ReadsObjectStreamHeaderPairs) {
  const std::string t = "10 0 11 25 12 57\n<< >>";
  const pos_t end = 16;
  pos_t p = 0;
  std::vector<int32_t> got;
  for (int i = 0; i < 6; ++i) got.push_back(qm::read_int_adv(t.data(), end, &p));
  EXPECT_EQ(got, (std::vector<int32_t>{10, 0, 11, 25, 12, 57}));
  EXPECT_EQ(p, end);
  EXPECT_EQ(qm::read_int_adv(t.data(), end, &p), -1);
  EXPECT_EQ(p, end);
}

TEST(ByteClass, RegularIsNeitherWhiteSpaceNorDelimiter) {
  for (int c = 0; c < 256; ++c) {
    const auto b = static_cast<unsigned char>(c);
    EXPECT_EQ(qm::is_regular(b), !qm::is_ws(b) && !qm::is_delim(b)) << c;
  }
  // VT and the bytes above 127 are regular: only PDF white space and the ten delimiters are not.
  for (unsigned char c : {'a', '#', '.', '\v', '\xff', '+'}) EXPECT_TRUE(qm::is_regular(c)) << +c;
  for (unsigned char c : {' ', '\0', '(', '%', '/', '>', '}'})
    EXPECT_FALSE(qm::is_regular(c)) << +c;
}

struct skip_case {
  std::string text;
  pos_t pos;
  pos_t end;  // -1: the text's length
  pos_t want;
};

TEST(SkipComment, Table) {
  const skip_case cases[] = {
      {"% abc\nx", 0, -1, 5},                         // on the LF that ends it
      {"%a\rb", 0, -1, 2},                            // or on the CR
      {"%abc", 0, -1, 4},                             // runs to the end
      {"%abc\n", 0, 2, 2},                            // only as far as end
      {"x%\n", 1, -1, 2},     {"%\f\v\n", 0, -1, 3},  // other control bytes do not end it
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::skip_comment(c.text.data(), c.pos, end), c.want) << "'" << c.text << "'";
  }
}

TEST(SkipWsComments, Table) {
  const skip_case cases[] = {
      {" % c\n %d\r\n x", 0, -1, 11},
      {"%x", 0, -1, 2},
      {"  ", 0, -1, 2},
      {"x", 0, -1, 0},
      {"\vx", 0, -1, 0},     // VT is neither
      {" %a\n/B", 0, 3, 3},  // the comment reaches end
      {std::string("\0%\n/", 4), 0, -1, 3},
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::skip_ws_comments(c.text.data(), c.pos, end), c.want) << "'" << c.text << "'";
  }
}

TEST(SkipLiteralString, Table) {
  const skip_case cases[] = {
      {"(abc) x", 0, -1, 5},   {"(a(b)c)x", 0, -1, 7},  // nested parentheses balance
      {"(a\\)b)x", 0, -1, 6},                           // an escaped ")" does not close
      {"(a\\\\)b)", 0, -1, 5},                          // an escaped backslash escapes nothing more
      {"(%)>>", 0, -1, 3},                              // no comments inside a string
      {"x(a)", 1, -1, 4},      {"(a)", 0, -1, 3},       // closing at the last byte
      {"(abc", 0, -1, -1},                              // never closes
      {"(", 0, -1, -1},                                 // "(" is the last byte
      {"(x\\", 0, -1, -1},                              // a backslash is the last byte
      {"(x\\)", 0, -1, -1},                             // the escape takes the only ")"
      {"(a)", 0, 2, -1},                                // the ")" lies at end
      {"((a)", 0, -1, -1},
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::skip_literal_string(c.text.data(), c.pos, end), c.want) << "'" << c.text << "'";
  }
}

TEST(SkipObjHeader, Table) {
  using qm::header_space;
  using qm::obj_keyword;
  struct header_case {
    std::string text;
    pos_t pos;
    pos_t end;  // -1: the text's length
    header_space sp;
    pos_t optional;  // the result with "obj" optional
    pos_t required;  // and with it required
  };
  const header_space pdf = header_space::pdf, any = header_space::pdf_or_cspace;
  const header_case cases[] = {
      {"12 0 obj 42", 0, -1, pdf, 9, 9},
      {"12 0 obj<<", 0, -1, pdf, 8, 8},
      {"x 12 0 obj\r\n7", 2, -1, pdf, 12, 12},
      {"12 obj 5", 0, -1, pdf, 7, 7},      // the generation number may be missing
      {"12 0 5", 0, -1, pdf, 5, -1},       // no keyword: where it was looked for, or -1
      {"12 0 objx 5", 0, -1, pdf, 5, -1},  // not a whole token
      {"12 0 obj", 0, -1, pdf, 8, 8},
      {"12 0 obj", 0, 7, pdf, 5, -1},       // the keyword crosses end
      {"12\v0\vobj 7", 0, -1, pdf, 2, -1},  // VT separates only where the C locale's set is asked
      {"12\v0\vobj 7", 0, -1, any, 9, 9},
      {"12 0 obj\v7", 0, -1, any, 8, 8},  // after the keyword, PDF white space only
      {std::string("12\0"
                   "0\0obj 7",
                   10),
       0, -1, pdf, 9, 9},  // NUL is PDF white space
      {std::string("12\0"
                   "0\0obj 7",
                   10),
       0, -1, any, 9, 9},
      {"12 0 obj", -1, -1, pdf, -1, -1},
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::skip_obj_header(c.text.data(), c.pos, end, obj_keyword::optional, c.sp),
              c.optional)
        << "'" << c.text << "'";
    EXPECT_EQ(qm::skip_obj_header(c.text.data(), c.pos, end, obj_keyword::required, c.sp),
              c.required)
        << "'" << c.text << "'";
  }
}

TEST(RefTailEnd, Table) {
  struct tail_case {
    std::string text;
    pos_t pos;
    pos_t end;       // -1: the text's length
    pos_t required;  // the result with the generation number required
    pos_t optional;  // and with it optional
  };
  const tail_case cases[] = {
      {"5 0 R", 1, -1, 5, 5},
      {"5 0 R/X", 1, -1, 5, 5},
      {"5 0 R_", 1, -1, 5, 5},    // only letters and digits join the "R"
      {"5 0 Rx", 1, -1, -1, -1},  // "Rx" is no reference
      {"5 R", 1, -1, -1, 3},      // without a generation number
      {"5R", 1, -1, -1, 2},
      {"5 0 R", 1, 4, -1, -1},  // the "R" lies at end
      {"5 0 Rx", 1, 5, 5, 5},   // the byte at end is not examined
      {"5 0 0 R", 1, -1, -1, -1},
      {"5 -0 R", 1, -1, -1, -1},
      {"5\v0 R", 1, -1, -1, -1},  // VT is not white space
      {"5 12345 \n R>>", 1, -1, 11, 11},
      {"5", 1, -1, -1, -1},
      {"5 0 R", 9, -1, -1, -1},  // past end
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::ref_tail_end(c.text.data(), c.pos, end, qm::ref_gen::required), c.required)
        << "'" << c.text << "'";
    EXPECT_EQ(qm::ref_tail_end(c.text.data(), c.pos, end, qm::ref_gen::optional), c.optional)
        << "'" << c.text << "'";
  }
}

TEST(ParseIntOrRef, Table) {
  struct value_case {
    std::string text;
    pos_t end;  // -1: the text's length
    int32_t want;
    pos_t want_pos;
    bool ref;
  };
  const value_case cases[] = {
      {"5 0 R", -1, 5, 1, true},
      {" -5 0 R", -1, -5, 3, true},
      {"5 0 Rx", -1, 5, 1, false},
      {"5 R", -1, 5, 1, false},  // the generation is required
      {"5", -1, 5, 1, false},
      {"5 0 R", 4, 5, 1, false},
      {"x 0 R", -1, -1, 0, false},
      {"+5 0 R", -1, -1, 0, false},
      {"4294967301 0 R", -1, 5, 10, true},
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    pos_t p = 0;
    bool ref = !c.ref;
    EXPECT_EQ(qm::parse_int_or_ref(c.text.data(), end, &p, &ref), c.want) << "'" << c.text << "'";
    EXPECT_EQ(p, c.want_pos) << "'" << c.text << "'";
    EXPECT_EQ(ref, c.ref) << "'" << c.text << "'";
  }
}

TEST(IntAfterKey, Table) {
  struct key_case {
    std::string text;
    pos_t key;
    const char* name;
    pos_t end;  // -1: the text's length
    int32_t want;
  };
  const key_case cases[] = {
      {"/Root 12 0 R", 0, "Root", -1, 12},
      {"<< /N\n\t5 >>", 3, "N", -1, 5},
      {"/N5", 0, "N", -1, 5},  // the key's own end is its finder's concern
      {"/Root -3", 0, "Root", -1, -3},
      {"/Root x", 0, "Root", -1, -1},
      {"/Root +3", 0, "Root", -1, -1},
      {"/Root", 0, "Root", -1, -1},     // the span ends with the name
      {"/Root 12", 0, "Root", 7, 1},    // only as far as end
      {"/Root  12", 0, "Root", 7, -1},  // only white space before end
      {"/Root 12", -1, "Root", -1, -1},
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    EXPECT_EQ(qm::int_after_key(c.text.data(), c.key, c.name, end), c.want) << "'" << c.text << "'";
  }
}

TEST(ReadArrayRef, Table) {
  const int_scan_case cases[] = {
      {"12 0 R 13 0 R", 0, -1, 12, 7},
      {"12 0 R 13 0 R", 7, -1, 13, 13},
      {"12 0 R]", 0, -1, 12, 6},
      {"12 R 5", 0, -1, 12, 5},       // no generation number
      {"12 0 13 0 R", 0, -1, 12, 5},  // no "R": the next element starts at 13
      {"12 0 Rx", 0, -1, 12, 6},      // an "R" is taken whatever follows it
      {"12", 0, -1, 12, 2},
      {"12 0 R", 0, 5, 12, 5},  // the "R" lies at end
      {"4294967308 0 R", 0, -1, 12, 14},
  };
  for (const auto& c : cases) {
    const pos_t end = c.end < 0 ? len_of(c.text) : c.end;
    pos_t p = c.pos;
    EXPECT_EQ(qm::read_array_ref(c.text.data(), end, &p), c.want) << "'" << c.text << "'";
    EXPECT_EQ(p, c.want_pos) << "'" << c.text << "'";
  }
}

// Every primitive, over every span of short random texts drawn from the bytes that matter, reads
// only inside its span and returns positions inside it: each text lives in an exactly sized heap
// block, so the sanitizer build catches any read past its end.
TEST(Scan, StaysInsideItsSpan) {
  const char alphabet[] = "obj/Type<>()%\\ \n\r1-+R_aPg\v0";
  std::mt19937 rng(99);
  for (int iter = 0; iter < 3000; ++iter) {
    const size_t n = rng() % 24;
    std::vector<char> block(n);
    for (char& c : block) c = alphabet[rng() % (sizeof alphabet - 1)];
    const char* t = block.data();
    const auto len = static_cast<pos_t>(n);
    for (pos_t s = 0; s <= len; ++s) {
      for (pos_t e = s; e <= len; ++e) {
        const pos_t k = qm::find_kw(t, e, s, "obj");
        if (k >= 0) {
          EXPECT_TRUE(k >= s && k + 3 <= e);
          EXPECT_EQ(qm::kw_at(t, k, e, "obj"), 1);
        }
        const pos_t f = qm::find_name(t, len, s, e, "Type");
        if (f >= 0) {
          EXPECT_TRUE(f >= s && f + 5 <= e);
        }
        const pos_t g = qm::find_name_top(t, len, s, e, "Type");
        if (g >= 0) {
          EXPECT_TRUE(g >= s && g + 5 <= e);
          EXPECT_GE(g, f);  // the top-level search finds a subset of the flat one
        }
        pos_t p = s;
        qm::parse_int_at(t, e, &p);
        EXPECT_TRUE(p >= s && p <= e);
        p = s;
        qm::read_int_adv(t, e, &p);
        EXPECT_TRUE(p >= s && (p <= e || s >= e));
        EXPECT_LE(qm::skip_ws(t, s, e), e);
        const pos_t sc = qm::skip_comment(t, s, e);
        EXPECT_TRUE(sc >= s && sc <= e);
        const pos_t sl = qm::skip_literal_string(t, s, e);
        EXPECT_TRUE(sl == -1 || (sl > s && sl <= e));
        for (auto kw : {qm::obj_keyword::optional, qm::obj_keyword::required}) {
          const pos_t h = qm::skip_obj_header(t, s, e, kw, qm::header_space::pdf_or_cspace);
          EXPECT_TRUE(h == -1 || (h >= s && h <= e));
        }
        const pos_t r = qm::ref_tail_end(t, s, e, qm::ref_gen::optional);
        EXPECT_TRUE(r == -1 || (r > s && r <= e));
        bool ref = false;
        p = s;
        qm::parse_int_or_ref(t, e, &p, &ref);
        EXPECT_TRUE(p >= s && p <= e);
        if (s < e && qm::is_digit(qm::byte_at(t, s))) {
          p = s;
          qm::read_array_ref(t, e, &p);
          EXPECT_TRUE(p > s && p <= e);
        }
      }
    }
  }
}

}  // namespace

// A message is formatted with vsnprintf's semantics, cut after 1023 bytes and always terminated,
// and may quote the message it replaces.
TEST(Msg, FormatsAndCuts) {
  struct ecase {
    std::string arg;
    std::string want;
  };
  const std::vector<ecase> cases = {
      {"", "x  y"},
      {"abc", "x abc y"},
      {std::string(1019, 'a'), "x " + std::string(1019, 'a') + " y"},  // exactly 1023
      {std::string(1020, 'a'), "x " + std::string(1020, 'a') + " "},   // 1024 cut to 1023
      {std::string(5000, 'b'), ("x " + std::string(5000, 'b')).substr(0, 1023)},
  };
  qm::msg m;
  EXPECT_STREQ(m.text, "");
  for (const auto& c : cases) {
    qm::msg_set(m, "x %s y", c.arg.c_str());
    EXPECT_EQ(std::string(m.text), c.want);
  }
  qm::msg_set(m, "page %ld of %d", 1000001L, -7);
  EXPECT_STREQ(m.text, "page 1000001 of -7");
  qm::msg_set(m, "first");
  qm::msg_set(m, "%s, then second", m.text);
  EXPECT_STREQ(m.text, "first, then second");
  qm::msg_clear(m);
  EXPECT_STREQ(m.text, "");
}
