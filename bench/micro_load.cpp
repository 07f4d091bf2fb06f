// Loader throughput: doc_load_bytes on whole documents held in memory (object scan, stream
// extents, object streams, final table, page tree), in MB of file per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "reader/doc.h"
#include "reader/load.h"
#include "synth.h"

namespace {

struct sample {
  int pages;
  bool objstm, tiny;
};

// Built once per sample: the benchmark function is entered several times while the iteration
// count is settled.
const std::string& document(sample s) {
  static std::map<std::tuple<int, bool, bool>, std::string> cache;
  std::string& f = cache[{s.pages, s.objstm, s.tiny}];
  if (f.empty()) f = qmbench::text_document(s.pages, s.objstm, s.tiny);
  return f;
}

void bm_load(benchmark::State& st, sample s) {
  const std::string& file = document(s);
  const int32_t len = static_cast<int32_t>(file.size());
  size_t objects = 0;
  for (auto _ : st) {
    st.PauseTiming();
    auto data = std::make_unique<char[]>(file.size());
    std::memcpy(data.get(), file.data(), file.size());
    qm::doc d;
    st.ResumeTiming();
    qm::msg m;
    int rc = qm::doc_load_bytes(std::move(data), len, "bench.pdf", d, m);
    st.PauseTiming();
    if (rc != 0 || d.pages.size() != static_cast<size_t>(s.pages)) {
      st.SkipWithError("the document did not load with every page");
      qm::doc_free(d);
      st.ResumeTiming();
      break;
    }
    objects = d.objects.size();
    qm::doc_free(d);
    st.ResumeTiming();
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * len);
  st.counters["file_MB"] = double(len) / 1e6;
  st.counters["objects"] = double(objects);
  st.counters["pages_per_s"] =
      benchmark::Counter(double(s.pages), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK_CAPTURE(bm_load, text_10k, sample{10000, false, false})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bm_load, objstm_10k, sample{10000, true, false})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(bm_load, tiny_100k, sample{100000, false, true})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
