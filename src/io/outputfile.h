// Where a WAV file is written, so that a failed or interrupted write never
// destroys what was at the output's path and never leaves a partial file
// under its name.
//
// A regular file (or a name that does not exist yet) is written to a
// temporary file in the same folder, named after it with ".tmp-" and six
// characters, and renamed over the final name only once complete: rename
// replaces a file in one step, so a reader (or a second writer) sees either
// the old file or the new one. An output that is a symbolic link is written
// through: its target is replaced the same way and the link stays. Special
// files (devices, FIFOs) and "-", standard output, are written directly.
// Nothing here prints; errno tells the cause of a failure.
#ifndef VALLISYNTH_IO_OUTPUTFILE_H_
#define VALLISYNTH_IO_OUTPUTFILE_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace vallisynth {

// True when name is "-", standard output.
bool is_stdout_name(const char* name);

// True when a and b name the same existing file (same device and inode,
// links followed). "-" and names that do not exist match nothing.
bool same_file(const char* a, const char* b);

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // An output that was opened but not committed is discarded.
  ~OutputFile();

  // Opens name for writing as described above. False when it cannot be
  // (missing folder, no permission, a folder named as output), with nothing
  // created.
  bool open(const char* name);

  // The stream to write to; valid between open and commit or discard.
  std::FILE* stream() const {
    return file_;
  }

  // The temporary file being written, or "" when the output is written
  // directly. Its storage stays put until commit or discard.
  const char* temporary_path() const {
    return temp_.c_str();
  }

  // Sets aside room for the bytes the temporary file will hold, so that the
  // file system allocates them at once rather than when the file is renamed
  // over an existing one (ext4 then writes the new data out first, which
  // costs more than the allocation). Advisory: a file system without the
  // call, or without the room, leaves the writes to find out. Room that is
  // not written is given back on commit.
  void reserve(std::uint64_t bytes) noexcept;

  // Flushes and closes the stream and renames the temporary file over the
  // final name. False when any of this fails; the temporary file is then
  // removed and the final name is as it was before open.
  bool commit();

  // Abandons the output: closes it and removes the temporary file.
  void discard();

 private:
  std::FILE* file_ = nullptr;
  bool ownsfile_ = false;       // false for standard output, which stays open
  std::string temp_;            // "" when written directly
  std::string final_;           // the path that the temporary file replaces
  std::uint64_t reserved_ = 0;  // bytes set aside by reserve
};

}  // namespace vallisynth

#endif  // VALLISYNTH_IO_OUTPUTFILE_H_
