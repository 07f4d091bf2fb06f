// Writing the finished output file without ever leaving a half-written or damaged one behind.
#pragma once
#include <atomic>
#include <string>
#include <string_view>

namespace qm {

enum class write_result { ok, cannot_open, write_error };

// Writes bytes to path. When path names a regular file or nothing yet (a symbolic link is
// followed to the file it names), the bytes go to a new temporary file in the same directory,
// which replaces the target by rename only once it is completely written and closed. Where the
// system allows it (O_TMPFILE), the temporary file has no name while it is written: it gets a
// fresh temporary name only when complete, just before the rename, so a process killed while
// writing leaves nothing behind; elsewhere it is named from the start (".<name>.<pid>-....tmp").
// An existing file's permission bits are kept, a new file gets those of fopen(path, "wb"). Anything
// else (a pipe, a device), and a target whose directory takes no new file, is written in place. On
// failure nothing at path has changed and no temporary file remains.
write_result safe_write(const char* path, std::string_view bytes);

// The same in steps, for an output written while it is still being made.
//
// prepare_output decides how path is written: `temp` when the temporary file was created (then p
// holds it, open for writing, with the target's permission bits already given), `direct` when the
// target must be written in place (safe_write's rules), `cannot_open` when it must not be written.
// Bytes then go to p.fd with write_all; commit_output closes the file and renames it over the
// target when everything was written (written = true) and the close succeeded, and otherwise
// removes it. discard_output removes a temporary file that is no longer wanted.
enum class output_plan { temp, direct, cannot_open };
struct pending_output {
  int fd = -1;
  bool unnamed = false;  // the temporary file has no name yet (O_TMPFILE)
  std::string tmp;       // the temporary file's name, once it has one
  std::string target;    // the file it will replace, symbolic links followed
};
output_plan prepare_output(const char* path, pending_output* p);

// Whether temporary files are made unnamed where the system allows it: true unless a test turns
// it off to exercise the named way.
extern std::atomic<bool> unnamed_temp_files;
bool write_all(int fd, std::string_view bytes);
write_result commit_output(pending_output& p, bool written);
void discard_output(pending_output& p);

}  // namespace qm
