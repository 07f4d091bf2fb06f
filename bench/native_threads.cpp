// The stamp jobs of python_threads.py without Python: the same job, inputs and rounds on plain
// C++ threads, each job's PDF returned in memory. What the machine allows this work on several
// threads, against which the Python figures can be read.
//
// Usage: quiremark_native_threads BACKGROUND STAMP THREADS JOBS ROUNDS
// Prints one line a round: the serial time before, the threaded time, the serial time after, in
// seconds. Nothing is asserted; a failing job stops the program with its message.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "job/run.h"

namespace {

struct inputs {
  const char* background;
  const char* stamp;
};

void run_jobs(const inputs& in, int jobs) {
  for (int i = 0; i < jobs; ++i) {
    qm::job_options o;
    o.stamp = true;
    o.background = in.background;
    o.foreground = in.stamp;
    std::string pdf;
    o.output_bytes = &pdf;
    qm::job_result r;
    qm::job_run(o, r);
    if (!r.ok) {
      std::fprintf(stderr, "quiremark_native_threads: %s\n", r.message.c_str());
      std::exit(1);
    }
  }
}

// Seconds to run `jobs` jobs shared out over `threads` threads (the main thread alone for 1).
double timed(const inputs& in, int threads, int jobs) {
  const auto start = std::chrono::steady_clock::now();
  if (threads <= 1) {
    run_jobs(in, jobs);
  } else {
    std::vector<std::thread> workers;
    for (int k = 0; k < threads; ++k)
      workers.emplace_back(run_jobs, in, jobs / threads + (k < jobs % threads ? 1 : 0));
    for (std::thread& w : workers) w.join();
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s BACKGROUND STAMP THREADS JOBS ROUNDS\n", argv[0]);
    return 2;
  }
  const inputs in{argv[1], argv[2]};
  const int threads = std::atoi(argv[3]), jobs = std::atoi(argv[4]), rounds = std::atoi(argv[5]);
  if (threads < 1 || jobs < 1 || rounds < 1) {
    std::fprintf(stderr, "quiremark_native_threads: THREADS, JOBS and ROUNDS must be positive\n");
    return 2;
  }
  run_jobs(in, 20);  // warm-up, as in python_threads.py
  for (int r = 0; r < rounds; ++r) {
    const double before = timed(in, 1, jobs);
    const double threaded = timed(in, threads, jobs);
    const double after = timed(in, 1, jobs);
    std::printf("%.6f %.6f %.6f\n", before, threaded, after);
  }
  return 0;
}
