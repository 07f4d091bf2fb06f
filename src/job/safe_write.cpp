// Safe replacement of the output file through a temporary file and rename (POSIX), the temporary
// file unnamed until it is complete where the system allows it (Linux's O_TMPFILE).
#include "job/safe_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>

namespace qm {

std::atomic<bool> unnamed_temp_files{true};

namespace {

// Symbolic links followed before giving up, as the kernel's own limit.
constexpr int kMaxLinks = 40;
// Names tried for the temporary file before writing in place instead.
constexpr int kNameTries = 64;

}  // namespace

bool write_all(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    // Large writes are split so that each call stays within what every kernel accepts.
    const size_t chunk = left < (size_t{1} << 30) ? left : (size_t{1} << 30);
    const ssize_t n = ::write(fd, p, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

namespace {

// The directory part of a path, with its trailing slash ("" for a bare name).
std::string dir_of(const std::string& p) {
  const size_t k = p.rfind('/');
  return k == std::string::npos ? std::string() : p.substr(0, k + 1);
}

// Follows symbolic links until the path names something else or nothing. Relative link targets
// are taken from the link's own directory. Returns false on a loop or an unreadable link.
bool resolve_links(std::string& p) {
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string target(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 256, '\0');
    for (;;) {
      const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
      if (n < 0) return false;
      if (static_cast<size_t>(n) < target.size()) {
        target.resize(static_cast<size_t>(n));
        break;
      }
      target.resize(target.size() * 2);
    }
    if (target.empty()) return false;
    p = target[0] == '/' ? target : dir_of(p) + target;
  }
  return false;
}

// Descriptor and device names (/dev/stdout, /dev/fd/3, /proc/self/fd/1) are never ordinary files
// to be replaced, even where a link leads from them to one.
bool is_special_name(const std::string& p) {
  return p.rfind("/dev/", 0) == 0 || p.rfind("/proc/", 0) == 0;
}

// A fresh name beside the target: ".<name>.<pid>-<counter>-<clock>.tmp", the name part shortened
// so that the whole stays within the file-name limit. Uniqueness is enforced by O_EXCL; the parts
// only make collisions unlikely.
std::string temp_name(const std::string& target, int attempt) {
  static std::atomic<uint64_t> counter{0};
  const std::string dir = dir_of(target);
  const std::string base = target.substr(dir.size(), 64);
  const auto clock =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const uint64_t c = counter.fetch_add(1, std::memory_order_relaxed);
  return dir + "." + base + "." + std::to_string(::getpid()) + "-" + std::to_string(c) + "-" +
         std::to_string((clock >> 4) ^ static_cast<uint64_t>(attempt)) + ".tmp";
}

// Writes in place, as fopen(path, "wb") and one fwrite would, but with every failure seen.
write_result write_direct(const char* path, std::string_view bytes) {
  int fd;
  do {
    fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return write_result::cannot_open;
  const bool ok = write_all(fd, bytes);
  const bool closed = ::close(fd) == 0;
  return ok && closed ? write_result::ok : write_result::write_error;
}

// An unnamed file in the target's directory, open for writing, or -1 where the system refuses
// one (a kernel or file system without O_TMPFILE; also when the directory takes no new file,
// which the named way then finds out too). Such a file vanishes with the last descriptor: a
// process killed while writing it leaves nothing behind.
int open_unnamed(const std::string& target) {
#ifdef O_TMPFILE
  if (!unnamed_temp_files.load(std::memory_order_relaxed)) return -1;
  std::string dir = dir_of(target);
  if (dir.empty()) dir = ".";
  int fd;
  do {
    fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
#else
  (void)target;
  return -1;
#endif
}

// Gives the complete unnamed file a fresh temporary name beside the target, for the rename that
// puts it in place (a link cannot replace an existing file). True with p.tmp set.
bool name_unnamed(pending_output& p) {
  const std::string self = "/proc/self/fd/" + std::to_string(p.fd);
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    std::string tmp = temp_name(p.target, attempt);
    // Linking the descriptor itself needs a privilege most processes lack; its /proc link
    // does the same for any process that owns the descriptor.
    int rc = ::linkat(p.fd, "", AT_FDCWD, tmp.c_str(), AT_EMPTY_PATH);
    if (rc != 0 && errno != EEXIST)
      rc = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, tmp.c_str(), AT_SYMLINK_FOLLOW);
    if (rc == 0) {
      p.tmp = std::move(tmp);
      return true;
    }
    if (errno != EEXIST && errno != EINTR) return false;
  }
  return false;
}

}  // namespace

output_plan prepare_output(const char* path, pending_output* p) {
  std::string target = path;
  // An empty path or one that ends in a slash names no file; open() reports it.
  if (target.empty() || target.back() == '/' || is_special_name(target)) return output_plan::direct;
  if (!resolve_links(target) || is_special_name(target)) return output_plan::direct;

  struct stat st;
  bool exists = false;
  if (::stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return output_plan::direct;  // pipe, device, directory
    exists = true;
    // A file that we may not write is not replaced behind its owner's back.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
      return output_plan::cannot_open;
  } else if (errno != ENOENT) {
    return output_plan::direct;
  }

  // Create the temporary file: unnamed where possible, else exclusively under a fresh name. Mode
  // 0666 under the umask is exactly what a new file made by fopen gets.
  std::string tmp;
  int fd = open_unnamed(target);
  const bool unnamed = fd >= 0;
  int err = 0;
  for (int attempt = 0; attempt < kNameTries && fd < 0; ++attempt) {
    tmp = temp_name(target, attempt);
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    err = fd < 0 ? errno : 0;
    if (fd < 0 && err != EEXIST && err != EINTR) break;
  }
  if (fd < 0) {
    // The directory takes no new file (no permission, read-only): the target itself may still be
    // writable, so it is written in place. Any other failure (a full disk) would leave a
    // truncated file in place of a good one: refuse instead. A target that does not exist yet
    // has nothing to lose.
    if (!exists || err == EACCES || err == EPERM || err == EROFS) return output_plan::direct;
    return output_plan::cannot_open;
  }

  if (exists) {
    // Keep the replaced file's owner where allowed, then its permission bits (in this order: a
    // change of owner clears the set-id bits). Failing to keep the owner is not an error.
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) errno = 0;
    if (::fchmod(fd, st.st_mode & 07777) != 0) errno = 0;
  }
  p->fd = fd;
  p->unnamed = unnamed;
  p->tmp = std::move(tmp);
  p->target = std::move(target);
  return output_plan::temp;
}

write_result commit_output(pending_output& p, bool written) {
  // No fsync: like every other PDF tool, the library leaves the flushing to the system (it
  // costs more than the rest of a typical job). The rename still guarantees that no failure of
  // this process, of the write or of the disk's space leaves a partial file at the target.
  bool ok = written;
  // An unnamed file gets its temporary name now that it is complete; from here to the rename is
  // the only stretch in which a killed process leaves a temporary file behind.
  bool named = !p.unnamed;
  if (ok && p.unnamed) named = ok = name_unnamed(p);
  if (::close(p.fd) != 0) ok = false;
  p.fd = -1;
  if (ok && ::rename(p.tmp.c_str(), p.target.c_str()) != 0) ok = false;
  if (!ok && named) ::unlink(p.tmp.c_str());
  p.tmp.clear();
  p.unnamed = false;
  return ok ? write_result::ok : write_result::write_error;
}

void discard_output(pending_output& p) {
  if (p.fd < 0) return;
  ::close(p.fd);
  if (!p.unnamed) ::unlink(p.tmp.c_str());
  p.fd = -1;
  p.tmp.clear();
  p.unnamed = false;
}

write_result safe_write(const char* path, std::string_view bytes) {
  pending_output p;
  switch (prepare_output(path, &p)) {
    case output_plan::direct:
      return write_direct(path, bytes);
    case output_plan::cannot_open:
      return write_result::cannot_open;
    case output_plan::temp:
      break;
  }
  return commit_output(p, write_all(p.fd, bytes));
}

}  // namespace qm
