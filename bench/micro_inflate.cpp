// DEFLATE decoding throughput: the library's inflate_decompress against zlib's inflate on the
// same streams in the same run. Throughput counts decoded bytes; a table at the end gives the
// library's speed as a multiple of zlib's for each corpus.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "inflate/inflate.h"
#include "synth.h"

namespace {

struct corpus {
  std::vector<std::string> raw, z;
  size_t raw_bytes = 0, z_bytes = 0, max_raw = 0;
  void add(std::string r, int level) {
    z.push_back(qmbench::zcompress(r, level));
    raw_bytes += r.size();
    z_bytes += z.back().size();
    max_raw = std::max(max_raw, r.size());
    raw.push_back(std::move(r));
  }
};

// 400 page content streams (operators and text, as a word processor writes them).
const corpus& content_corpus(int level) {
  static std::map<int, corpus> cache;
  corpus& c = cache[level];
  if (c.raw.empty()) {
    qmbench::rng r(1);
    qmbench::vocabulary v(r);
    for (int i = 0; i < 400; ++i) c.add(qmbench::content_stream(r, v, i + 1, 400), level);
  }
  return c;
}

// Four large streams of running text, 8 MiB each.
const corpus& text_corpus(int level) {
  static std::map<int, corpus> cache;
  corpus& c = cache[level];
  if (c.raw.empty()) {
    qmbench::rng r(2);
    qmbench::vocabulary v(r, 20000);
    for (int i = 0; i < 4; ++i) c.add(qmbench::random_text(r, v, size_t{8} << 20), level);
  }
  return c;
}

using corpus_fn = const corpus& (*)(int);

void bm_quiremark(benchmark::State& st, corpus_fn get, int level) {
  const corpus& c = get(level);
  std::vector<unsigned char> dst(c.max_raw);
  for (size_t i = 0; i < c.raw.size(); ++i) {  // correctness first: every stream, exactly
    uint64_t produced = 0;
    const std::string& z = c.z[i];
    int rc = qm::inflate_decompress(reinterpret_cast<const unsigned char*>(z.data()), z.size(),
                                    dst.data(), c.raw[i].size(), &produced);
    if (rc != 0 || produced != c.raw[i].size() ||
        std::memcmp(dst.data(), c.raw[i].data(), produced) != 0) {
      st.SkipWithError("inflate_decompress result differs from the original");
      return;
    }
  }
  for (auto _ : st) {
    for (size_t i = 0; i < c.z.size(); ++i) {
      uint64_t produced = 0;
      qm::inflate_decompress(reinterpret_cast<const unsigned char*>(c.z[i].data()), c.z[i].size(),
                             dst.data(), c.raw[i].size(), &produced);
      benchmark::DoNotOptimize(produced);
    }
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(c.raw_bytes));
  st.counters["ratio"] = double(c.raw_bytes) / double(c.z_bytes);
}

// zlib at its best: one stream state reused with inflateReset, one inflate(Z_FINISH) call into
// a buffer that fits.
void bm_zlib(benchmark::State& st, corpus_fn get, int level) {
  const corpus& c = get(level);
  std::vector<unsigned char> dst(c.max_raw);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    st.SkipWithError("inflateInit failed");
    return;
  }
  auto one = [&](size_t i) {
    inflateReset(&zs);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(c.z[i].data()));
    zs.avail_in = static_cast<uInt>(c.z[i].size());
    zs.next_out = dst.data();
    zs.avail_out = static_cast<uInt>(c.raw[i].size());
    return inflate(&zs, Z_FINISH) == Z_STREAM_END && zs.total_out == c.raw[i].size();
  };
  for (size_t i = 0; i < c.raw.size(); ++i) {
    if (!one(i) || std::memcmp(dst.data(), c.raw[i].data(), c.raw[i].size()) != 0) {
      st.SkipWithError("zlib inflate failed");
      inflateEnd(&zs);
      return;
    }
  }
  for (auto _ : st) {
    for (size_t i = 0; i < c.z.size(); ++i) benchmark::DoNotOptimize(one(i));
    benchmark::ClobberMemory();
  }
  inflateEnd(&zs);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(c.raw_bytes));
  st.counters["ratio"] = double(c.raw_bytes) / double(c.z_bytes);
}

// Console output as usual, then the library's throughput over zlib's per corpus.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  ratio_reporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
      std::string name = r.benchmark_name();
      size_t slash = name.rfind('/');
      auto it = r.counters.find("bytes_per_second");
      if (slash == std::string::npos || it == r.counters.end()) continue;
      speed_[name.substr(0, slash)][name.substr(slash + 1)] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-28s %14s %14s %10s\n", "corpus", "quiremark MB/s", "zlib MB/s", "qm/zlib");
    for (const auto& [corpus, by] : speed_) {
      auto q = by.find("quiremark"), z = by.find("zlib");
      if (q == by.end() || z == by.end()) continue;
      std::printf("%-28s %14.1f %14.1f %9.2fx\n", corpus.c_str(), q->second / 1e6, z->second / 1e6,
                  q->second / z->second);
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> speed_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  struct {
    const char* name;
    corpus_fn get;
  } const corpora[] = {{"content", content_corpus}, {"text8M", text_corpus}};
  for (const auto& c : corpora)
    for (int level : {1, 6, 9}) {
      std::string base = std::string("inflate/") + c.name + "/L" + std::to_string(level);
      benchmark::RegisterBenchmark((base + "/quiremark").c_str(), bm_quiremark, c.get, level)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark((base + "/zlib").c_str(), bm_zlib, c.get, level)
          ->Unit(benchmark::kMillisecond);
    }
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
