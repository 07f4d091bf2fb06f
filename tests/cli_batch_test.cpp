// The batch command: its command line, job lists, output names, the checks made before any job
// starts, its texts, and the worker pool.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
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

}  // namespace
