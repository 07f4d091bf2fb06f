// The public interface: argument treatment, the error text and its lifetime, the exports' results.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "job/error.h"
#include "support/jobpdf.h"

namespace {

using namespace qmtest;

// Defined first: nothing has written the text yet when this runs in a fresh process.
TEST(Api, ErrorTextEmptyAtLoad) {
  ASSERT_NE(quiremark_last_error(), nullptr);
  EXPECT_STREQ(quiremark_last_error(), "");
}

struct good_inputs {
  std::string bg = put_file("api_bg.pdf", n_pages_pdf(1, "bg"));
  std::string fg = put_file("api_fg.pdf", n_pages_pdf(1, "fg"));
  std::string out = (scratch() / "api_out.pdf").string();
};

// The three job functions, called uniformly.
using job_fn = int (*)(const char*, const char*, const char*, int);
int merge_opacity_half(const char* b, const char* f, const char* o, int m) {
  return quiremark_merge_opacity(b, f, o, m, 0.5f);
}
const std::vector<std::pair<const char*, job_fn>> kJobs = {
    {"merge", quiremark_merge}, {"stamp", quiremark_stamp}, {"merge_opacity", merge_opacity_half}};

TEST(Api, NullPathsAreRefusedBeforeTheMode) {
  good_inputs in;
  for (const auto& [name, fn] : kJobs) {
    // Every combination with at least one null path, with a good mode and with a bad one.
    for (int mask = 1; mask < 8; ++mask) {
      for (int mode : {0, 7, -1}) {
        SCOPED_TRACE(std::string(name) + " mask " + std::to_string(mask) + " mode " +
                     std::to_string(mode));
        std::filesystem::remove(in.out);
        const char* b = mask & 1 ? nullptr : in.bg.c_str();
        const char* f = mask & 2 ? nullptr : in.fg.c_str();
        const char* o = mask & 4 ? nullptr : in.out.c_str();
        EXPECT_EQ(fn(b, f, o, mode), 0);
        EXPECT_STREQ(quiremark_last_error(), "NULL path argument");
        EXPECT_FALSE(std::filesystem::exists(in.out));
      }
    }
  }
}

TEST(Api, BadModesAreRefusedBeforeAnyFile) {
  // The inputs do not exist: a mode message proves that nothing was opened.
  const std::string missing = (scratch() / "api_missing.pdf").string();
  const std::string out = (scratch() / "api_mode_out.pdf").string();
  for (const auto& [name, fn] : kJobs) {
    for (int mode : {2, 7, -1, INT_MIN, INT_MAX}) {
      SCOPED_TRACE(std::string(name) + " mode " + std::to_string(mode));
      std::filesystem::remove(out);
      EXPECT_EQ(fn(missing.c_str(), missing.c_str(), out.c_str(), mode), 0);
      EXPECT_EQ(std::string(quiremark_last_error()),
                "invalid mode " + std::to_string(mode) +
                    ": must be 0 (foreground on top) or 1 (underlay)");
      EXPECT_FALSE(std::filesystem::exists(out));
    }
  }
}

TEST(Api, GoodModesRunTheJob) {
  good_inputs in;
  for (const auto& [name, fn] : kJobs) {
    for (int mode : {0, 1}) {
      SCOPED_TRACE(std::string(name) + " mode " + std::to_string(mode));
      quiremark_merge(nullptr, nullptr, nullptr, 0);  // leave a message behind
      EXPECT_EQ(fn(in.bg.c_str(), in.fg.c_str(), in.out.c_str(), mode), 1);
      EXPECT_STREQ(quiremark_last_error(), "");  // emptied by the success
    }
  }
}

TEST(Api, InitAndCleanupEmptyTheText) {
  const char* text = quiremark_last_error();
  for (int k = 0; k < 3; ++k) {
    quiremark_merge(nullptr, "a", "b", 0);
    EXPECT_STREQ(text, "NULL path argument");  // the live buffer, not a copy
    EXPECT_EQ(quiremark_init(), 1);
    EXPECT_STREQ(text, "");
    quiremark_merge(nullptr, "a", "b", 0);
    quiremark_cleanup();
    EXPECT_STREQ(text, "");
    EXPECT_EQ(quiremark_last_error(), text);
  }
  // Jobs run after cleanup without init.
  good_inputs in;
  EXPECT_EQ(quiremark_merge(in.bg.c_str(), in.fg.c_str(), in.out.c_str(), 0), 1);
}

TEST(Api, FailedThenSuccessfulJobLeavesNoText) {
  good_inputs in;
  const std::string missing = (scratch() / "api_nothing_here.pdf").string();
  EXPECT_EQ(quiremark_merge(missing.c_str(), in.fg.c_str(), in.out.c_str(), 0), 0);
  EXPECT_EQ(std::string(quiremark_last_error()), "cannot open " + missing);
  EXPECT_EQ(quiremark_stamp(in.bg.c_str(), in.fg.c_str(), in.out.c_str(), 0), 1);
  EXPECT_STREQ(quiremark_last_error(), "");
}

// A message longer than the text is cut after 1023 bytes and stays terminated.
TEST(Api, LongMessageIsCutAt1023Bytes) {
  good_inputs in;
  const std::string out = (scratch() / "no_such_dir" / std::string(2000, 'x')).string() + ".pdf";
  EXPECT_EQ(quiremark_merge(in.bg.c_str(), in.fg.c_str(), out.c_str(), 0), 0);
  const std::string full = "cannot open " + out + " for writing";
  ASSERT_GT(full.size(), 1023u);
  EXPECT_EQ(std::strlen(quiremark_last_error()), 1023u);
  EXPECT_EQ(std::string(quiremark_last_error()), full.substr(0, 1023));
}

// set_error formats as msg_set does (its cases are in the text tests) into the shared text.
TEST(Api, SetErrorWritesTheSharedText) {
  qm::set_error("x %s y", std::string(5000, 'b').c_str());
  EXPECT_EQ(std::string(quiremark_last_error()), ("x " + std::string(5000, 'b')).substr(0, 1023));
  qm::set_error("page %ld of %d", 1000001L, -7);
  EXPECT_STREQ(quiremark_last_error(), "page 1000001 of -7");
  // A message may quote the one it replaces.
  qm::set_error("first");
  qm::set_error("%s, then second", qm::g_err);
  EXPECT_STREQ(quiremark_last_error(), "first, then second");
  qm::clear_error();
  EXPECT_STREQ(quiremark_last_error(), "");
}

// Out-of-range opacities are clamped, never refused: NaN and 1.5 give exactly the output of
// opacity 1, -0.25 exactly that of 0.
TEST(Api, OpacityIsClamped) {
  good_inputs in;
  auto run = [&](float op) {
    EXPECT_EQ(quiremark_merge_opacity(in.bg.c_str(), in.fg.c_str(), in.out.c_str(), 0, op), 1);
    return read_file(in.out);
  };
  const std::string opaque = run(1.0f), clear = run(0.0f);
  EXPECT_NE(opaque, clear);
  EXPECT_EQ(run(std::numeric_limits<float>::quiet_NaN()), opaque);
  EXPECT_EQ(run(1.5f), opaque);
  EXPECT_EQ(run(std::numeric_limits<float>::infinity()), opaque);
  EXPECT_EQ(run(-0.25f), clear);
  EXPECT_EQ(run(-std::numeric_limits<float>::infinity()), clear);
  EXPECT_EQ(run(0.999f), opaque);
  ASSERT_EQ(quiremark_merge(in.bg.c_str(), in.fg.c_str(), in.out.c_str(), 0), 1);
  EXPECT_EQ(read_file(in.out), opaque);
}

}  // namespace
