#pragma once
// The file system, behind the platform seam like the port and the event pump: the
// control reads and writes files only through a Files, so that a host can supply its
// own and a test can make a write, a rename or a sync fail without tricks on a disk.
//
// Paths are UTF-8 std::string, as the operator typed them: names up to the file
// system's limit (255 bytes on the usual ones, many characters of several bytes) and
// paths of any length the system takes. A path holding a NUL is no path.
//
// Nothing here waits: only regular files are read or written, a FIFO or a device is
// recognised before it is opened, and a read never takes more than its limit.

#include <cstddef>
#include <string>

namespace brivel {

// Why a file could not be read.
enum class FileTrouble {
  None,
  Unreadable,  // no such file, no permission, an empty path, a read error
  NotRegular,  // a folder, a FIFO, a terminal, a device: never opened, never waited on
  TooLarge,    // more than the limit the reader gave
};
struct TextFile {
  std::string text;                         // one character per byte; empty unless trouble is None
  FileTrouble trouble = FileTrouble::None;
};

// What is known of a path without opening it.
struct FileStatus {
  bool exists = false;
  bool regular = false;
  bool folder = false;
  bool link = false;              // the path itself is a symbolic link (not followed)
  bool write_protected = false;   // no write permission for anyone in its mode
};

class Files {
 public:
  virtual ~Files() = default;
  // The whole content of a regular file of at most `limit` bytes, byte for byte, or why
  // there is none.
  virtual TextFile read_text(const std::string& path, std::size_t limit) = 0;
  // Of the path itself (`follow` false: a link is reported as a link) or what it names.
  virtual FileStatus status(const std::string& path, bool follow) = 0;
  // The path with every link resolved; empty when it cannot be resolved.
  virtual std::string resolve(const std::string& path) = 0;
  // The longest name, in bytes, that the folder takes.
  virtual std::size_t longest_name(const std::string& folder) = 0;
  // Writes `text` to a new file that must not exist yet (not even as a link) and waits
  // until it is on the disk; a failed write removes the new file again.
  virtual bool write_new(const std::string& path, const std::string& text) = 0;
  // Gives `to` the permissions of `from`.
  virtual bool copy_mode(const std::string& from, const std::string& to) = 0;
  // Gives `from` the name `to` in one step, replacing what had it.
  virtual bool rename(const std::string& from, const std::string& to) = 0;
  // Puts the folder's entries on the disk (after a rename).
  virtual bool sync_folder(const std::string& folder) = 0;
  virtual bool remove(const std::string& path) = 0;
};

// The operating system's files (POSIX where there is one, std::filesystem elsewhere).
class StandardFiles : public Files {
 public:
  TextFile read_text(const std::string& path, std::size_t limit) override;
  FileStatus status(const std::string& path, bool follow) override;
  std::string resolve(const std::string& path) override;
  std::size_t longest_name(const std::string& folder) override;
  bool write_new(const std::string& path, const std::string& text) override;
  bool copy_mode(const std::string& from, const std::string& to) override;
  bool rename(const std::string& from, const std::string& to) override;
  bool sync_folder(const std::string& folder) override;
  bool remove(const std::string& path) override;
};

// One StandardFiles for everyone who names none (it holds no state).
Files& standard_files();

}  // namespace brivel
