// Every failure of the job's frame and writer: its exact message, result 0, and no output.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "job/error.h"
#include "job/job.h"
#include "reader/load.h"
#include "support/jobpdf.h"

namespace {

using namespace qmtest;

// A page tree whose /Kids names page 3 n times: n pages (pages are not deduplicated).
std::string repeated_page_pdf(int n) {
  pdfgen g;
  g.obj(1, "<< /Type /Catalog /Pages 2 0 R >>");
  std::string kids;
  kids.reserve(static_cast<size_t>(n) * 6);
  for (int k = 0; k < n; ++k) kids += "3 0 R ";
  g.obj(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
  g.obj(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R >>");
  g.stream(4, "0 g\n");
  return g.bytes();
}

struct msg_case {
  const char* name;
  job_kind kind;
  std::string bg, fg, out;  // paths
  std::string want;         // the whole message
};

TEST(JobMessages, FailuresOfLoadingCountingAndWriting) {
  const std::string good = put_file("msg_good.pdf", n_pages_pdf(2, "good"));
  const std::string missing = (scratch() / "msg_missing.pdf").string();
  const std::string huge = put_file("msg_huge.pdf", repeated_page_pdf(1000001));
  const std::string out = (scratch() / "msg_out.pdf").string();
  const std::string no_dir = (scratch() / "msg_no_such_dir" / "out.pdf").string();
  const std::string a_dir = scratch().string();
  const std::vector<msg_case> cases = {
      {"background missing", job_kind::merge, missing, good, out, "cannot open " + missing},
      {"foreground missing", job_kind::merge, good, missing, out, "cannot open " + missing},
      {"both missing names the background", job_kind::stamp, missing + "1", missing + "2", out,
       "cannot open " + missing + "1"},
      {"1000001 pages in merge", job_kind::merge, good, huge, out,
       "invalid total page count: 1000001"},
      {"1000001 background pages in stamp", job_kind::stamp, huge, good, out,
       "invalid total page count: 1000001"},
      {"output directory missing", job_kind::merge, good, good, no_dir,
       "cannot open " + no_dir + " for writing"},
      {"output is a directory", job_kind::merge, good, good, a_dir,
       "cannot open " + a_dir + " for writing"},
      {"output device full", job_kind::stamp, good, good, "/dev/full", "write error on /dev/full"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    quiremark_init();
    int rc = 0;
    if (c.kind == job_kind::merge)
      rc = quiremark_merge(c.bg.c_str(), c.fg.c_str(), c.out.c_str(), 0);
    else
      rc = quiremark_stamp(c.bg.c_str(), c.fg.c_str(), c.out.c_str(), 0);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::string(quiremark_last_error()), c.want);
  }
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(no_dir));
}

// The page-count rule looks at the output's length only: a stamp uses the background's count,
// whatever the foreground's length.
TEST(JobMessages, StampIgnoresTheForegroundsLength) {
  const std::string bg = put_file("msg_bg3.pdf", n_pages_pdf(3, "bg"));
  const std::string huge = put_file("msg_huge.pdf", repeated_page_pdf(1000001));
  const std::string out = (scratch() / "msg_stamp_out.pdf").string();
  const job_result r = run_job(job_kind::stamp, bg, huge, out);
  ASSERT_EQ(r.rc, 1) << r.err;
  EXPECT_EQ(read_output(r.out).objs.at(2),
            "<< /Type /Pages /Kids [3 0 R 4 0 R 5 0 R ] /Count 3 >>");
}

// The job's own guards against a loaded document whose page list is empty (the loader itself
// refuses documents without pages), the background being tested first.
TEST(JobMessages, LoadedDocumentWithoutPages) {
  const std::string bytes = n_pages_pdf(1, "p");
  auto load = [&](qm::doc& d) {
    auto data = std::make_unique<char[]>(bytes.size());
    std::memcpy(data.get(), bytes.data(), bytes.size());
    qm::msg m;
    ASSERT_EQ(qm::doc_load_bytes(std::move(data), static_cast<int32_t>(bytes.size()), "mem", d, m),
              0)
        << m.text;
  };
  struct pcase {
    bool empty_bg, empty_fg;
    const char* want;
  };
  const std::vector<pcase> cases = {{true, false, "background PDF has no pages"},
                                    {false, true, "foreground PDF has no pages"},
                                    {true, true, "background PDF has no pages"}};
  const std::string out = (scratch() / "msg_nopages_out.pdf").string();
  std::filesystem::remove(out);
  for (const auto& c : cases) {
    qm::overlay_job j;
    load(j.bg);
    load(j.fg);
    if (c.empty_bg) j.bg.pages.clear();
    if (c.empty_fg) j.fg.pages.clear();
    qm::job_options o;
    o.output = out;
    EXPECT_FALSE(qm::job_run_loaded(j, o));
    EXPECT_STREQ(j.err.text, c.want);
    EXPECT_EQ(j.err_part, c.empty_bg ? qm::job_part::background : qm::job_part::foreground);
  }
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace

// The job's own result: its message (the text the exports publish), the file the failure
// concerns, and on success the pages written, with the shared error text left alone.
TEST(JobMessages, ResultNamesTheFileConcerned) {
  const std::string good = put_file("res_good.pdf", n_pages_pdf(3, "good"));
  const std::string missing = (scratch() / "res_missing.pdf").string();
  const std::string out = (scratch() / "res_out.pdf").string();
  const std::string bad_out = (scratch() / "no such dir" / "out.pdf").string();
  struct rcase {
    const char* name;
    std::string bg, fg, out;
    int mode;
    std::string want;
    qm::job_part part;
  };
  const std::vector<rcase> cases = {
      {"background missing", missing, good, out, 0, "cannot open " + missing,
       qm::job_part::background},
      {"foreground missing", good, missing, out, 0, "cannot open " + missing,
       qm::job_part::foreground},
      {"output not writable", good, good, bad_out, 0, "cannot open " + bad_out + " for writing",
       qm::job_part::output},
      {"bad mode", missing, missing, out, 2,
       "invalid mode 2: must be 0 (foreground on top) or 1 (underlay)", qm::job_part::none},
  };
  for (const rcase& c : cases) {
    SCOPED_TRACE(c.name);
    qm::set_error("untouched");
    qm::job_result r;
    qm::job_run(options_for(job_kind::merge, c.bg, c.fg, c.out, c.mode), r);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, c.want);
    EXPECT_EQ(r.part, c.part);
    EXPECT_EQ(r.pages, 0);
    EXPECT_STREQ(quiremark_last_error(), "untouched");
    EXPECT_EQ(qm::job_publish(r), 0);
    EXPECT_EQ(std::string(quiremark_last_error()), c.want);
  }
  qm::job_result r;
  qm::job_run(options_for(job_kind::stamp, good, good, out), r);
  EXPECT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.message, "");
  EXPECT_EQ(r.part, qm::job_part::none);
  EXPECT_EQ(r.pages, 3);
  EXPECT_EQ(qm::job_publish(r), 1);
  EXPECT_STREQ(quiremark_last_error(), "");
}
