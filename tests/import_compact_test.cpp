// Page contents for compact output: whole zlib streams, the plain Flate filter test, the one
// content stream of a page, the stored bytes kept, and packing through a supplied compressor.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "import/compact_content.h"
#include "import/decode.h"
#include "inflate/zlib_whole.h"
#include "support/importdoc.h"
#include "support/pdfgen.h"

using namespace qm;
using qmtest::docbuilder;

namespace {

const unsigned char* u8(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// Text that compresses well but not trivially: numbered drawing lines.
std::string drawing(int lines) {
  std::string s;
  for (int i = 0; i < lines; ++i)
    s += std::to_string(i % 97) + " " + std::to_string(i * 7 % 613) + " m " +
         std::to_string(i % 13) + " 0 l S\n";
  return s;
}

// zlib's compression with a given strategy, for streams built from every block type.
std::string zlib_with(const std::string& in, int level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 15, 8, strategy), Z_OK);
  std::string out(deflateBound(&z, in.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct decoded {
  int rc;
  std::string out;
  inflate_end end;
};

decoded inflate_all(const std::string& z, uint64_t cap = 1 << 20) {
  decoded d;
  d.out.assign(cap, '\0');
  uint64_t produced = 0;
  d.rc = inflate_decompress(u8(z), z.size(), reinterpret_cast<unsigned char*>(d.out.data()), cap,
                            &produced, &d.end);
  d.out.resize(produced);
  return d;
}

uint64_t whole_length(const std::string& z) {
  decoded d = inflate_all(z);
  if (d.rc != 0) return 0;
  return zlib_whole_length(u8(z), z.size(), d.end, u8(d.out), d.out.size());
}

}  // namespace

TEST(CompactWhole, Adler32MatchesZlib) {
  const std::vector<std::string> inputs = {
      "", "a", "Wikipedia", drawing(400), std::string(100000, '\xff'), std::string(5553, '\x80')};
  for (const std::string& s : inputs) {
    const uLong want = ::adler32(::adler32(0, nullptr, 0), u8(s), static_cast<uInt>(s.size()));
    EXPECT_EQ(qm::adler32(u8(s), s.size()), want) << s.size() << " bytes";
    // Continuing a sum over a second part gives the sum of the whole.
    const size_t half = s.size() / 2;
    EXPECT_EQ(qm::adler32(u8(s) + half, s.size() - half, qm::adler32(u8(s), half)), want);
  }
}

// The decoder's account of where the final block ends, for streams made of stored, fixed-code and
// dynamic-code blocks, with bytes after the stream that are not part of it.
TEST(CompactWhole, EndOfFinalBlockForEveryBlockType) {
  const std::string text = drawing(3000);
  struct c {
    const char* name;
    int level, strategy;
  } cases[] = {
      {"stored", 0, Z_DEFAULT_STRATEGY},          {"fixed", 6, Z_FIXED},
      {"dynamic level 1", 1, Z_DEFAULT_STRATEGY}, {"dynamic level 9", 9, Z_DEFAULT_STRATEGY},
      {"huffman only", 6, Z_HUFFMAN_ONLY},
  };
  for (const c& k : cases) {
    const std::string z = zlib_with(text, k.level, k.strategy);
    for (const std::string tail : {"", "\n", "\r\nendstream", "0123456789abcdef"}) {
      decoded d = inflate_all(z + tail);
      ASSERT_EQ(d.rc, 0) << k.name;
      EXPECT_EQ(d.out, text) << k.name;
      EXPECT_TRUE(d.end.complete) << k.name;
      EXPECT_EQ(d.end.consumed + 4, z.size()) << k.name << ", " << tail.size() << " bytes after";
      EXPECT_EQ(
          zlib_whole_length(u8(z + tail), z.size() + tail.size(), d.end, u8(d.out), d.out.size()),
          z.size())
          << k.name;
    }
  }
}

TEST(CompactWhole, StreamsThatAreNotWhole) {
  const std::string text = drawing(500);
  const std::string z = qmtest::zlib_compress(text);
  ASSERT_EQ(whole_length(z), z.size());

  std::string bad_sum = z;
  bad_sum.back() = static_cast<char>(bad_sum.back() ^ 1);
  std::string no_sum = z.substr(0, z.size() - 4);
  std::string short_sum = z.substr(0, z.size() - 1);
  // FLG changed so that CMF * 256 + FLG is no multiple of 31; the decoder ignores the check bits.
  std::string bad_check = z;
  bad_check[1] = static_cast<char>(bad_check[1] ^ 0x01);
  // A window of 64 KiB (CINFO 8), which zlib readers refuse, with the check bits made right.
  std::string big_window = z;
  big_window[0] = static_cast<char>(0x88);
  big_window[1] = static_cast<char>((31 - (0x88 * 256) % 31) % 31);
  ASSERT_EQ(((0x88 * 256) + static_cast<unsigned char>(big_window[1])) % 31, 0);

  // The decoder gives every byte of each of these; only the wrapper is wrong.
  struct c {
    const char* name;
    std::string data;
  } cases[] = {
      {"Adler-32 wrong", bad_sum},         {"no Adler-32", no_sum},
      {"Adler-32 cut short", short_sum},   {"header check bits wrong", bad_check},
      {"window above 32 KiB", big_window},
  };
  for (const c& k : cases) {
    decoded d = inflate_all(k.data);
    ASSERT_EQ(d.rc, 0) << k.name;
    EXPECT_EQ(d.out, text) << k.name;
    EXPECT_EQ(whole_length(k.data), 0u) << k.name;
  }

  // Damage inside the data: a stored block whose NLEN is wrong ends the decoding early.
  std::string stored = zlib_with(text, 0, Z_DEFAULT_STRATEGY);
  stored[5] = static_cast<char>(stored[5] ^ 0x40);
  decoded d = inflate_all(stored);
  ASSERT_EQ(d.rc, 0);
  EXPECT_FALSE(d.end.complete);
  EXPECT_EQ(whole_length(stored), 0u);
  // The input ending inside the data gives nothing at all.
  EXPECT_EQ(inflate_all(z.substr(0, z.size() / 2)).rc, -1);
}

// inflate_into reports the whole stream's length after the attempt that succeeded, also when the
// first attempt's room was too small.
TEST(CompactWhole, InflateIntoReportsWholeAfterRetry) {
  const std::string text(200000, 'q');  // far above 20 times its compressed size plus 4096
  const std::string z = qmtest::zlib_compress(text, 9);
  ASSERT_LT(z.size() * 20 + 4096, text.size());
  buf b;
  uint64_t whole = 7;
  ASSERT_TRUE(inflate_into(z + "\n", b, &whole));
  EXPECT_EQ(b.view(), text);
  EXPECT_EQ(whole, z.size());
  buf_free(b);

  std::string bad = z;
  bad.back() = static_cast<char>(bad.back() ^ 0x10);
  ASSERT_TRUE(inflate_into(bad, b, &whole));
  EXPECT_EQ(b.view(), text);
  EXPECT_EQ(whole, 0u);
  buf_free(b);
}

TEST(CompactFilter, FlateAlone) {
  struct c {
    const char* dict;
    bool alone;
  } cases[] = {
      {"<< /Length 5 /Filter /FlateDecode >>", true},
      {"<< /Filter /Fl /Length 5 >>", true},
      {"<< /Filter [/FlateDecode] >>", true},
      {"<< /Filter [ /Fl ] >>", true},
      {"<< /Filter/FlateDecode/Length 5>>", true},
      {"<< /Filter % the filter\n /FlateDecode >>", true},
      {"<< /Filter /FlateDecode /DecodeParms null >>", true},
      {"<< /Filter /FlateDecode /DecodeParms << >> >>", true},
      {"<< /Filter /FlateDecode /DecodeParms <<>> >>", true},
      {"<< /Length 5 >>", false},
      {"<< /Filter /LZWDecode >>", false},
      {"<< /Filter /FlateDecodeX >>", false},
      {"<< /Filter /Fl#61teDecode >>", false},
      {"<< /Filter [/FlateDecode /FlateDecode] >>", false},
      {"<< /Filter [/ASCII85Decode /FlateDecode] >>", false},
      {"<< /Filter [] >>", false},
      {"<< /Filter 7 0 R >>", false},
      {"<< /Filter null >>", false},
      {"<< /Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 4 >> >>", false},
      {"<< /Filter /FlateDecode /DecodeParms << /Predictor 1 >> >>", false},
      {"<< /Filter /FlateDecode /DecodeParms [null] >>", false},
      {"<< /Filter /FlateDecode /DecodeParms 9 0 R >>", false},
      {"<< /Filter /FlateDecode /DecodeParms", false},
      // Only the stream's own keys count, not those of a dictionary inside it.
      {"<< /Extra << /Filter /FlateDecode >> >>", false},
      {"<< /Filter /FlateDecode /Extra << /DecodeParms << /Predictor 12 >> >> >>", true},
  };
  for (const c& k : cases) {
    const std::string t = k.dict;
    EXPECT_EQ(flate_alone(t.data(), 0, static_cast<pos_t>(t.size())), k.alone) << t;
  }
}

TEST(CompactContent, SoleContentStream) {
  struct c {
    const char* page;
    int sole;  // the stream's number, 0 for none
  } cases[] = {
      {"<< /Type /Page /Contents 5 0 R >>", 5},
      {"<< /Type /Page /Contents [5 0 R] >>", 5},
      {"<< /Type /Page /Contents [ 5 0 R ] >>", 5},
      {"<< /Type /Page /Contents\n5\n0\nR/Resources << >> >>", 5},
      {"<< /Type /Page /Contents [5 0 R 6 0 R] >>", 0},
      {"<< /Type /Page /Contents [5 0 R 5 0 R] >>", 0},
      {"<< /Type /Page /Contents 5 R >>", 0},
      {"<< /Type /Page /Contents 5 0 RG >>", 0},
      {"<< /Type /Page /Contents 7 0 R >>", 0},   // an array object, not a stream
      {"<< /Type /Page /Contents 8 0 R >>", 0},   // in an object stream
      {"<< /Type /Page /Contents 99 0 R >>", 0},  // no such object
      {"<< /Type /Page /Contents [] >>", 0},
      {"<< /Type /Page >>", 0},
      {"<< /Type /Page /Annots [<< /Contents 5 0 R >>] /Contents 6 0 R >>", 6},
  };
  for (const c& k : cases) {
    qm::doc d = docbuilder()
                    .obj(3, k.page)
                    .lstream(5, "0 0 m")
                    .lstream(6, "1 1 m")
                    .obj(7, "[5 0 R 6 0 R]")
                    .entry(8, "[5 0 R]")
                    .build();
    const obj_rec* o = sole_content_stream(d, qmtest::span_of(d, 3));
    EXPECT_EQ(o ? o->num : 0, k.sole) << k.page;
  }
}

// Every page reads the same bytes as the default reading; where its one stream may go out as
// stored, `stored` is exactly its zlib stream.
TEST(CompactContent, StoredBytesKeptOnlyWhereWhole) {
  const std::string text = drawing(200);
  const std::string z = qmtest::zlib_compress(text);
  std::string bad_sum = z;
  bad_sum.back() = static_cast<char>(bad_sum.back() ^ 1);
  const std::string zeros(300000, '0');
  const std::string zz = qmtest::zlib_compress(zeros, 9);

  struct c {
    const char* name;
    std::string contents;  // the page's /Contents value
    std::string dict;      // stream 5's dictionary keys besides /Length
    std::string data;      // stream 5's data
    std::string stored;    // what must be kept, empty for nothing
  } cases[] = {
      {"plain Flate", "5 0 R", "/Filter /FlateDecode", z, z},
      {"abbreviated", "5 0 R", "/Filter /Fl", z, z},
      {"array of one", "[5 0 R]", "/Filter [/FlateDecode]", z, z},
      {"line end after the data", "5 0 R", "/Filter /FlateDecode", z + "\r\n", z},
      {"junk after the data", "5 0 R", "/Filter /FlateDecode", z + "junk", ""},
      {"wrong Adler-32", "5 0 R", "/Filter /FlateDecode", bad_sum, ""},
      {"cut short", "5 0 R", "/Filter /FlateDecode", z.substr(0, z.size() / 2), ""},
      {"needs the retry", "5 0 R", "/Filter /FlateDecode", zz, zz},
      {"predictor", "5 0 R", "/Filter /FlateDecode /DecodeParms << /Predictor 1 >>", z, ""},
      {"chain", "5 0 R", "/Filter [/FlateDecode /FlateDecode]", qmtest::zlib_compress(z), ""},
      {"no filter", "5 0 R", "", text, ""},
      {"two parts", "[5 0 R 6 0 R]", "/Filter /FlateDecode", z, ""},
  };
  for (const c& k : cases) {
    qm::doc d = docbuilder()
                    .obj(3, "<< /Type /Page /Contents " + k.contents + " >>")
                    .lstream(5, k.data, k.dict)
                    .lstream(6, " 0 0 l")
                    .build();
    page_content want, got;
    read_page_content(d, qmtest::rec(d, 3), want);
    read_page_content_stored(d, qmtest::rec(d, 3), got);
    EXPECT_EQ(got.bytes, want.bytes) << k.name;
    EXPECT_EQ(got.stored, k.stored) << k.name;
    if (!got.stored.empty()) {
      // A view of the document's own bytes, not a copy.
      EXPECT_GE(got.stored.data(), d.data.get()) << k.name;
      EXPECT_LE(got.stored.data() + got.stored.size(), d.data.get() + d.len) << k.name;
    }
    buf_free(want.joined);
    buf_free(got.joined);
  }
}

// A content read for compact output and then read again in the default way (the slots of the
// read-ahead are reused from page to page) keeps nothing of the first reading.
TEST(CompactContent, ReusedContentForgetsStoredAndPacked) {
  const std::string z = qmtest::zlib_compress(drawing(50));
  qm::doc d = docbuilder()
                  .obj(3, "<< /Type /Page /Contents 5 0 R >>")
                  .lstream(5, z, "/Filter /FlateDecode")
                  .obj(4, "<< /Type /Page /Contents [5 0 R 5 0 R] >>")
                  .build();
  page_content c;
  read_page_content_stored(d, qmtest::rec(d, 3), c);
  ASSERT_FALSE(c.stored.empty());
  buf_append(c.packed, "x", 1);
  read_page_content_stored(d, qmtest::rec(d, 4), c);
  EXPECT_TRUE(c.stored.empty());
  EXPECT_EQ(c.packed.len, 0u);
  EXPECT_EQ(c.bytes, drawing(50) + drawing(50));
  buf_free(c.joined);
  buf_free(c.packed);
}

namespace {

// The compressor of the tests: zlib's, through the same callback the programs supply.
size_t zlib_double(void* ctx, const unsigned char* src, size_t n, unsigned char* dst, size_t cap) {
  if (ctx) ++*static_cast<int*>(ctx);
  uLongf out = cap;
  return compress2(dst, &out, src, n, 6) == Z_OK ? out : 0;
}

size_t refusing(void*, const unsigned char*, size_t, unsigned char*, size_t) {
  return 0;
}

std::string unzip(std::string_view z, size_t n) {
  std::string out(n + 1, '\0');
  uLongf len = out.size();
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &len,
                       reinterpret_cast<const Bytef*>(z.data()), z.size()),
            Z_OK);
  out.resize(len);
  return out;
}

}  // namespace

TEST(CompactContent, PackThroughTheSuppliedCompressor) {
  int calls = 0;
  for (const std::string& text : {std::string(), drawing(300), std::string(70000, '\x9c')}) {
    page_content c;
    c.bytes = text;
    ASSERT_TRUE(pack_content({zlib_double, &calls}, c));
    EXPECT_GT(c.packed.len, 0u);
    EXPECT_EQ(unzip(c.packed.view(), text.size()), text);
    buf_free(c.packed);
  }
  EXPECT_EQ(calls, 3);

  page_content c;
  c.bytes = "0 0 m";
  buf_append(c.packed, "old", 3);
  EXPECT_FALSE(pack_content({refusing, nullptr}, c));
  EXPECT_EQ(c.packed.len, 0u);
  EXPECT_FALSE(pack_content({}, c));
  EXPECT_EQ(c.packed.len, 0u);
  buf_free(c.packed);
}

TEST(CompactContent, RoomCoversIncompressibleData) {
  // Random bytes do not compress: zlib's own bound for them must fit the room offered.
  std::string noise(1 << 18, '\0');
  uint32_t x = 12345;
  for (char& ch : noise) {
    x = x * 1103515245u + 12345u;
    ch = static_cast<char>(x >> 24);
  }
  for (size_t n : {size_t{0}, size_t{1}, size_t{1000}, noise.size()})
    EXPECT_GE(pack_room(n), compressBound(n)) << n;
  page_content c;
  c.bytes = noise;
  ASSERT_TRUE(pack_content({zlib_double, nullptr}, c));
  EXPECT_EQ(unzip(c.packed.view(), noise.size()), noise);
  buf_free(c.packed);
}
