// The batch command: its command line, job lists, output names, the checks made before any job
// starts, its texts, and the worker pool.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../cli/batch_plan.h"
#include "../cli/batch_run.h"
#include "support/jobpdf.h"

#ifndef QM_CLI_PATH
#error "QM_CLI_PATH must name the built tool"
#endif

extern char** environ;

namespace {

using namespace qmcli::batch;
namespace fs = std::filesystem;

std::vector<std::string> words(std::initializer_list<const char*> w) {
  return std::vector<std::string>(w.begin(), w.end());
}

TEST(BatchArgs, AcceptedCommandLines) {
  struct acase {
    std::vector<std::string> argv;
    bool stamp;
    std::string fg;
    std::vector<std::string> bgs;
    std::string out_dir;
    int jobs;
    std::vector<std::pair<std::string, std::string>> flags;
  };
  const std::vector<acase> cases = {
      {words({"stamp", "fg.pdf", "--out-dir", "o", "a.pdf", "b.pdf"}),
       true,
       "fg.pdf",
       {"a.pdf", "b.pdf"},
       "o",
       0,
       {}},
      // Options anywhere, in both forms; the job options kept in order with their values.
      {words({"merge", "--jobs=3", "fg.pdf", "a.pdf", "--out-dir=o/", "--underlay", "--opacity",
              ".5", "b.pdf"}),
       false,
       "fg.pdf",
       {"a.pdf", "b.pdf"},
       "o/",
       3,
       {{"--underlay", ""}, {"--opacity", ".5"}}},
      // After "--" a word that starts with '-' is a file.
      {words({"stamp", "--out-dir", "o", "--", "fg.pdf", "-x.pdf"}),
       true,
       "fg.pdf",
       {"-x.pdf"},
       "o",
       0,
       {}},
      {words({"stamp", "--jobs", "0001", "--out-dir", "o", "f", "a"}),
       true,
       "f",
       {"a"},
       "o",
       1,
       {}},
  };
  for (const acase& c : cases) {
    args a;
    const auto e = parse_args(c.argv, a);
    ASSERT_FALSE(e) << *e;
    EXPECT_EQ(a.stamp, c.stamp);
    EXPECT_EQ(a.foreground, c.fg);
    EXPECT_EQ(a.backgrounds, c.bgs);
    EXPECT_EQ(a.out_dir, c.out_dir);
    EXPECT_EQ(a.jobs, c.jobs);
    EXPECT_EQ(a.job_flags, c.flags);
    EXPECT_FALSE(a.list);
  }
  args a;
  ASSERT_FALSE(
      parse_args(words({"merge", "--from-list", "-", "--json", "--quiet", "--jobs", "2"}), a));
  EXPECT_EQ(a.list, "-");
  EXPECT_TRUE(a.json);
  EXPECT_TRUE(a.quiet);
  EXPECT_EQ(a.jobs, 2);
}

TEST(BatchArgs, UsageErrors) {
  struct ecase {
    std::vector<std::string> argv;
    std::string error;
  };
  const std::vector<ecase> cases = {
      {{}, "batch: expected stamp or merge"},
      {words({"info"}), "batch: expected stamp or merge, got \"info\""},
      {words({"stamp", "--jobs", "0", "--out-dir", "o", "f", "a"}),
       "--jobs: expected a whole number from 1 to 1024, got \"0\""},
      {words({"stamp", "--jobs", "1025", "--out-dir", "o", "f", "a"}),
       "--jobs: expected a whole number from 1 to 1024, got \"1025\""},
      {words({"stamp", "--jobs=-1", "--out-dir", "o", "f", "a"}),
       "--jobs: expected a whole number from 1 to 1024, got \"-1\""},
      {words({"stamp", "--out-dir", "o", "f"}), "missing argument: BACKGROUND..."},
      {words({"stamp", "--out-dir", "o"}), "missing arguments: FOREGROUND BACKGROUND..."},
      {words({"stamp", "f", "a"}), "missing option: --out-dir DIR"},
      {words({"stamp", "f", "a", "--out-dir"}), "--out-dir: expected a value"},
      {words({"stamp", "f", "a", "--out-dir="}), "--out-dir: expected a folder"},
      {words({"stamp", "--bogus", "f", "a"}), "unknown option: --bogus"},
      {words({"stamp", "--quiet=1", "f", "a"}), "--quiet takes no value"},
      {words({"stamp", "--underlay=yes", "f", "a"}), "--underlay takes no value"},
      {words({"stamp", "--opacity", "2", "--out-dir", "o", "f", "a"}),
       "--opacity: expected a number from 0 to 1, got \"2\""},
      {words({"stamp", "--from-list", "l", "--out-dir", "o"}),
       "--out-dir cannot be used with --from-list"},
      {words({"stamp", "--from-list", "l", "x.pdf"}), "unexpected argument: x.pdf"},
  };
  for (const ecase& c : cases) {
    args a;
    const auto e = parse_args(c.argv, a);
    ASSERT_TRUE(e) << c.error;
    EXPECT_EQ(*e, c.error);
  }
}

TEST(BatchPlan, OutputNames) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"in/a.pdf", "a.pdf"},
      {"a.PDF", "a.PDF"},
      {"/x/y/report", "report.pdf"},
      {"scan.pdf.bak", "scan.pdf.bak.pdf"},
      {".pdf", ".pdf"},
      {"pdf", "pdf.pdf"},
      {"dir/", std::nullopt},
      {"", std::nullopt},
      {"a/..", std::nullopt},
      {".", std::nullopt},
  };
  for (const auto& [bg, name] : cases) EXPECT_EQ(output_name(bg), name) << bg;
  EXPECT_EQ(join("out", "a.pdf"), "out/a.pdf");
  EXPECT_EQ(join("out/", "a.pdf"), "out/a.pdf");

  args a;
  ASSERT_FALSE(parse_args(words({"stamp", "fg.pdf", "--out-dir", "o", "x/a.pdf", "b"}), a));
  std::vector<item> items;
  ASSERT_FALSE(items_from_args(a, items));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].background, "x/a.pdf");
  EXPECT_EQ(items[0].foreground, "fg.pdf");
  EXPECT_EQ(items[0].output, "o/a.pdf");
  EXPECT_EQ(items[1].output, "o/b.pdf");

  ASSERT_FALSE(parse_args(words({"stamp", "fg.pdf", "--out-dir", "o", "a", "-"}), a));
  EXPECT_EQ(items_from_args(a, items), "batch: a background cannot be - (standard input)");
  ASSERT_FALSE(parse_args(words({"stamp", "fg.pdf", "--out-dir", "o", "d/"}), a));
  EXPECT_EQ(items_from_args(a, items), "batch: d/ names no file");
}

TEST(BatchPlan, ListsParsed) {
  std::vector<item> items;
  const std::string text =
      "# invoices\r\n"
      "a.pdf\tfg.pdf\tout/a.pdf\r\n"
      "\r\n"
      "  \t \n"
      "dir with space/b.pdf\tfg 2.pdf\tout/b.pdf\n"
      "c.pdf\tfg.pdf\tout/c.pdf";  // no line feed at the end
  ASSERT_FALSE(parse_list(text, "jobs.txt", items));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].background, "a.pdf");
  EXPECT_EQ(items[0].output, "out/a.pdf");  // the CR is not part of the name
  EXPECT_EQ(items[1].background, "dir with space/b.pdf");
  EXPECT_EQ(items[1].foreground, "fg 2.pdf");
  EXPECT_EQ(items[2].output, "out/c.pdf");

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"a\tb\n", "l: line 1: expected background<TAB>foreground<TAB>output, found 2 fields"},
      {"# x\na b c\n", "l: line 2: expected background<TAB>foreground<TAB>output, found 1 field"},
      {"a\tb\tc\td\n", "l: line 1: expected background<TAB>foreground<TAB>output, found 4 fields"},
      {"a\tb\tc\n\ta\tb\n", "l: line 2: empty background"},
      {"a\t\tc\n", "l: line 1: empty foreground"},
      {"a\tb\t\r\n", "l: line 1: empty output"},
      {"a\tb\t-\n", "l: line 1: output cannot be - (standard input or output)"},
  };
  for (const auto& [t, error] : bad) {
    const auto e = parse_list(t, "l", items);
    ASSERT_TRUE(e) << t;
    EXPECT_EQ(*e, error);
  }
  EXPECT_FALSE(parse_list("# nothing\n\n", "l", items));
  EXPECT_TRUE(items.empty());
}

TEST(BatchPlan, ConflictsFoundBeforeAnyJob) {
  const fs::path d = qmtest::fresh_dir("conflicts");
  fs::create_directories(d / "in1");
  fs::create_directories(d / "in2");
  fs::create_directories(d / "out");
  for (const char* f : {"in1/a.pdf", "in2/a.pdf", "in1/b.pdf", "fg.pdf"})
    qmtest::put_file(fs::relative(d / f, qmtest::scratch()).string(), "%PDF-1.4\n");
  fs::create_hard_link(d / "in1/b.pdf", d / "out/hard.pdf");
  fs::create_directory_symlink(d / "out", d / "outlink");
  const std::string D = d.string();
  auto P = [&](const char* rel) { return D + "/" + rel; };

  // No conflict: distinct outputs in a fresh folder.
  EXPECT_FALSE(find_conflict({{P("in1/a.pdf"), P("fg.pdf"), P("out/a.pdf")},
                              {P("in1/b.pdf"), P("fg.pdf"), P("out/b.pdf")}}));
  struct ccase {
    std::vector<item> items;
    std::string error;
  };
  const std::vector<ccase> cases = {
      // Two backgrounds of the same file name from different folders.
      {{{P("in1/a.pdf"), P("fg.pdf"), P("out/a.pdf")},
        {P("in2/a.pdf"), P("fg.pdf"), P("out/a.pdf")}},
       "batch: " + P("in1/a.pdf") + " and " + P("in2/a.pdf") + " would both write " +
           P("out/a.pdf")},
      // The same file reached through a symbolic link to its folder, and through "..".
      {{{P("in1/a.pdf"), P("fg.pdf"), P("out/x.pdf")},
        {P("in2/a.pdf"), P("fg.pdf"), P("outlink/../out/x.pdf")}},
       "batch: " + P("in1/a.pdf") + " and " + P("in2/a.pdf") + " would both write " +
           P("outlink/../out/x.pdf")},
      {{{P("in1/a.pdf"), P("fg.pdf"), P("out/x.pdf")},
        {P("in2/a.pdf"), P("fg.pdf"), P("outlink/x.pdf")}},
       "batch: " + P("in1/a.pdf") + " and " + P("in2/a.pdf") + " would both write " +
           P("outlink/x.pdf")},
      // An output that is the foreground, its own background, or another job's background.
      {{{P("in1/a.pdf"), P("fg.pdf"), P("fg.pdf")}},
       "batch: " + P("fg.pdf") + " would overwrite the input " + P("fg.pdf")},
      {{{P("in1/a.pdf"), P("fg.pdf"), P("in1/../in1/a.pdf")}},
       "batch: " + P("in1/../in1/a.pdf") + " would overwrite the input " + P("in1/a.pdf")},
      {{{P("in1/a.pdf"), P("fg.pdf"), P("out/a.pdf")},
        {P("in2/a.pdf"), P("fg.pdf"), P("in1/a.pdf")}},
       "batch: " + P("in1/a.pdf") + " would overwrite the input " + P("in1/a.pdf")},
      // A hard link to an input is that input.
      {{{P("in1/b.pdf"), P("fg.pdf"), P("out/hard.pdf")}},
       "batch: " + P("out/hard.pdf") + " would overwrite the input " + P("in1/b.pdf")},
  };
  for (const ccase& c : cases) {
    const auto e = find_conflict(c.items);
    ASSERT_TRUE(e) << c.error;
    EXPECT_EQ(*e, c.error);
  }
}

// The default number of jobs follows the affinity mask of the calling thread, not the machine.
TEST(BatchPlan, DefaultJobsFollowTheAffinityMask) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(default_jobs(), CPU_COUNT(&all));
  int first = -1;
  for (int c = 0; c < CPU_SETSIZE && first < 0; ++c)
    if (CPU_ISSET(c, &all)) first = c;
  ASSERT_GE(first, 0);
  int seen = 0;
  std::thread t([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    if (sched_setaffinity(0, sizeof one, &one) == 0) seen = default_jobs();
  });
  t.join();
  EXPECT_EQ(seen, 1);
}

TEST(BatchTexts, NumbersAndLines) {
  EXPECT_EQ(fixed(0, 1), "0.0");
  EXPECT_EQ(fixed(12.345, 1), "12.3");
  EXPECT_EQ(fixed(0.0005, 3), "0.001");
  EXPECT_EQ(fixed(9.96, 1), "10.0");
  EXPECT_EQ(fixed(3, 0), "3");
  EXPECT_EQ(fixed(-1, 2), "0.00");

  EXPECT_EQ(progress_text(0, 0, 10, 0.5), "0/10 files: 0 done, 0 failed");
  EXPECT_EQ(progress_text(3, 1, 10, 2.0), "4/10 files: 3 done, 1 failed, 2.0 files/s, 0:03 left");
  EXPECT_EQ(progress_text(10, 0, 7210, 10.0),
            "10/7210 files: 10 done, 0 failed, 1.0 files/s, 2:00:00 left");
  EXPECT_EQ(progress_text(5, 0, 5, 1.0), "5/5 files: 5 done, 0 failed, 5.0 files/s");

  EXPECT_EQ(summary_text(998, 2, 1000, 12.5, false),
            "1000 files: 998 done, 2 failed, 12.5 s, 80.0 files/s");
  EXPECT_EQ(summary_text(1, 0, 1, 0.25, false), "1 file: 1 done, 0 failed, 0.3 s, 4.0 files/s");
  EXPECT_EQ(summary_text(3, 1, 10, 2.0, true),
            "10 files: 3 done, 1 failed, 2.0 s, 2.0 files/s, interrupted: 6 not started");
}

TEST(BatchTexts, JsonStrings) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain/a.pdf", "\"plain/a.pdf\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {std::string("t\tn\nr\r\x01\x1f", 8), "\"t\\tn\\nr\\r\\u0001\\u001f\""},
      {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x93\x84",
       "\"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x93\x84\""},
      // Latin-1 bytes, an overlong form, a surrogate, a cut sequence: each bad byte is U+FFFD.
      {"caf\xE9", "\"caf\xEF\xBF\xBD\""},
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"x\xE2\x80", "\"x\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(json_string(in), out) << in;
}

TEST(BatchTexts, JsonDocumentListsTheFilesThatRan) {
  const std::vector<item> items = {
      {"a.pdf", "f.pdf", "o/a.pdf"}, {"b.pdf", "f.pdf", "o/b.pdf"}, {"c.pdf", "f.pdf", "o/c.pdf"}};
  std::vector<outcome> outs(3);
  outs[0] = {true, true, "", 2, 0.0125};
  outs[1] = {true, false, "cannot open b.pdf", 0, 0.001};
  EXPECT_EQ(json_document(items, outs, 1.5, true),
            "{\"files\": [\n"
            "  {\"background\": \"a.pdf\", \"foreground\": \"f.pdf\", \"output\": \"o/a.pdf\", "
            "\"status\": \"ok\", \"message\": \"\", \"pages\": 2, \"seconds\": 0.012500},\n"
            "  {\"background\": \"b.pdf\", \"foreground\": \"f.pdf\", \"output\": \"o/b.pdf\", "
            "\"status\": \"failed\", \"message\": \"cannot open b.pdf\", \"pages\": 0, "
            "\"seconds\": 0.001000}\n"
            "], \"done\": 1, \"failed\": 1, \"not_started\": 1, \"interrupted\": true, "
            "\"seconds\": 1.500000}\n");
  EXPECT_EQ(json_document(items, std::vector<outcome>(3), 0, false),
            "{\"files\": [], \"done\": 0, \"failed\": 0, \"not_started\": 3, \"interrupted\": "
            "false, \"seconds\": 0.000000}\n");
}

std::vector<item> numbered_items(size_t n) {
  std::vector<item> items;
  for (size_t k = 0; k < n; ++k) items.push_back({std::to_string(k), "f", "o" + std::to_string(k)});
  return items;
}

// Every job runs once, its outcome in its own slot; failures are counted and reported.
TEST(BatchPool, RunsEveryJobOnceInItsSlot) {
  const std::vector<item> items = numbered_items(200);
  std::vector<outcome> outs;
  std::vector<std::atomic<int>> runs(items.size());
  std::atomic<size_t> reported{0};
  {
    pool p(
        items, outs,
        [&](const item& it, outcome& o) {
          const size_t k = std::stoul(it.background);
          runs[k].fetch_add(1);
          o.ok = k % 7 != 3;
          o.pages = static_cast<int32_t>(k);
          if (!o.ok) o.message = "failed " + it.background;
        },
        [&](size_t) { reported.fetch_add(1); });
    p.start(4);
    while (!p.wait_for(1000)) {
    }
    p.join();
    EXPECT_EQ(p.failed(), 29u);  // 3, 10, ..., 199
    EXPECT_EQ(p.done(), 171u);
  }
  EXPECT_EQ(reported.load(), items.size());
  for (size_t k = 0; k < items.size(); ++k) {
    EXPECT_EQ(runs[k].load(), 1) << k;
    EXPECT_TRUE(outs[k].ran);
    EXPECT_EQ(outs[k].pages, static_cast<int32_t>(k));
    EXPECT_EQ(outs[k].ok, k % 7 != 3);
    EXPECT_GE(outs[k].seconds, 0.0);
  }
}

// Jobs that count themselves as started and then wait, at most 20 s, for the test's condition.
struct gate {
  std::mutex mu;
  std::condition_variable cv;
  int started = 0;
  bool released = false;

  template <class Pred>
  bool enter(Pred ready) {
    std::unique_lock<std::mutex> lock(mu);
    ++started;
    cv.notify_all();
    return cv.wait_for(lock, std::chrono::seconds(20), [&] { return ready(*this); });
  }
  void wait_started(int n) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, std::chrono::seconds(20), [&] { return started >= n; });
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mu);
      released = true;
    }
    cv.notify_all();
  }
};

// Two workers run two jobs at the same time: each job waits until both have started.
TEST(BatchPool, WorkersRunJobsAtTheSameTime) {
  const std::vector<item> items = numbered_items(2);
  std::vector<outcome> outs;
  gate g;
  pool p(
      items, outs,
      [&](const item&, outcome& o) { o.ok = g.enter([](gate& s) { return s.started == 2; }); },
      nullptr);
  p.start(2);
  p.join();
  EXPECT_TRUE(outs[0].ok);
  EXPECT_TRUE(outs[1].ok);
}

// After stop(), no job starts; the jobs already running finish and keep their outcomes.
TEST(BatchPool, StopLetsRunningJobsFinish) {
  const std::vector<item> items = numbered_items(50);
  std::vector<outcome> outs;
  gate g;
  pool p(
      items, outs,
      [&](const item&, outcome& o) { o.ok = g.enter([](gate& s) { return s.released; }); },
      nullptr);
  p.start(2);
  g.wait_started(2);
  p.stop();
  EXPECT_FALSE(p.wait_for(50));  // both jobs still running
  g.release();
  EXPECT_TRUE(p.wait_for(20000));
  p.join();
  EXPECT_EQ(p.done(), 2u);
  size_t ran = 0;
  for (const outcome& o : outs) ran += o.ran ? 1 : 0;
  EXPECT_EQ(ran, 2u);
  EXPECT_TRUE(outs[0].ran && outs[1].ran);
}

// The tool, run in the background with its standard streams in files.
struct tool_run {
  pid_t pid = -1;
  std::string out_path, err_path;
  int status = -1;  // the exit status, or 128 + the signal that ended it

  // Starts the tool; `in` names the file to read as standard input ("" for none).
  void start(const std::vector<std::string>& args, const std::string& tag,
             const std::string& in = "") {
    out_path = (qmtest::scratch() / (tag + ".stdout")).string();
    err_path = (qmtest::scratch() / (tag + ".stderr")).string();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.empty() ? "/dev/null" : in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all = {QM_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, QM_CLI_PATH, &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  // Still running: not yet ended (its end is left to wait() to collect).
  bool running() const {
    siginfo_t info{};
    return pid > 0 &&
           ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }
  void wait() {
    int st = 0;
    if (pid > 0 && ::waitpid(pid, &st, 0) == pid)
      status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    pid = -1;
  }
  std::string out() const { return qmtest::read_file(out_path); }
  std::string err() const { return qmtest::read_file(err_path); }
};

tool_run run_tool(const std::vector<std::string>& args, const std::string& in = "") {
  tool_run t;
  t.start(args, "run", in);
  t.wait();
  return t;
}

// Background and foreground files of a batch, with the output of the single-file job for each.
struct batch_inputs {
  fs::path dir;
  std::string fg;
  std::vector<std::string> bgs;

  batch_inputs(const std::string& name, int count, int pages) {
    dir = qmtest::fresh_dir(name);
    fs::create_directories(dir / "in");
    fg = write(dir / "stamp.pdf", qmtest::n_pages_pdf(1, "fg", "[0 0 200 100]"));
    for (int k = 0; k < count; ++k)
      bgs.push_back(write(dir / "in" / ("doc" + std::to_string(k) + ".pdf"),
                          qmtest::n_pages_pdf(pages + k % 3, "bg" + std::to_string(k))));
  }
  static std::string write(const fs::path& p, const std::string& bytes) {
    std::FILE* f = std::fopen(p.c_str(), "wb");
    if (f) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    return p.string();
  }
  // What `quiremark stamp BG FG OUT` writes for this background.
  std::string single(const std::string& bg) const {
    const std::string out = (dir / "single.pdf").string();
    const tool_run t = run_tool({"stamp", bg, fg, out});
    EXPECT_EQ(t.status, 0) << t.err();
    return qmtest::read_file(out);
  }
};

// A failing file among good ones: the others are written, each as the single-file job writes
// it; the failure is reported by its background and the exit status is 1.
TEST(BatchTool, FailingFileAmongGoodOnes) {
  batch_inputs in("tool_mixed", 6, 2);
  const std::string broken = in.bgs[2];
  batch_inputs::write(broken, "%PDF-1.4\nno objects here\n");
  const std::string missing = (in.dir / "in" / "missing.pdf").string();
  const fs::path out = in.dir / "out" / "nested";  // created
  std::vector<std::string> args = {"batch",      "stamp",  in.fg, "--out-dir",
                                   out.string(), "--jobs", "2"};
  args.insert(args.end(), in.bgs.begin(), in.bgs.end());
  args.push_back(missing);
  const tool_run t = run_tool(args);
  EXPECT_EQ(t.status, 1);
  const std::string err = t.err();
  EXPECT_NE(err.find("quiremark: " + broken +
                     ": no PDF objects found \xE2\x80\x94 not a PDF: " + broken + "\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("quiremark: " + missing + ": cannot open " + missing + "\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("quiremark: batch: 7 files: 5 done, 2 failed, "), std::string::npos) << err;
  EXPECT_EQ(t.out(), "");
  std::vector<std::string> written;
  for (size_t k = 0; k < in.bgs.size(); ++k) {
    if (k == 2) continue;
    const std::string name = "doc" + std::to_string(k) + ".pdf";
    written.push_back(name);
    EXPECT_EQ(qmtest::read_file((out / name).string()), in.single(in.bgs[k])) << name;
  }
  std::sort(written.begin(), written.end());
  EXPECT_EQ(qmtest::names_in(out), written);
  EXPECT_TRUE(qmtest::qpdf_accepts((out / "doc0.pdf").string()));
}

// Outputs are byte-identical to the single-file job's, with every job option passed on, and
// --quiet prints nothing when all goes well.
TEST(BatchTool, OutputsAreTheSingleJobsOutputs) {
  batch_inputs in("tool_same", 4, 1);
  struct ocase {
    std::vector<std::string> options;
  };
  const std::vector<ocase> cases = {{{}},
                                    {{"--underlay"}},
                                    {{"--opacity", "0.35"}},
                                    {{"--opacity=.5", "--underlay"}},
                                    {{"--compact"}},
                                    {{"--compact", "--opacity", "0.2"}}};
  for (const char* mode : {"stamp", "merge"}) {
    for (const ocase& c : cases) {
      const fs::path out = qmtest::fresh_dir("tool_same_out");
      std::vector<std::string> args = {"batch", mode, "--quiet", in.fg, "--out-dir", out.string()};
      args.insert(args.end(), c.options.begin(), c.options.end());
      args.insert(args.end(), in.bgs.begin(), in.bgs.end());
      const tool_run t = run_tool(args);
      ASSERT_EQ(t.status, 0) << t.err();
      EXPECT_EQ(t.err(), "");
      for (const std::string& bg : in.bgs) {
        std::vector<std::string> single = {mode, bg, in.fg, (in.dir / "single.pdf").string()};
        single.insert(single.end(), c.options.begin(), c.options.end());
        ASSERT_EQ(run_tool(single).status, 0);
        EXPECT_EQ(qmtest::read_file((out / fs::path(bg).filename()).string()),
                  qmtest::read_file((in.dir / "single.pdf").string()))
            << mode << " " << bg;
      }
    }
  }
}

// Refused before any job starts, with exit status 2, writing nothing (not even the folder).
TEST(BatchTool, ConflictsRefused) {
  batch_inputs in("tool_conflict", 2, 1);
  fs::create_directories(in.dir / "other");
  const std::string twin =
      batch_inputs::write(in.dir / "other" / "doc0.pdf", qmtest::n_pages_pdf(1, "twin"));
  const std::string out = (in.dir / "out").string();
  const tool_run same = run_tool({"batch", "stamp", in.fg, "--out-dir", out, in.bgs[0], twin});
  EXPECT_EQ(same.status, 2);
  EXPECT_EQ(same.err(), "quiremark: batch: " + in.bgs[0] + " and " + twin + " would both write " +
                            out + "/doc0.pdf\n");
  EXPECT_FALSE(fs::exists(out));

  // An output that is an input: the out folder is the input's own.
  const std::string in_dir = (in.dir / "in").string();
  const tool_run over = run_tool({"batch", "merge", in.fg, "--out-dir", in_dir, in.bgs[1]});
  EXPECT_EQ(over.status, 2);
  EXPECT_EQ(over.err(), "quiremark: batch: " + in_dir + "/doc1.pdf would overwrite the input " +
                            in.bgs[1] + "\n");

  // The foreground named as an output in a list.
  const std::string list =
      batch_inputs::write(in.dir / "list.txt", in.bgs[0] + "\t" + in.fg + "\t" + in.fg + "\n");
  const tool_run fg = run_tool({"batch", "stamp", "--from-list", list});
  EXPECT_EQ(fg.status, 2);
  EXPECT_EQ(fg.err(), "quiremark: batch: " + in.fg + " would overwrite the input " + in.fg + "\n");

  const tool_run none = run_tool({"batch", "stamp", in.fg, "--out-dir", out});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(
      none.err().rfind("quiremark: missing argument: BACKGROUND...\nusage: quiremark batch ", 0),
      0u)
      << none.err();
}

// A list on standard input, with CRLF line ends and comments; --json gives one document with
// every file in the order of the list.
TEST(BatchTool, ListFromStandardInputWithJson) {
  batch_inputs in("tool_list", 3, 1);
  const fs::path out = qmtest::fresh_dir("tool_list_out");
  std::string list = "# jobs\r\n\r\n";
  for (size_t k = 0; k < in.bgs.size(); ++k)
    list += in.bgs[k] + "\t" + in.fg + "\t" + (out / ("r" + std::to_string(k) + ".pdf")).string() +
            "\r\n";
  const std::string missing = (in.dir / "nothing.pdf").string();
  list += missing + "\t" + in.fg + "\t" + (out / "r9.pdf").string() + "\r\n";
  const std::string list_file = batch_inputs::write(in.dir / "list.tsv", list);
  const tool_run t =
      run_tool({"batch", "merge", "--from-list", "-", "--json", "--jobs", "3"}, list_file);
  EXPECT_EQ(t.status, 1) << t.err();
  // Times vary: each "seconds" value is checked for its form, then left out.
  std::string json = t.out();
  std::string fixed_json;
  for (size_t pos = 0;;) {
    const size_t at = json.find("\"seconds\": ", pos);
    fixed_json += json.substr(pos, at == std::string::npos ? at : at + 11 - pos);
    if (at == std::string::npos) break;
    size_t end = at + 11;
    while (end < json.size() &&
           (std::isdigit(static_cast<unsigned char>(json[end])) || json[end] == '.'))
      ++end;
    EXPECT_GT(end, at + 11) << json;
    fixed_json += "S";
    pos = end;
  }
  std::string want = "{\"files\": [\n";
  for (size_t k = 0; k < in.bgs.size(); ++k)
    want += "  {\"background\": \"" + in.bgs[k] + "\", \"foreground\": \"" + in.fg +
            "\", \"output\": \"" + (out / ("r" + std::to_string(k) + ".pdf")).string() +
            "\", \"status\": \"ok\", \"message\": \"\", \"pages\": " + std::to_string(1 + k % 3) +
            ", \"seconds\": S},\n";
  want += "  {\"background\": \"" + missing + "\", \"foreground\": \"" + in.fg +
          "\", \"output\": \"" + (out / "r9.pdf").string() +
          "\", \"status\": \"failed\", \"message\": \"cannot open " + missing +
          "\", \"pages\": 0, \"seconds\": S}\n], \"done\": 3, \"failed\": 1, \"not_started\": 0, "
          "\"interrupted\": false, \"seconds\": S}\n";
  EXPECT_EQ(fixed_json, want);
  for (size_t k = 0; k < in.bgs.size(); ++k)
    EXPECT_TRUE(fs::exists(out / ("r" + std::to_string(k) + ".pdf")));

  // A malformed line is a usage error before any job starts.
  const std::string bad = batch_inputs::write(
      in.dir / "bad.tsv", in.bgs[0] + "\t" + in.fg + "\t" + (out / "x.pdf").string() + "\n" +
                              in.bgs[1] + " " + in.fg + "\n");
  const tool_run b = run_tool({"batch", "stamp", "--from-list", bad});
  EXPECT_EQ(b.status, 2);
  EXPECT_EQ(b.err().rfind("quiremark: " + bad +
                              ": line 2: expected background<TAB>foreground<TAB>output, found 1 "
                              "field\nusage: ",
                          0),
            0u)
      << b.err();
  EXPECT_FALSE(fs::exists(out / "x.pdf"));
}

// Many slow jobs: inputs of many pages, each job's background a link to the same file.
struct slow_batch {
  fs::path dir, out;
  std::string fg, reference;
  std::vector<std::string> bgs;

  slow_batch(const std::string& name, int count) {
    dir = qmtest::fresh_dir(name);
    out = dir / "out";
    fs::create_directories(dir / "in");
    std::vector<qmtest::page_spec> pages(600);
    for (size_t k = 0; k < pages.size(); ++k)
      pages[k].content = std::string(12000, ' ') + "0 0 1 rg 10 10 50 30 re f\n";
    const std::string big = batch_inputs::write(dir / "big.pdf", qmtest::doc_pdf(pages));
    fg = batch_inputs::write(dir / "stamp.pdf", qmtest::n_pages_pdf(1, "fg"));
    for (int k = 0; k < count; ++k) {
      const fs::path link = dir / "in" / ("b" + std::to_string(1000 + k) + ".pdf");
      fs::create_symlink(big, link);
      bgs.push_back(link.string());
    }
    const tool_run t = run_tool({"stamp", big, fg, (dir / "reference.pdf").string()});
    EXPECT_EQ(t.status, 0) << t.err();
    reference = qmtest::read_file((dir / "reference.pdf").string());
  }
  std::vector<std::string> args(std::vector<std::string> extra) const {
    std::vector<std::string> a = {"batch", "stamp", fg, "--out-dir", out.string()};
    a.insert(a.end(), extra.begin(), extra.end());
    a.insert(a.end(), bgs.begin(), bgs.end());
    return a;
  }
  // Waits until at least n outputs are complete.
  bool wait_outputs(size_t n, const tool_run& t) const {
    for (int i = 0; i < 30000; ++i) {
      size_t done = 0;
      if (fs::exists(out))
        for (const std::string& name : qmtest::names_in(out)) done += name[0] == 'b';
      if (done >= n) return true;
      if (!t.running()) return false;
      ::usleep(1000);
    }
    return false;
  }
  // Every file left in the output folder is a complete output; returns how many there are.
  size_t check_outputs() const {
    size_t n = 0;
    for (const std::string& name : qmtest::names_in(out)) {
      EXPECT_EQ(name.rfind("b", 0), 0u) << "stray file " << name;
      EXPECT_EQ(qmtest::read_file((out / name).string()), reference) << name;
      ++n;
    }
    return n;
  }
};

// A batch whose backgrounds are named pipes: each job waits in open() until the test opens the
// pipe's other end, so the test knows which jobs run when it sends a signal.
struct pipe_batch {
  fs::path dir, out;
  std::string fg, pdf;
  std::vector<std::string> bgs;

  pipe_batch(const std::string& name, int count) {
    dir = qmtest::fresh_dir(name);
    out = dir / "out";
    fg = batch_inputs::write(dir / "stamp.pdf", qmtest::n_pages_pdf(1, "fg"));
    pdf = qmtest::n_pages_pdf(2, "bg");
    for (int k = 0; k < count; ++k) {
      const fs::path p = dir / ("p" + std::to_string(k));
      EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
      bgs.push_back(p.string());
    }
  }
  std::vector<std::string> args(std::vector<std::string> extra) const {
    std::vector<std::string> a = {"batch", "stamp", fg, "--out-dir", out.string()};
    a.insert(a.end(), extra.begin(), extra.end());
    a.insert(a.end(), bgs.begin(), bgs.end());
    return a;
  }
  // Waits until n of the tool's threads wait in open() for a pipe's writer. False when the tool
  // ended first.
  static bool wait_blocked(size_t n, const tool_run& t) {
    const fs::path tasks = "/proc/" + std::to_string(t.pid) + "/task";
    for (int i = 0; i < 20000 && t.running(); ++i) {
      size_t waiting = 0;
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(tasks, ec))
        waiting += qmtest::read_file((e.path() / "wchan").string()) == "wait_for_partner";
      if (waiting >= n) return true;
      ::usleep(1000);
    }
    return false;
  }
  // Lets the jobs waiting for the first n pipes go on: each reads a PDF, then the end of its
  // pipe (or reads nothing, if it takes no pipe).
  void feed(size_t n) {
    ::signal(SIGPIPE, SIG_IGN);
    for (size_t k = 0; k < n; ++k) {
      const int fd = ::open(bgs[k].c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      EXPECT_GE(fd, 0) << bgs[k] << " has no reader";
      if (fd < 0) continue;
      ::fcntl(fd, F_SETFL, 0);
      if (::write(fd, pdf.data(), pdf.size()) < 0) {
        EXPECT_EQ(errno, EPIPE);
      }
      ::close(fd);
    }
  }
};

// Waits until the tool's standard error holds `text`.
bool wait_for_err(const tool_run& t, const std::string& text) {
  for (int i = 0; i < 20000 && t.running(); ++i) {
    if (t.err().find(text) != std::string::npos) return true;
    ::usleep(1000);
  }
  return t.err().find(text) != std::string::npos;
}

// The first SIGINT or SIGTERM starts no further job and lets the running ones finish; the summary
// and the JSON document say what was done; exit 130 or 143.
TEST(BatchTool, InterruptedBatchFinishesRunningJobs) {
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    pipe_batch b("tool_interrupt", 10);
    tool_run t;
    t.start(b.args({"--jobs", "2", "--json"}), "interrupt");
    ASSERT_TRUE(pipe_batch::wait_blocked(2, t)) << t.err();
    ::kill(t.pid, sig);
    ASSERT_TRUE(wait_for_err(t, "quiremark: batch: stopping after the running jobs (" +
                                    std::string(sig == SIGINT ? "SIGINT" : "SIGTERM") +
                                    " again stops at once)\n"))
        << t.err();
    b.feed(2);  // the two running jobs finish
    t.wait();
    EXPECT_EQ(t.status, 128 + sig) << t.err();
    // Both jobs ran to their end, each with its outcome; none of the others started.
    const std::string json = t.out();
    for (size_t k = 0; k < b.bgs.size(); ++k)
      EXPECT_EQ(json.find("\"background\": \"" + b.bgs[k] + "\"") != std::string::npos, k < 2)
          << k << json;
    EXPECT_NE(json.find(", \"not_started\": 8, \"interrupted\": true"), std::string::npos) << json;
    const std::string err = t.err();
    EXPECT_NE(err.find("quiremark: batch: 10 files: "), std::string::npos) << err;
    EXPECT_NE(err.find(", interrupted: 8 not started\n"), std::string::npos) << err;
    // Whatever they wrote is complete; nothing else is there.
    for (const std::string& name : qmtest::names_in(b.out)) {
      EXPECT_TRUE(name == "p0.pdf" || name == "p1.pdf") << name;
      EXPECT_TRUE(qmtest::qpdf_accepts((b.out / name).string()));
    }
  }
}

// A second signal ends the batch at once, while its jobs still run.
TEST(BatchTool, SecondSignalExitsAtOnce) {
  pipe_batch b("tool_twice", 4);
  tool_run t;
  t.start(b.args({"--jobs", "2"}), "twice");
  ASSERT_TRUE(pipe_batch::wait_blocked(2, t)) << t.err();
  ::kill(t.pid, SIGINT);
  ASSERT_TRUE(wait_for_err(t, "stopping after the running jobs")) << t.err();
  ::kill(t.pid, SIGINT);
  t.wait();  // the jobs still wait for their pipes: only an exit at once ends the tool
  EXPECT_EQ(t.status, 130) << t.err();
  EXPECT_EQ(t.err().find("quiremark: batch: 4 files:"), std::string::npos) << t.err();
  EXPECT_TRUE(qmtest::names_in(b.out).empty());
}

// The open descriptors of a process that name an unnamed file in folder d ("d/#123 (deleted)").
bool writes_unnamed_in(pid_t pid, const fs::path& d) {
  std::error_code ec;
  const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& e : fs::directory_iterator(fds, ec)) {
    const fs::path target = fs::read_symlink(e.path(), ec);
    if (ec) continue;
    const std::string t = target.string();
    if (t.rfind(d.string() + "/#", 0) == 0) return true;
  }
  return false;
}

// A job killed (SIGKILL) while it writes its output leaves no file: the single-file job, whose
// large output is written while it is made, and a batch.
TEST(BatchTool, KilledJobLeavesNoFile) {
  slow_batch b("tool_killed", 8);
  struct kcase {
    const char* name;
    std::vector<std::string> args;
  };
  fs::create_directories(b.out);
  const std::vector<kcase> cases = {
      {"single", {"stamp", b.bgs[0], b.fg, (b.out / "b1000.pdf").string()}},
      {"batch", b.args({"--jobs", "2"})},
  };
  for (const kcase& c : cases) {
    SCOPED_TRACE(c.name);
    bool caught = false;
    for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
      fs::remove_all(b.out);
      fs::create_directories(b.out);
      tool_run t;
      t.start(c.args, "killed");
      while (t.running() && !caught) {
        if (!writes_unnamed_in(t.pid, b.out)) continue;
        // Stopped, still writing an unnamed file, and no job in the instant between naming its
        // complete file and renaming it (which a kill may interrupt): killed there.
        ::kill(t.pid, SIGSTOP);
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(t.pid), &info, WSTOPPED | WEXITED | WNOWAIT) != 0 ||
            info.si_code != CLD_STOPPED)
          break;  // it ended first
        caught = writes_unnamed_in(t.pid, b.out);
        for (const std::string& name : qmtest::names_in(b.out)) caught = caught && name[0] == 'b';
        ::kill(t.pid, caught ? SIGKILL : SIGCONT);
      }
      t.wait();
      if (caught) {
        EXPECT_EQ(t.status, 128 + SIGKILL);
      }
    }
    ASSERT_TRUE(caught) << "never saw the output being written";
    b.check_outputs();  // only complete outputs, no temporary file
  }
}

}  // namespace
