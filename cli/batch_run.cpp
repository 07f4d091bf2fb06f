// The batch command: the worker pool, the progress line, the summary, and the answer to signals.
#include "batch_run.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "commands.h"

namespace qmcli::batch {

pool::pool(const std::vector<item>& items, std::vector<outcome>& outcomes, job_fn run,
           std::function<void(size_t)> finished)
    : items_(items), outcomes_(outcomes), run_(std::move(run)), finished_(std::move(finished)) {
  outcomes_.assign(items_.size(), outcome{});
}

pool::~pool() {
  stop();
  join();
}

void pool::start(int threads) {
  if (threads < 1) threads = 1;
  if (static_cast<size_t>(threads) > items_.size()) threads = static_cast<int>(items_.size());
  std::lock_guard<std::mutex> lock(mu_);
  for (int i = 0; i < threads; ++i) {
    threads_.emplace_back([this] { work(); });
    ++running_;
  }
}

void pool::work() {
  for (;;) {
    if (stopping_.load()) break;
    const size_t k = next_.fetch_add(1);
    if (k >= items_.size()) break;
    outcome& o = outcomes_[k];
    const auto t0 = std::chrono::steady_clock::now();
    run_(items_[k], o);
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    o.ran = true;
    (o.ok ? done_ : failed_).fetch_add(1);
    if (finished_) finished_(k);
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (--running_ == 0) ended_.notify_all();
}

bool pool::wait_for(int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return ended_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return running_ == 0; });
}

void pool::join() {
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

namespace {

std::string str(std::string_view s) {
  return std::string(s);
}

int usage_error(std::FILE* err, const std::string& what) {
  std::fprintf(err, "quiremark: %s\nusage: quiremark %s\n", what.c_str(),
               str(find_command("batch")->usage).c_str());
  return kExitUsage;
}

// The whole of a list file, or of standard input for "-". False with the reason in `why`.
bool read_list(const std::string& name, std::string& text, std::string& why) {
  std::FILE* f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (!f) {
    why = std::strerror(errno);
    return false;
  }
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  const bool bad = std::ferror(f);
  if (bad) why = std::strerror(errno);
  if (f != stdin) std::fclose(f);
  return !bad;
}

// SIGINT and SIGTERM, blocked in every thread of the batch and taken by the main thread with
// sigtimedwait, so that no handler runs in the middle of a job.
sigset_t stop_signals() {
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGINT);
  sigaddset(&s, SIGTERM);
  return s;
}

// A signal that has arrived, or 0.
int pending_signal(const sigset_t& set) {
  const timespec zero{0, 0};
  for (;;) {
    const int sig = sigtimedwait(&set, nullptr, &zero);
    if (sig > 0) return sig;
    if (errno != EINTR) return 0;
  }
}

// What the batch prints on standard error while it runs: failures, and the progress line when
// standard error is a terminal. Workers report through it concurrently.
struct reporter {
  reporter(std::FILE* e, bool p) : err(e), progress(p) {}
  std::FILE* err;
  bool progress;  // the progress line is shown
  std::mutex mu;
  bool line_shown = false;

  void clear_line() {
    if (line_shown) std::fputs("\r\033[K", err);
    line_shown = false;
  }
  void failure(const item& it, const outcome& o) {
    std::lock_guard<std::mutex> lock(mu);
    clear_line();
    std::fprintf(err, "quiremark: %s: %s\n", it.background.c_str(), o.message.c_str());
    std::fflush(err);
  }
  void note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu);
    clear_line();
    std::fprintf(err, "quiremark: batch: %s\n", text.c_str());
    std::fflush(err);
  }
  void show(const std::string& text) {
    if (!progress) return;
    std::lock_guard<std::mutex> lock(mu);
    std::fprintf(err, "\rquiremark: %s\033[K", text.c_str());
    std::fflush(err);
    line_shown = true;
  }
  void end() {
    std::lock_guard<std::mutex> lock(mu);
    clear_line();
    std::fflush(err);
  }
};

}  // namespace

std::string batch_help() {
  const command& c = *find_command("batch");
  std::string s = str(c.summary) + "\nUsage: quiremark " + str(c.usage) + "\n\n";
  size_t width = 0;
  for (int i = 0; i < c.item_count; ++i) width = std::max(width, c.items[i].name.size());
  for (int i = 0; i < c.item_count; ++i) {
    const std::string name = str(c.items[i].name);
    s += "  " + name + std::string(width + 2 - name.size(), ' ') + str(c.items[i].help) + "\n";
  }
  s += "\n" + str(c.description) + "\n";
  return s;
}

int run_batch(const std::vector<std::string>& argv, const job_maker& make_job, std::FILE* out,
              std::FILE* err) {
  args a;
  if (const auto e = parse_args(argv, a)) return usage_error(err, *e);
  if (a.help) {
    std::fputs(batch_help().c_str(), out);
    return kExitOk;
  }

  std::vector<item> items;
  if (a.list) {
    std::string text, why;
    if (!read_list(*a.list, text, why))
      return usage_error(err, "--from-list " + *a.list + ": " + why);
    const std::string source = *a.list == "-" ? "standard input" : *a.list;
    if (const auto e = parse_list(text, source, items)) return usage_error(err, *e);
    if (items.empty()) return usage_error(err, source + ": no jobs listed");
  } else if (const auto e = items_from_args(a, items)) {
    return usage_error(err, *e);
  }
  if (const auto e = find_conflict(items)) {
    std::fprintf(err, "quiremark: %s\n", e->c_str());
    return kExitUsage;
  }
  if (!a.list) {
    std::error_code ec;
    std::filesystem::create_directories(a.out_dir, ec);
    if (ec) {
      std::fprintf(err, "quiremark: batch: cannot create %s: %s\n", a.out_dir.c_str(),
                   ec.message().c_str());
      return kExitFailure;
    }
  }

  const job_fn job = make_job(a);
  const int threads = a.jobs > 0 ? a.jobs : default_jobs();

  // Signals are taken by this thread only, between waits; the workers inherit the blocked mask.
  const sigset_t stops = stop_signals();
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &stops, &before);

  reporter rep(err, !a.quiet && ::isatty(::fileno(err)) == 1);
  std::vector<outcome> outcomes;
  const auto t0 = std::chrono::steady_clock::now();
  auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  pool p(items, outcomes, job, [&](size_t k) {
    if (!outcomes[k].ok) rep.failure(items[k], outcomes[k]);
  });
  p.start(threads);

  int stopped_by = 0;
  auto take_signal = [&](int sig) {
    if (sig == 0) return;
    if (stopped_by != 0) {
      // The second signal: out at once. Jobs still writing leave nothing behind: their output is
      // an unnamed file until it is complete.
      rep.end();
      std::_Exit(128 + sig);
    }
    stopped_by = sig;
    p.stop();
    if (!a.quiet)
      rep.note(std::string("stopping after the running jobs (") +
               (sig == SIGINT ? "SIGINT" : "SIGTERM") + " again stops at once)");
  };
  auto next_draw = std::chrono::steady_clock::now();
  while (!p.wait_for(50)) {
    take_signal(pending_signal(stops));
    if (rep.progress && std::chrono::steady_clock::now() >= next_draw) {
      rep.show(progress_text(p.done(), p.failed(), items.size(), elapsed()));
      next_draw += std::chrono::milliseconds(250);
    }
  }
  p.join();
  take_signal(pending_signal(stops));
  const double seconds = elapsed();
  rep.end();
  pthread_sigmask(SIG_SETMASK, &before, nullptr);

  if (a.json) {
    std::fputs(json_document(items, outcomes, seconds, stopped_by != 0).c_str(), out);
    std::fflush(out);
  }
  if (!a.quiet)
    std::fprintf(
        err, "quiremark: batch: %s\n",
        summary_text(p.done(), p.failed(), items.size(), seconds, stopped_by != 0).c_str());
  if (stopped_by != 0) return 128 + stopped_by;
  return p.failed() > 0 ? kExitFailure : kExitOk;
}

}  // namespace qmcli::batch
