// Every disk access of the program goes through this small interface; file_io_posix.cpp (and its
// Windows counterpart) implement it, so no other file of the product names a system call.
//
// Promises:
// - A failure raises FileError, whose message names the path in the service's words ("Cannot open file "<path>". <system text>", "Cannot create file ...", "Cannot read file
//   ...", "Cannot write file ...") and which carries the system's error number as an errno value
//   (the Windows side maps its own codes onto these), for callers with messages of their own.
// - Interrupted system calls are retried; a write writes everything or fails.
// - ReplaceFile never leaves a half-written file at `path`: the bytes go to a new file beside it,
//   which gets the mode asked for, is flushed to the disk and then renamed over `path`. On any
//   failure the new file is removed and `path` keeps what it held.
// - Files are opened in binary mode, never inherited by child processes. A file opened for
//   reading never holds the process in its opening (a FIFO in the name, say).
// - A path that goes through a held folder (held_folder.h: Reach) opens the file there; messages
//   name it by the folder's path (ShownPath).
// - Where the program keeps a file of its own (the log, the lock, the XML files) only a regular file
//   is opened: a FIFO, a device or a folder in that name fails at once, never waited on, with a
//   message that names it (NotRegularFileMessage).
// - Nothing is ever removed recursively, and a file is removed or replaced as the link it may be,
//   never as what the link leads to.
// - Temporary files have names no one can guess and are created new, never opened when something
//   is already there.
// - On Windows, where permission bits mean nothing, every file the program creates gets a
//   protected DACL instead, whatever its folder's rules: SYSTEM, the Administrators and the
//   service's account (folder_trust.h), and this process's own account when it runs as none of
//   them and not as an elevated administrator. A link there is a reparse point (a symbolic link, a
//   junction).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "base/held_folder.h"

namespace quirada {

class FileError : public Exception {
 public:
  FileError(const std::string& message, int error) : Exception(message), error_(error) {}
  // The errno value of the failure.
  int error() const { return error_; }

 private:
  int error_;
};

// What is at a path.
struct FileInfo {
  enum class Kind { kRegular, kDirectory, kSymlink, kFifo, kDevice, kSocket, kOther };
  Kind kind = Kind::kOther;
  uint64_t size = 0;
  int64_t modified_ns = 0;  // last modification, nanoseconds since 1970
  uint64_t identity = 0;    // tells two files of the same size and time apart (the inode)
  uint32_t mode = 0;        // permission bits (07777); on Windows 0444 or 0644 by the read-only
                            // attribute alone (who may open a file is folder_trust.h's matter)
  // Whether the file belongs to the user this process acts as (on Windows: its owner is that
  // user or the owner the process gives the files it creates); false when that cannot be read.
  bool owned = false;

  bool IsRegular() const { return kind == Kind::kRegular; }
  bool IsDirectory() const { return kind == Kind::kDirectory; }
};

// Whether a symbolic link in a file's own name is followed when the file is opened.
enum class Links { kFollow, kRefuse };

// "O arquivo "<path>" é uma FIFO (um dispositivo, uma pasta...), não um arquivo comum: ..." for a
// file the program will not open as what it is.
std::string NotRegularFileMessage(const std::string& path, FileInfo::Kind kind);

// What is at `path`, following symbolic links unless `follow_links` is false; nothing when nothing
// is there or it cannot be examined.
std::optional<FileInfo> GetFileInfo(const std::string& path, bool follow_links = true);

// Whether anything at all is at `path`.
bool FileExists(const std::string& path);

// Whether this process may create and write files in the folder `dir`.
bool CanWriteFolder(const std::string& dir);

// The absolute path of what `path` leads to, every symbolic link on the way followed (to write
// beside the real file rather than beside a link to it). "Cannot open file" when nothing is there.
std::string ResolvedPath(const std::string& path);

// Removes the file at `path` (a link itself, never what it leads to; never a folder); returns
// false when it could not be removed (or was not there).
bool RemoveFile(const std::string& path);

// Makes room at `path` for a file that is to be renamed there (ReplaceFile): a folder there is
// renamed aside, beside it, to "<path>.antigo-<random>" (what it holds stays in it); a link to a
// folder (a junction on Windows) is removed itself, never what it leads to. A file, a link to one,
// a FIFO stay: the rename replaces them. Raises FileError, with a message that says what is in the
// way, when the way stays blocked.
void MakeRoomFor(const std::string& path);

// The whole content of the file at `path`. A file larger than `max_bytes` fails with EFBIG
// ("File "<path>" is larger than <max_bytes> bytes").
std::string ReadWholeFile(const std::string& path, uint64_t max_bytes);

class File;
// The rest of an open file, read up to its end, with the same limit.
std::string ReadToEnd(File& file, uint64_t max_bytes);

// Replaces the content of `path` as described above; the file ends with permission bits `mode`.
void ReplaceFile(const std::string& path, std::string_view content, uint32_t mode);

// Adds `bytes` at the end of `path`, creating it with permission bits `create_mode` (less the
// process's umask) when it is not there.
void AppendToFile(const std::string& path, std::string_view bytes, uint32_t create_mode);

// One open file, closed when the object goes.
class File {
 public:
  // For reading. "Cannot open file". With Links::kRefuse a link in `path` fails (ELOOP) rather
  // than being followed.
  static File OpenForReading(const std::string& path, Links links = Links::kFollow);
  // For writing from the start: created with `mode` (less the umask) or emptied. "Cannot create
  // file".
  static File Create(const std::string& path, uint32_t mode);
  // A new file, created with `mode` (less the umask); fails (EEXIST) when anything is there already,
  // a link included (never followed). "Cannot create file".
  static File CreateNew(const std::string& path, uint32_t mode);
  // An existing file, for reading and writing at any place. "Cannot open file".
  static File OpenForUpdate(const std::string& path);
  // For adding at the end, created with `mode` (less the umask) when missing. "Cannot open file".
  // Only a regular file is opened (NotRegularFileMessage otherwise, EINVAL); with Links::kRefuse a
  // symbolic link in `path` fails too (ELOOP). It is open for reading as well (ReadAt) when this
  // process may read it; when it may not, ReadAt fails as opening it for reading would have.
  static File OpenForAppend(const std::string& path, uint32_t mode, Links links = Links::kFollow);

  // No file; Close does nothing.
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  const std::string& path() const { return path_; }
  // What the open file is (its kind, size, owner...).
  FileInfo Info() const;

  // Reads the next bytes, at most `max`; 0 only at the end. "Cannot read file".
  size_t Read(char* buffer, size_t max);
  // Reads at `offset` without moving the position; fewer bytes only at the end.
  size_t ReadAt(uint64_t offset, char* buffer, size_t max);
  // Writes all of `bytes` at the position (at the end in append mode). "Cannot write file".
  void Write(std::string_view bytes);
  // Cuts the file to `size` bytes and moves the position to its end. "Cannot write file".
  void Truncate(uint64_t size);
  // Moves the position to the end.
  void SeekToEnd();
  // Gives the file the permission bits `mode`, whatever the umask. "Cannot write file".
  void SetMode(uint32_t mode);
  // Flushes what was written to the disk. "Cannot write file".
  void Sync();
  // Closes now and reports a failure of the close ("Cannot write file"); the destructor closes
  // quietly.
  void Close();

 private:
  File(const std::string& path, intptr_t handle) : path_(ShownPath(path)), handle_(handle) {}
  [[noreturn]] void Fail(const char* what, int error) const;

  std::string path_;
  intptr_t handle_ = -1;
  int read_error_ = 0;  // why a file opened for adding cannot be read, 0 when it can
};

}  // namespace quirada
