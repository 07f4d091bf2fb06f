// Writing the finished output file without ever leaving a half-written or damaged one behind.
#pragma once
#include <string_view>

namespace qm {

enum class write_result { ok, cannot_open, write_error };

// Writes bytes to path. When path names a regular file or nothing yet (a symbolic link is
// followed to the file it names), the bytes go to a new temporary file in the same directory,
// which replaces the target by rename only once it is completely written and closed; an existing
// file's permission bits are kept, a new file gets those of fopen(path, "wb"). Anything else (a
// pipe, a device), and a target whose directory takes no new file, is written in place. On
// failure nothing at path has changed and no temporary file remains.
write_result safe_write(const char* path, std::string_view bytes);

}  // namespace qm
