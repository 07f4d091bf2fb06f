// The batch command's plan: its command line, the list of jobs it runs, the names of their
// outputs and the checks made before any job starts; and the texts it prints (progress line,
// summary, JSON document). Everything here is pure: no job runs and no file is written.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "job/run.h"

namespace qmcli::batch {

// One job of a batch: the three paths as the user gave them (or as derived from them).
struct item {
  std::string background, foreground, output;
};

// The batch command line, after parsing.
struct args {
  bool stamp = false;                    // batch stamp, else batch merge
  std::string foreground;                // FOREGROUND (not with --from-list)
  std::vector<std::string> backgrounds;  // BACKGROUND... (not with --from-list)
  std::string out_dir;                   // --out-dir DIR (not with --from-list)
  std::optional<std::string> list;       // --from-list FILE ("-": standard input)
  int jobs = 0;                          // --jobs N; 0 when not given
  bool quiet = false;                    // --quiet
  bool json = false;                     // --json
  bool help = false;                     // -h, --help
  // The job options, each with its value ("" for a flag), in the order given; each name is one
  // of kJobFlags'.
  std::vector<std::pair<std::string, std::string>> job_flags;
};

// A job option of the batch command: its flag, whether it takes a value, the check of that
// value (an error text, or nothing when the value is good) and how it sets the job's options.
// The batch command passes the same options as the single-file commands to every job: adding one
// is one line in the table (batch_plan.cpp) and one in the command's items (commands.h).
struct job_flag {
  std::string_view name;
  bool takes_value;
  std::optional<std::string> (*check)(std::string_view value);
  void (*apply)(qm::job_options& o, std::string_view value);
};

// The job options of a parsed command line, stamp or merge included, set on o (paths untouched).
void apply_job_flags(const args& a, qm::job_options& o);

// Parses the arguments after "batch". Returns nothing on success, else the usage error's text.
std::optional<std::string> parse_args(const std::vector<std::string>& argv, args& a);

// The most jobs --jobs takes.
inline constexpr int kMaxJobs = 1024;

// The name of the output for a background: its file name, with ".pdf" appended unless it ends
// in ".pdf" in any case. Nothing when the background names no file ("", "dir/", ".", "..").
std::optional<std::string> output_name(std::string_view background);

// DIR/name, without doubling a slash that ends DIR.
std::string join(std::string_view dir, std::string_view name);

// The jobs of a command line without --from-list: every background with the foreground, each
// written to DIR under output_name. Returns nothing, or the usage error's text.
std::optional<std::string> items_from_args(const args& a, std::vector<item>& items);

// Parses a job list: one job a line, background<TAB>foreground<TAB>output; a CR before the line
// feed is dropped; blank lines and lines starting with '#' are skipped. `source` names the list
// in messages. Returns nothing, or the usage error's text for the first malformed line.
std::optional<std::string> parse_list(std::string_view text, std::string_view source,
                                      std::vector<item>& items);

// Checks, before any job starts, that no two jobs write the same file and that no job writes
// over the foreground or the input of any job: the first conflict's text, or nothing. Paths are
// compared after resolving symbolic links of the folders that exist, and files that exist by
// device and inode too (hard links).
std::optional<std::string> find_conflict(const std::vector<item>& items);

// The processors this process may run on (its affinity mask), at least 1.
int default_jobs();

// How one job ended.
struct outcome {
  bool ran = false;  // the job ran to its end (false: never started)
  bool ok = false;
  std::string message;  // the library's message when it failed
  int32_t pages = 0;    // output pages when it succeeded
  double seconds = 0;   // how long it took
};

// "12.345": a non-negative number with `decimals` digits after the point, rounded, printed
// without the C library's locale.
std::string fixed(double v, int decimals);

// The progress line's text (without the carriage return): "37/1000 files: 35 done, 2 failed,
// 45.3 files/s, 0:21 left".
std::string progress_text(size_t done, size_t failed, size_t total, double elapsed);

// The summary line's text: "1000 files: 998 done, 2 failed, 12.3 s, 81.1 files/s", with
// ", interrupted: 500 not started" when the batch was interrupted.
std::string summary_text(size_t done, size_t failed, size_t total, double elapsed,
                         bool interrupted);

// A JSON string: quotes, backslashes and control characters escaped, a byte sequence that is not
// UTF-8 replaced by U+FFFD.
std::string json_string(std::string_view s);

// The JSON document of a batch: the files that ran, in the order of the jobs, then the counts
// and the time taken.
std::string json_document(const std::vector<item>& items, const std::vector<outcome>& outcomes,
                          double elapsed, bool interrupted);

}  // namespace qmcli::batch
