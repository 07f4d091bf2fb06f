// Stream dictionaries: where a dictionary ends and whether "stream" follows, /Length, the
// recorded scan that answers many dictionary-end questions over one text, and dictionary copies.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "reader/streamdict.h"

namespace {

using qm::pos_t;

pos_t dsk(std::string_view t, pos_t pos = 0) {
  return qm::dict_stream_kw(t.data(), static_cast<pos_t>(t.size()), pos);
}

struct dsk_case {
  const char* text;
  pos_t pos;       // where the dictionary opens
  pos_t expected;  // position of "stream", or -1
};

TEST(DictStreamKw, Table) {
  const dsk_case cases[] = {
      {"<< /Length 5 >>stream", 0, 15},
      {"<< /Length 5 >>\nstream\n", 0, 16},
      {"<< /Length 5 >>  \r\n endobj", 0, -1},
      {"<< /A << /B 1 >> >> stream", 0, 20},
      // Strings hide ">>" and parentheses, escaped ones included.
      {"<< /T (a>>b) /Length 3 >> stream", 0, 26},
      {"<< /T (a\\)>>) /Length 3 >> stream", 0, 27},
      {"<< /T (a(b)>>c) >>stream", 0, 18},
      // Not a whole token.
      {"<< /Length 5 >> streamer", 0, -1},
      {"<< /Length 5 >>xstream", 0, -1},
      // A hex string's "<" and a lone ">" are ordinary bytes.
      {"<< /ID <a1b2> /X 1 > >> stream", 0, 24},
      // The first "<<" only; the scan starts at a single "<" and finds the next dictionary.
      {"<ab> << >> stream", 0, 11},
      // ">>" at depth 0 takes the depth below 0 and closes nothing; from -1 two "<<" and one ">>"
      // bring it back to 0, which closes.
      {">> << >> stream", 0, -1},
      {">> << << >> stream", 0, 12},
      // Never closed, or ended by a byte that needs a partner.
      {"<< /A 1", 0, -1},
      {"<< /A 1 >", 0, -1},
      {"<< /A 1 <", 0, -1},
      {"<< /A (", 0, -1},
      {"<< /A (x", 0, -1},
      {"<< /A (x\\", 0, -1},
      // The text ends right after the string's closing parenthesis.
      {"<< /A (x)", 0, -1},
      // Comments are not recognised.
      {"<< % >> \n >> stream", 0, -1},
      {"<< /A 1 >>", 0, -1},
      {"<< >>stream", 0, 5},
      // Started later in the text.
      {"xx << >> stream", 3, 9},
      {"<< >> stream", -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(dsk(c.text, c.pos), c.expected);
  }
}

struct length_case {
  const char* dict;
  int32_t direct;
  int32_t ref;
};

TEST(ParseLength, Table) {
  const length_case cases[] = {
      {"<< /Length 1234 >>", 1234, -1},
      {"<< /Length 17 0 R >>", -1, 17},
      {"<< /Length 17 R >>", 17, -1},
      {"<< /Length1 10 /Length 20 >>", 20, -1},
      {"<< /Length -5 /Length 6 >>", 6, -1},
      {"<< /Length [3 4] >>", 4, -1},
      {"<< /Length [ -1 7 x ] >>", 7, -1},
      {"<< /Length [] /Length 9 >>", 9, -1},
      {"<< /Length /X >>", -1, -1},
      {"<< /Length /X /Length 3 >>", 3, -1},
      {"<< /Filter /FlateDecode >>", -1, -1},
      {"<< /Length 17 0 Rx >>", 17, -1},
      {"<< /Length 17 0 R/X 1 >>", -1, 17},
      {"<< /Length 17 5 R >>", -1, 17},
      {"<< /Length\n\t 42\n>>", 42, -1},
      // The byte after the name is never part of the value.
      {"<< /Length(5) >>", 5, -1},
      // A control byte that is not white space is no value; the next /Length is.
      {"<< /Length \v5 /Length 8 >>", 8, -1},
      // Wrapping 32-bit arithmetic: 4294967297 reads as 1.
      {"<< /Length 4294967297 >>", 1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dict);
    std::string_view t = c.dict;
    int32_t direct = 99, ref = 99;
    qm::parse_length(t.data(), static_cast<pos_t>(t.size()), 0, static_cast<pos_t>(t.size()),
                     &direct, &ref);
    EXPECT_EQ(direct, c.direct);
    EXPECT_EQ(ref, c.ref);
  }
}

TEST(ParseLength, EndOfSpanStopsTheReading) {
  // The span ends right after the name: nothing is set, and the later key outside is not seen.
  std::string_view t = "<< /Length  12 >>";
  int32_t direct = 0, ref = 0;
  qm::parse_length(t.data(), static_cast<pos_t>(t.size()), 0, 10, &direct, &ref);
  EXPECT_EQ(direct, -1);
  EXPECT_EQ(ref, -1);
  // Only white space left before the end: finished, with nothing set.
  qm::parse_length(t.data(), static_cast<pos_t>(t.size()), 0, 12, &direct, &ref);
  EXPECT_EQ(direct, -1);
  EXPECT_EQ(ref, -1);
  // The span ends after the digits: the number is direct.
  std::string_view u = "<< /Length 12 0 R >>";
  qm::parse_length(u.data(), static_cast<pos_t>(u.size()), 0, 13, &direct, &ref);
  EXPECT_EQ(direct, 12);
  EXPECT_EQ(ref, -1);
}

// The recorded scan answers exactly what the plain scan answers, for every question asked in
// increasing order, over random texts made of the bytes that matter to it.
TEST(DictEndMemo, AgreesWithThePlainScan) {
  std::mt19937 rng(12345);
  const char alphabet[] = "<<<>>>(()\\ ax";
  for (int round = 0; round < 3000; ++round) {
    const int n = 1 + static_cast<int>(rng() % 300);
    std::string t;
    for (int i = 0; i < n; ++i) t += alphabet[rng() % (sizeof alphabet - 1)];
    if (rng() % 2) t.insert(rng() % (t.size() + 1), ">>stream");
    const auto len = static_cast<pos_t>(t.size());
    // Short own walks and small records make every path of the recorded scan run.
    const pos_t walks[] = {0, 1, 7, 4096};
    const size_t caps[] = {1, 3, 1000};
    qm::dict_end_memo m = qm::dict_end_memo_make(t.data(), len);
    m.own_walk = walks[round % 4];
    m.max_events = caps[(round / 4) % 3];
    for (pos_t q = 0; q < len; q += 1 + static_cast<pos_t>(rng() % 3)) {
      SCOPED_TRACE(t + " @" + std::to_string(q));
      ASSERT_EQ(qm::dict_stream_kw(m, q), dsk(t, q));
    }
  }
}

TEST(DictEndMemo, LongOpenDictionariesAreScannedOnce) {
  // Thousands of dictionaries that never close: each answer is -1, and the record makes the
  // whole run linear (a plain scan per question would take minutes under the sanitizers).
  std::string t;
  for (int i = 0; i < 200000; ++i) t += "1 0 obj << ";
  const auto len = static_cast<pos_t>(t.size());
  qm::dict_end_memo m = qm::dict_end_memo_make(t.data(), len);
  int asked = 0;
  for (pos_t q = 8; q < len; q += 11, ++asked) ASSERT_EQ(qm::dict_stream_kw(m, q), -1);
  EXPECT_EQ(asked, 200000);
  // The same text closed at the end: every dictionary is closed by its own ">>".
  std::string closed = t;
  for (int i = 0; i < 200000; ++i) closed += ">>";
  closed += " stream";
  const auto clen = static_cast<pos_t>(closed.size());
  qm::dict_end_memo c = qm::dict_end_memo_make(closed.data(), clen);
  for (pos_t q = 8; q < len; q += 11 * 997) {
    const pos_t got = qm::dict_stream_kw(c, q);
    if (q == 8)
      EXPECT_EQ(got, clen - 6);
    else
      EXPECT_EQ(got, -1);  // an inner dictionary closes where "stream" does not follow
  }
}

}  // namespace

TEST(DictTextAt, Cases) {
  struct c {
    std::string text;
    int pos;
    bool ok;
    std::string out;
  } cases[] = {
      {"<< /T (x)>> rest", 0, true, "<< /T (x)>>"},
      {"<< /A << /B 1 >> >> >>", 0, true, "<< /A << /B 1 >> >>"},
      {"<< /T (a>>b) >>", 0, true, "<< /T (a>>b) >>"},
      {"<< /T (a(b>>)c) >> x", 0, true, "<< /T (a(b>>)c) >>"},
      {"<< /T (a\\)>>) >> x", 0, true, "<< /T (a\\)>>) >>"},
      {"<< /A 1", 0, false, ""},
      {"<< /T (open >>", 0, false, ""},
      {"<< /T (a\\", 0, false, ""},
      {"x << /A 1 >>", 2, true, "<< /A 1 >>"},
      {"x << /A 1 >>", 0, false, ""},
      {"<", 0, false, ""},
      {"<< /H <4142> >>", 0, true, "<< /H <4142> >>"},
      // Comments: a ">>" or "(" inside one is no syntax; the copy keeps the comment.
      {"<< /A 1 % note >> x\n/B 2 >> tail", 0, true, "<< /A 1 % note >> x\n/B 2 >>"},
      {"<< % (\r/A 1 >>", 0, true, "<< % (\r/A 1 >>"},
      {"<< /A 1 % to the end >>", 0, false, ""},
      {std::string("<< /T (a\0b) >>", 14), 0, true, std::string("<< /T (a\0b) >>", 14)},
  };
  for (const c& x : cases) {
    std::string out = "untouched";
    bool ok = qm::dict_text_at(x.text.data(), static_cast<pos_t>(x.text.size()), x.pos, &out);
    EXPECT_EQ(ok, x.ok) << x.text;
    if (x.ok) {
      EXPECT_EQ(out, x.out) << x.text;
    }
  }
  // The bound given is respected even when the dictionary would close after it.
  std::string t = "<< /A 1 >>";
  std::string out;
  EXPECT_FALSE(qm::dict_text_at(t.data(), 9, 0, &out));
  EXPECT_FALSE(qm::dict_text_at(t.data(), 10, -1, &out));
}
