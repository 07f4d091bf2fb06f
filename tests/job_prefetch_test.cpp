// Page contents read ahead on a helper thread: the output is byte for byte the one that reading
// every page on the job's own thread gives, for every kind of /Contents and every job kind.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "job/prefetch.h"
#include "reader/load.h"
#include "support/jobpdf.h"

namespace {

using namespace qmtest;

// Options whose jobs read ahead from this many pages on.
qm::job_options read_ahead_from(int64_t n) {
  qm::job_options o;
  o.read_ahead_min_pages = n;
  return o;
}
const qm::job_options never = read_ahead_from(INT64_MAX);
const qm::job_options always = read_ahead_from(1);

struct prefetch_case {
  const char* name;
  job_kind kind;
  int bg_pages, fg_pages;
  int mode;
  float opacity;
};

TEST(JobPrefetch, ReadingAheadGivesTheSameOutput) {
  const prefetch_case cases[] = {
      {"merge, more background pages", job_kind::merge, 41, 23, 0, 1.0f},
      {"merge, more foreground pages", job_kind::merge, 17, 40, 0, 1.0f},
      {"stamp", job_kind::stamp, 40, 3, 0, 1.0f},
      {"underlay stamp", job_kind::stamp, 33, 1, 1, 1.0f},
      {"translucent merge", job_kind::opacity, 24, 24, 0, 0.5f},
  };
  for (const prefetch_case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bg = put_file("pre_bg.pdf", varied_contents_pdf(c.bg_pages, "bg"));
    const std::string fg = put_file("pre_fg.pdf", varied_contents_pdf(c.fg_pages, "fg"));
    const std::string out = (scratch() / "pre_out.pdf").string();
    const job_result alone = run_job(c.kind, bg, fg, out, c.mode, c.opacity, &never);
    const job_result ahead = run_job(c.kind, bg, fg, out, c.mode, c.opacity, &always);
    ASSERT_EQ(alone.rc, 1) << alone.err;
    ASSERT_EQ(ahead.rc, 1) << ahead.err;
    // The helper runs wherever the machine has a second processor, and only when asked to.
    EXPECT_FALSE(alone.read_ahead);
    EXPECT_EQ(ahead.read_ahead, std::thread::hardware_concurrency() > 1);
    EXPECT_EQ(ahead.out, alone.out);
    // The page text made it through every readable form.
    EXPECT_NE(alone.out.find("(bg page 1) Tj"), std::string::npos);
    EXPECT_NE(alone.out.find("(bg page 3) Tj"), std::string::npos);
    EXPECT_NE(alone.out.find("(bg page 4) Tj"), std::string::npos);
    EXPECT_NE(alone.out.find("0 0 1 rg"), std::string::npos);
  }
}

// Pages whose contents are large: the read-ahead holds only so many bytes at once and waits for
// the import to catch up, which changes nothing in the output.
TEST(JobPrefetch, LargePagesWithinTheBudget) {
  std::vector<page_spec> pages;
  for (int k = 0; k < 20; ++k)
    pages.push_back({"[0 0 612 792]",
                     "% page " + std::to_string(k + 1) + "\n" + std::string(3 << 20, ' ') + "0 g\n",
                     "", true});
  const std::string bg = put_file("large_bg.pdf", doc_pdf(pages));
  const std::string fg = put_file("large_fg.pdf", n_pages_pdf(1, "fg"));
  const std::string out = (scratch() / "large_out.pdf").string();
  const job_result alone = run_job(job_kind::stamp, bg, fg, out, 0, 1.0f, &never);
  const job_result ahead = run_job(job_kind::stamp, bg, fg, out, 0, 1.0f, &always);
  ASSERT_EQ(alone.rc, 1) << alone.err;
  ASSERT_EQ(ahead.rc, 1) << ahead.err;
  EXPECT_GT(alone.out.size(), size_t{60} << 20);
  EXPECT_TRUE(ahead.out == alone.out);
}

// A job told to use no helper threads reads every page and writes the output on its own thread,
// whatever its size, with the same output.
TEST(JobPrefetch, HelperThreadsOff) {
  const std::string bg = put_file("off_bg.pdf", varied_contents_pdf(20, "bg"));
  const std::string fg = put_file("off_fg.pdf", varied_contents_pdf(20, "fg"));
  const std::string out = (scratch() / "off_out.pdf").string();
  qm::job_options on = always, off = always;
  on.output_min_pages = off.output_min_pages = 1;
  off.helper_threads = false;
  const job_result with = run_job(job_kind::merge, bg, fg, out, 0, 1.0f, &on);
  const job_result without = run_job(job_kind::merge, bg, fg, out, 0, 1.0f, &off);
  ASSERT_EQ(with.rc, 1) << with.err;
  ASSERT_EQ(without.rc, 1) << without.err;
  EXPECT_TRUE(with.output_streamed);
  EXPECT_FALSE(without.read_ahead);
  EXPECT_FALSE(without.output_streamed);
  EXPECT_EQ(without.out, with.out);
}

// A job that fails part way (the output cannot be written) stops and joins its helper; the
// next job still reads ahead normally.
TEST(JobPrefetch, FailedJobsLeaveNoHelperBehind) {
  const std::string bg = put_file("pre_bg.pdf", varied_contents_pdf(30, "bg"));
  const std::string fg = put_file("pre_fg.pdf", varied_contents_pdf(30, "fg"));
  const std::string bad_out = (scratch() / "no such dir" / "out.pdf").string();
  for (int round = 0; round < 5; ++round) {
    const job_result r = run_job(job_kind::merge, bg, fg, bad_out, 0, 1.0f, &always);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "cannot open " + bad_out + " for writing");
  }
  const job_result ok =
      run_job(job_kind::merge, bg, fg, (scratch() / "out.pdf").string(), 0, 1.0f, &always);
  EXPECT_EQ(ok.rc, 1) << ok.err;
  EXPECT_EQ(ok.read_ahead, std::thread::hardware_concurrency() > 1);
}

}  // namespace

// Without the helper, the job's thread reads every page itself as it takes it, through the same
// ring: each page's content is what reading the page directly gives, in import order (the
// background's pages, then the foreground's), also past the ring's end and for pages whose
// object is missing (not listed, so not taken).
TEST(JobPrefetch, JobThreadReadsThePagesItselfInOrder) {
  const int bg_pages = static_cast<int>(qm::content_prefetch::kSlots) * 2 + 7;
  const std::string bg_path = put_file("own_bg.pdf", varied_contents_pdf(bg_pages, "bg"));
  const std::string fg_path = put_file("own_fg.pdf", varied_contents_pdf(5, "fg"));
  qm::doc bg, fg;
  qm::msg m;
  ASSERT_EQ(qm::doc_load(bg_path.c_str(), bg, m), 0) << m.text;
  ASSERT_EQ(qm::doc_load(fg_path.c_str(), fg, m), 0) << m.text;
  // A page whose object is missing is not read.
  fg.pages[2].num = fg.max_objnum + 100;

  qm::content_prefetch p;
  p.runs[0] = {&bg, static_cast<int32_t>(bg.pages.size())};
  p.runs[1] = {&fg, static_cast<int32_t>(fg.pages.size())};
  qm::prefetch_list(p);
  ASSERT_EQ(p.items.size(), bg.pages.size() + fg.pages.size() - 1);

  size_t i = 0;
  for (const qm::doc* d : {&bg, &fg}) {
    for (const qm::page_rec& page : d->pages) {
      const qm::obj_rec* o = qm::doc_find(*d, page.num);
      if (!o) continue;
      qm::page_content direct;
      qm::read_page_content(*d, *o, direct);
      const qm::page_content& taken = qm::prefetch_take(p, i);
      EXPECT_EQ(taken.bytes, direct.bytes) << "page " << i;
      qm::prefetch_release(p, i++);
    }
  }
  EXPECT_EQ(i, p.items.size());
  EXPECT_EQ(p.held.load(), 0u);
  qm::prefetch_stop(p);
}
