// Helpers shared by the fuzz targets: a private scratch directory per
// process, tree removal, small file helpers and a little-endian reader for
// the targets' input layouts.
#ifndef QELLOG_TESTS_FUZZ_FUZZ_UTIL_H
#define QELLOG_TESTS_FUZZ_FUZZ_UTIL_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// The process's scratch directory, created on first use with mkdtemp (on
// tmpfs when /dev/shm is usable, so that fsync stays cheap) and removed at
// exit. Its path contains no '.', so no file name under it can have an
// extension that starts above it. QELLOG_FUZZ_TMPDIR chooses the parent.
const std::string& scratch_dir(const char* tag);

// Removes everything below `dir`, keeping `dir` itself.
void clear_dir(const std::string& dir);

// mkdir -p; false when a component cannot be created.
bool make_dirs(const std::string& path);

// Replaces `path` with `size` bytes of `data`.
bool write_file(const std::string& path, const void* data, size_t size);

// The whole content of a file, empty when it cannot be read.
std::string read_file(const std::string& path);

// Makes `dir` the working directory for one input and restores the
// previous one afterwards, so that libFuzzer's own relative paths (corpus
// directories, artifacts) keep their meaning between inputs. A crash
// inside an input happens in `dir`: run with an absolute -artifact_prefix.
class InDir {
 public:
  explicit InDir(const std::string& dir);
  ~InDir();
  InDir(const InDir&) = delete;
  InDir& operator=(const InDir&) = delete;

 private:
  int saved_ = -1;
};

// Fails when an input leaves more descriptors open than it found: every
// log closes its file, also after a rotation.
class NoDescriptorLeak {
 public:
  NoDescriptorLeak();
  ~NoDescriptorLeak();
  NoDescriptorLeak(const NoDescriptorLeak&) = delete;
  NoDescriptorLeak& operator=(const NoDescriptorLeak&) = delete;

 private:
  int before_;
};

// Sends standard output to /dev/null for the rest of the process.
void silence_stdout();

// Reports a broken property and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Reads fields in order from the input; past the end every read yields
// zeros or an empty text.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  // Up to `n` bytes (fewer at the end of the input), as they are.
  std::string bytes(size_t n);
  std::string rest() { return bytes(remaining()); }
  size_t remaining() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace fuzz

#endif  // QELLOG_TESTS_FUZZ_FUZZ_UTIL_H
