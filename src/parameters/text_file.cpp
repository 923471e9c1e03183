// The module's text-file routines: the whole file in, a text out. One character per
// byte, no translation of line ends, no byte-order mark: the parameter file is plain
// single-byte text, and what a reader gets back is exactly what the writer put down.
//
// Only regular files are read or written, and never more than kTextFileLimit bytes are
// read: a path that names a FIFO, a terminal or a device such as /dev/zero must not
// block the host's thread or fill its memory. Nothing here waits: a FIFO or a device is
// recognised before it is opened (and again on the open descriptor, which is opened
// non-blocking, in case the path changed in between).

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

#include "control/module_function.h"

#if defined(__unix__) || defined(__APPLE__)
#define BRIVEL_POSIX_FILES 1
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <filesystem>
#include <system_error>
#endif

namespace brivel::ModuleFunction {

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

// Writes `text` to `path`. `create_new`: the file must not exist yet, a symbolic link
// is not followed (a replacement written beside its target), and a failure removes the
// file again. Otherwise the file is created if needed and replaced (or appended to);
// only a regular file is written.
bool write_file(const std::string& path, const std::string& text, bool append, bool create_new) {
  if (!usable_path(path)) return false;
  int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (create_new) flags |= O_EXCL | O_NOFOLLOW;
  if (append) flags |= O_APPEND;
  Descriptor fd(::open(path.c_str(), flags, 0666));   // a FIFO without a reader: ENXIO
  if (fd.get() < 0) return false;   // nothing created (O_EXCL: not ours to remove)
  const auto written = [&] {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (!append && !create_new && ::ftruncate(fd.get(), 0) != 0) return false;
    if (!write_all(fd.get(), text)) return false;
    // On the disk before the caller relies on it (a replacement is renamed next).
    return ::fsync(fd.get()) == 0 && fd.close();
  }();
  if (!written && create_new) ::unlink(path.c_str());
  return written;
}

#endif

}  // namespace

TextFile read_text_file(const std::string& path) {
  if (!usable_path(path)) return {{}, FileTrouble::Unreadable};
#if BRIVEL_POSIX_FILES
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {{}, FileTrouble::Unreadable};
  if (!S_ISREG(st.st_mode)) return {{}, FileTrouble::NotRegular};   // never opened
  if (st.st_size > static_cast<off_t>(kTextFileLimit)) return {{}, FileTrouble::TooLarge};

  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return {{}, FileTrouble::Unreadable};
  if (::fstat(fd.get(), &st) != 0) return {{}, FileTrouble::Unreadable};
  if (!S_ISREG(st.st_mode)) return {{}, FileTrouble::NotRegular};
  if (st.st_size > static_cast<off_t>(kTextFileLimit)) return {{}, FileTrouble::TooLarge};

  // The size may change while the file is read: read at most one byte past the limit.
  TextFile file;
  file.text.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[4096];
  for (;;) {
    const std::size_t room = kTextFileLimit + 1 - file.text.size();
    const ssize_t n = ::read(fd.get(), buffer, std::min(sizeof buffer, room));
    if (n < 0) {
      if (errno == EINTR) continue;
      return {{}, FileTrouble::Unreadable};   // a half-read file is no file
    }
    if (n == 0) break;
    file.text.append(buffer, static_cast<std::size_t>(n));
    if (file.text.size() > kTextFileLimit) return {{}, FileTrouble::TooLarge};
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
    if (file.text.size() > kTextFileLimit) return {{}, FileTrouble::TooLarge};
  }
  if (in.bad()) return {{}, FileTrouble::Unreadable};
  return file;
#endif
}

std::string ReadTextFile(const std::string& path) {
  TextFile file = read_text_file(path);
  return file.trouble == FileTrouble::None ? std::move(file.text) : std::string();
}

bool WriteTextFile(const std::string& text, const std::string& path, bool append) {
#if BRIVEL_POSIX_FILES
  return write_file(path, text, append, false);
#else
  if (!usable_path(path)) return false;
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) return false;
  const auto mode = std::ios::out | std::ios::binary | (append ? std::ios::app : std::ios::trunc);
  std::ofstream out(path, mode);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();   // flushes: a full disk shows here
  return !out.fail();
#endif
}

bool WriteNewTextFile(const std::string& text, const std::string& path) {
#if BRIVEL_POSIX_FILES
  return write_file(path, text, false, true);
#else
  std::error_code ec;
  if (!usable_path(path) || std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return false;
  if (WriteTextFile(text, path, false)) return true;
  std::filesystem::remove(path, ec);
  return false;
#endif
}

}  // namespace brivel::ModuleFunction
