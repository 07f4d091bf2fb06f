// Jobs on eight threads at once, and many jobs one after another on one thread: each output is
// byte for byte what the same job gives alone.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "job/out_stream.h"
#include "job/prefetch.h"
#include "job/run.h"
#include "support/jobpdf.h"

namespace {

using namespace qmtest;

struct thread_job {
  job_kind kind;
  int mode;
  float opacity;
  std::string bg, fg, out;
  std::string alone;  // the output of the job run by itself
};

TEST(JobThreads, EightThreadsGiveTheSingleThreadedOutputs) {
  // Eight different jobs over different inputs: page counts, boxes, rotations, resources (with
  // Flate content), all three job kinds and both modes.
  const std::string res = "/Resources << /Font << /F1 50 0 R >> >>";
  const std::map<int, std::string> font = {
      {50, "<< /Type /Font /Subtype /Type1 /BaseFont /Times-Roman >>"}};
  std::vector<std::string> docs;
  for (int k = 0; k < 8; ++k) {
    std::vector<page_spec> pages;
    for (int p = 0; p <= k % 4; ++p) {
      const std::string box = "[" + std::to_string(k) + " 0 " + std::to_string(300 + 40 * k) + " " +
                              std::to_string(500 + 10 * p) + "]";
      pages.push_back({box, "BT /F1 12 Tf (doc " + std::to_string(k) + ") Tj ET\n",
                       res + (p % 2 ? " /Rotate 90" : ""), k % 2 == 1});
    }
    docs.push_back(put_file("thr_in" + std::to_string(k) + ".pdf", doc_pdf(pages, font)));
  }
  std::vector<thread_job> jobs;
  const job_kind kinds[] = {job_kind::merge, job_kind::stamp, job_kind::opacity};
  for (int k = 0; k < 8; ++k)
    jobs.push_back({kinds[k % 3], k % 2, 0.25f * static_cast<float>(k % 4), docs[k],
                    docs[(k + 3) % 8],
                    (scratch() / ("thr_out" + std::to_string(k) + ".pdf")).string(), ""});
  for (auto& j : jobs) {
    const job_result r = run_job(j.kind, j.bg, j.fg, j.out, j.mode, j.opacity);
    ASSERT_EQ(r.rc, 1) << r.err;
    j.alone = r.out;
  }
  // The jobs at once use helper threads of their own: contents read ahead, output written in
  // small pieces as it is made (these small jobs do neither by default, as they did alone).
  qm::job_options helpers;
  helpers.read_ahead_min_pages = 1;
  helpers.output_min_pages = 1;
  helpers.output_chunk_bytes = 64;
  // Failing jobs run alongside: they write the shared error text while the others empty it.
  const std::string missing = (scratch() / "thr_missing.pdf").string();
  for (int round = 0; round < 5; ++round) {
    std::vector<int> rc(jobs.size(), -1);
    std::vector<int> failed_rc(4, -1);
    std::vector<std::thread> threads;
    for (size_t k = 0; k < failed_rc.size(); ++k)
      threads.emplace_back([&, k] {
        const std::string out = (scratch() / ("thr_fail" + std::to_string(k) + ".pdf")).string();
        failed_rc[k] = quiremark_merge(missing.c_str(), docs[k].c_str(), out.c_str(), 0);
      });
    for (size_t k = 0; k < jobs.size(); ++k) {
      // Each through the job's own entry point with the helpers' options, its result published
      // as the exports publish it (a success empties the shared text).
      threads.emplace_back([&, k] {
        const thread_job& j = jobs[k];
        qm::job_result r;
        qm::job_run(options_for(j.kind, j.bg, j.fg, j.out, j.mode, j.opacity, helpers), r);
        rc[k] = qm::job_publish(r);
      });
    }
    for (auto& t : threads) t.join();
    for (int r : failed_rc) EXPECT_EQ(r, 0);
    for (size_t k = 0; k < jobs.size(); ++k) {
      EXPECT_EQ(rc[k], 1) << "job " << k;
      EXPECT_EQ(read_file(jobs[k].out), jobs[k].alone) << "job " << k << " round " << round;
    }
  }
  // The jobs differ from each other, so a mix-up would show.
  for (size_t k = 1; k < jobs.size(); ++k) EXPECT_NE(jobs[k].alone, jobs[0].alone);
  EXPECT_QPDF_ACCEPTS(jobs[2].out);
}

TEST(JobThreads, JobsInTurnOnOneThreadGiveWhatEachGivesOnAFreshThread) {
  // A thread keeps its last job's largest buffers for its next job. Whatever ran before (an
  // output too large to be kept, one whose writing failed after it was made whole, a job whose
  // input failed, larger and smaller jobs), each job writes what it writes on a thread of its
  // own; to a file and to bytes alike.
  const std::string big = put_file("turn_big.pdf", varied_contents_pdf(4000, "big"));
  const std::string small = put_file("turn_small.pdf", varied_contents_pdf(9, "small"));
  const std::string other = put_file("turn_other.pdf", varied_contents_pdf(3, "other"));
  const std::string stamp = put_file("turn_stamp.pdf", n_pages_pdf(1, "stamp"));
  const std::string nowhere = (scratch() / "no such dir" / "out.pdf").string();
  const std::string missing = (scratch() / "turn_missing.pdf").string();
  struct turn {
    job_kind kind;
    std::string bg, fg, out;
    bool ok;
  };
  const std::vector<turn> turns = {
      {job_kind::merge, big, small, "", true},     {job_kind::stamp, small, stamp, nowhere, false},
      {job_kind::stamp, small, stamp, "", true},   {job_kind::merge, missing, small, "", false},
      {job_kind::opacity, other, small, "", true}, {job_kind::merge, small, other, "", true},
      {job_kind::stamp, other, stamp, "", true},
  };
  // Runs turn k to bytes, or to its path when it has one; returns what it wrote.
  auto run_turn = [&](const turn& t) {
    qm::job_options o = options_for(t.kind, t.bg, t.fg, t.out, 0, 0.5f);
    std::string bytes;
    if (t.out.empty()) o.output_bytes = &bytes;
    qm::job_result r;
    qm::job_run(o, r);
    EXPECT_EQ(r.ok, t.ok) << r.message;
    return r.ok ? bytes : std::string("failed: ") + r.message;
  };
  std::vector<std::string> fresh(turns.size()), in_turn(turns.size());
  for (size_t k = 0; k < turns.size(); ++k)
    std::thread([&, k] { fresh[k] = run_turn(turns[k]); }).join();
  std::thread([&] {
    for (int round = 0; round < 2; ++round)
      for (size_t k = 0; k < turns.size(); ++k) in_turn[k] = run_turn(turns[k]);
  }).join();
  for (size_t k = 0; k < turns.size(); ++k) EXPECT_EQ(in_turn[k], fresh[k]) << "turn " << k;
  EXPECT_GT(fresh[0].size(), size_t{1} << 20);  // too large to be kept
  EXPECT_NE(fresh[2], fresh[6]);
}

}  // namespace
