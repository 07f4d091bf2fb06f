// Running a batch: the pool of worker threads that takes the jobs in order, and the command that
// plans the jobs, runs them, reports progress and failures, and answers SIGINT and SIGTERM.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "batch_plan.h"

namespace qmcli::batch {

// Runs one job and fills its outcome's ok, message and pages (the pool sets ran and seconds).
// Called on several threads at once.
using job_fn = std::function<void(const item&, outcome&)>;

// Worker threads that take the jobs one at a time, in order, until none is left or stop() is
// called; a job that has started always runs to its end. Each job's outcome lands in its own
// slot, so the outcomes stay in the order of the jobs whatever the order they finish in.
class pool {
 public:
  // `finished` is called on the worker's thread after each job, with its index.
  pool(const std::vector<item>& items, std::vector<outcome>& outcomes, job_fn run,
       std::function<void(size_t)> finished);
  ~pool();
  pool(const pool&) = delete;
  pool& operator=(const pool&) = delete;

  // Starts `threads` workers (no more than there are jobs).
  void start(int threads);
  // No job starts after this; those running finish.
  void stop() { stopping_.store(true); }
  bool stopping() const { return stopping_.load(); }
  // Waits until every worker has ended or `ms` milliseconds have passed; true when they have.
  bool wait_for(int ms);
  // Waits for every worker to end.
  void join();

  size_t done() const { return done_.load(); }
  size_t failed() const { return failed_.load(); }

 private:
  void work();

  const std::vector<item>& items_;
  std::vector<outcome>& outcomes_;
  job_fn run_;
  std::function<void(size_t)> finished_;
  std::vector<std::thread> threads_;
  std::atomic<size_t> next_{0}, done_{0}, failed_{0};
  std::atomic<bool> stopping_{false};
  std::mutex mu_;
  std::condition_variable ended_;
  int running_ = 0;
};

// The batch command: the arguments after "batch", the job to run for each file, and the streams
// it reports on. Returns the exit status: 0 when every job succeeded, 1 when any failed, 2 on a
// usage error (nothing run, nothing written), 130 or 143 when interrupted by SIGINT or SIGTERM.
// `make_job` turns the parsed command line (the stamp or merge choice and the job options) into
// the job function, once, before any job starts.
using job_maker = std::function<job_fn(const args&)>;
int run_batch(const std::vector<std::string>& argv, const job_maker& make_job, std::FILE* out,
              std::FILE* err);

// The library's job for the parsed command line: stamp or merge with its job options.
job_fn library_job(const args& a);

// The help text of the batch command.
std::string batch_help();

}  // namespace qmcli::batch
