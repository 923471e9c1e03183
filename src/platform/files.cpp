// The operating system's files: the whole file in, a text out. One character per
// byte, no translation of line ends, no byte-order mark: what a reader gets back is
// exactly what the writer put down.
//
// Only regular files are read or written, and never more than the reader's limit is
// read: a path that names a FIFO, a terminal or a device such as /dev/zero must not
// block the host's thread or fill its memory. Nothing here waits: a FIFO or a device is
// recognised before it is opened (and again on the open descriptor, which is opened
// non-blocking, in case the path changed in between).

#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#define BRIVEL_POSIX_FILES 1
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brivel {

namespace {

bool usable_path(const std::string& path) {
  // A NUL inside the text would silently name another, shorter path.
  return !path.empty() && path.find('\0') == std::string::npos;
}

#if BRIVEL_POSIX_FILES

// Closes a descriptor on every way out; reports whether the close itself worked (a
// write-back error may show only there).
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;   // a full disk (ENOSPC), a size limit (EFBIG), an I/O error
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes `text` to a new file at `path` (a symbolic link is not followed), on the
// disk; a failure removes the file again. Only a regular file is written.
bool write_new_file(const std::string& path, const std::string& text) {
  if (!usable_path(path)) return false;
  Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                       0666));
  if (fd.get() < 0) return false;   // nothing created (O_EXCL: not ours to remove)
  const auto written = [&] {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (!write_all(fd.get(), text)) return false;
    // On the disk before the caller relies on it (a replacement is renamed next).
    return ::fsync(fd.get()) == 0 && fd.close();
  }();
  if (!written) ::unlink(path.c_str());
  return written;
}

#endif

}  // namespace

TextFile StandardFiles::read_text(const std::string& path, std::size_t limit) {
  if (!usable_path(path)) return {{}, FileTrouble::Unreadable};
#if BRIVEL_POSIX_FILES
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {{}, FileTrouble::Unreadable};
  if (!S_ISREG(st.st_mode)) return {{}, FileTrouble::NotRegular};   // never opened
  if (st.st_size > static_cast<off_t>(limit)) return {{}, FileTrouble::TooLarge};

  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return {{}, FileTrouble::Unreadable};
  if (::fstat(fd.get(), &st) != 0) return {{}, FileTrouble::Unreadable};
  if (!S_ISREG(st.st_mode)) return {{}, FileTrouble::NotRegular};
  if (st.st_size > static_cast<off_t>(limit)) return {{}, FileTrouble::TooLarge};

  // The size may change while the file is read: read at most one byte past the limit.
  TextFile file;
  file.text.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[4096];
  for (;;) {
    const std::size_t room = limit + 1 - file.text.size();
    const ssize_t n = ::read(fd.get(), buffer, std::min(sizeof buffer, room));
    if (n < 0) {
      if (errno == EINTR) continue;
      return {{}, FileTrouble::Unreadable};   // a half-read file is no file
    }
    if (n == 0) break;
    file.text.append(buffer, static_cast<std::size_t>(n));
    if (file.text.size() > limit) return {{}, FileTrouble::TooLarge};
  }
  return file;
#else
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec) return {{}, FileTrouble::Unreadable};
  if (!std::filesystem::is_regular_file(status)) return {{}, FileTrouble::NotRegular};
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in) return {{}, FileTrouble::Unreadable};
  TextFile file;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    file.text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (file.text.size() > limit) return {{}, FileTrouble::TooLarge};
  }
  if (in.bad()) return {{}, FileTrouble::Unreadable};
  return file;
#endif
}

FileStatus StandardFiles::status(const std::string& path, bool follow) {
  namespace fs = std::filesystem;
  FileStatus out;
  if (!usable_path(path)) return out;
  std::error_code ec;
  const fs::file_status own = fs::symlink_status(path, ec);
  out.link = fs::is_symlink(own);
  const fs::file_status st = follow ? fs::status(path, ec) : own;
  out.exists = fs::exists(st);
  out.regular = fs::is_regular_file(st);
  out.folder = fs::is_directory(st);
  using fs::perms;
  out.write_protected =
      out.exists && (st.permissions() & (perms::owner_write | perms::group_write | perms::others_write)) == perms::none;
  return out;
}

std::string StandardFiles::resolve(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path resolved = std::filesystem::canonical(path, ec);
  return ec ? std::string() : resolved.string();
}

std::size_t StandardFiles::longest_name(const std::string& folder) {
#if BRIVEL_POSIX_FILES
  const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  if (limit > 0) return static_cast<std::size_t>(limit);
#else
  (void)folder;
#endif
  return 255;
}

bool StandardFiles::write_new(const std::string& path, const std::string& text) {
#if BRIVEL_POSIX_FILES
  return write_new_file(path, text);
#else
  std::error_code ec;
  if (!usable_path(path) || std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return false;
  std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
  if (out) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();   // flushes: a full disk shows here
    if (!out.fail()) return true;
  }
  std::filesystem::remove(path, ec);
  return false;
#endif
}

bool StandardFiles::copy_mode(const std::string& from, const std::string& to) {
  std::error_code ec;
  const auto st = std::filesystem::status(from, ec);
  if (ec) return false;
  std::filesystem::permissions(to, st.permissions(), ec);
  return !ec;
}

bool StandardFiles::rename(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::rename(from, to, ec);
  return !ec;
}

bool StandardFiles::sync_folder(const std::string& folder) {
#if BRIVEL_POSIX_FILES
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
#else
  (void)folder;
  return true;
#endif
}

bool StandardFiles::remove(const std::string& path) {
  std::error_code ec;
  return std::filesystem::remove(path, ec);
}

Files& standard_files() {
  static StandardFiles files;
  return files;
}

}  // namespace brivel
