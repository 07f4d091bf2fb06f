// The compressor that the tool and the Python module hand to compact jobs: libdeflate behind the
// job's callback, one compressor per thread.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <thread>
#include <vector>

#include "zlib_deflate.h"

namespace {

std::string text_of(int seed, size_t n) {
  std::string s;
  uint32_t x = static_cast<uint32_t>(seed);
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += std::to_string(x >> 20) + (x & 0x100 ? " 0 m\n" : " Tf (word) Tj\n");
  }
  s.resize(n);
  return s;
}

// Compresses with the callback as a job calls it; empty when it gives nothing.
std::string pack(const std::string& in, void* ctx = nullptr, size_t room = 0) {
  std::string out(room ? room : in.size() + in.size() / 128 + 64, '\0');
  const size_t n =
      qmdeflate::zlib_compress(ctx, reinterpret_cast<const unsigned char*>(in.data()), in.size(),
                               reinterpret_cast<unsigned char*>(out.data()), out.size());
  out.resize(n);
  return out;
}

std::string unzip(const std::string& z, size_t n) {
  std::string out(n + 1, '\0');
  uLongf len = out.size();
  if (uncompress(reinterpret_cast<Bytef*>(out.data()), &len,
                 reinterpret_cast<const Bytef*>(z.data()), z.size()) != Z_OK)
    return "(not a zlib stream)";
  out.resize(len);
  return out;
}

}  // namespace

TEST(Deflate, ZlibStreamsAtEveryLevel) {
  const std::string in = text_of(1, 100000);
  const std::string empty;
  EXPECT_EQ(unzip(pack(empty), 0), empty);
  const std::string dflt = pack(in);
  ASSERT_FALSE(dflt.empty());
  EXPECT_EQ(unzip(dflt, in.size()), in);
  for (int level : {0, 1, 4, 6, 9, 12}) {
    const std::string z = pack(in, &level);
    EXPECT_EQ(unzip(z, in.size()), in) << "level " << level;
  }
  EXPECT_LT(pack(in, nullptr).size(), in.size() / 2);
}

TEST(Deflate, RefusesWhatItCannotDo) {
  const std::string in = text_of(2, 5000);
  int bad = 13, negative = -1;
  EXPECT_TRUE(pack(in, &bad).empty());
  EXPECT_TRUE(pack(in, &negative).empty());
  // Room for less than the stream needs: nothing, rather than a stream cut short.
  EXPECT_TRUE(pack(in, nullptr, 10).empty());
}

TEST(Deflate, ThreadsCompressAtOnce) {
  constexpr int kThreads = 4;
  std::vector<std::string> in, out(kThreads);
  for (int t = 0; t < kThreads; ++t) in.push_back(text_of(10 + t, 200000));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::string z;
      for (int round = 0; round < 20; ++round) z = pack(in[static_cast<size_t>(t)]);
      out[static_cast<size_t>(t)] = z;
    });
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(unzip(out[static_cast<size_t>(t)], in[static_cast<size_t>(t)].size()),
              in[static_cast<size_t>(t)]);
}
