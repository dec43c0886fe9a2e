// SPDX-License-Identifier: MIT
// What the fuzz targets share: a file of their own in the temporary
// directory, and a check that fails loudly.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zortcp::fuzzing {

// A file of the fuzzing process's own in the temporary directory, removed
// when the process ends normally. Targets keep one as a static.
class ScratchFile {
 public:
  explicit ScratchFile(const char* purpose) {
    const char* directory = std::getenv("TMPDIR");
    path_ = std::string(directory != nullptr ? directory : "/tmp") + "/zortcp-fuzz-" + purpose +
            "-" + std::to_string(getpid());
  }
  ~ScratchFile() { std::remove(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void WriteWhole(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

inline std::string ReadWhole(const std::string& path) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return text;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

// A broken invariant: reported, then the process aborts so that libFuzzer
// keeps the input as a crash.
#define ZORTCP_FUZZ_CHECK(condition, what)                                              \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", what, __FILE__, __LINE__); \
      std::abort();                                                                     \
    }                                                                                   \
  } while (false)

}  // namespace zortcp::fuzzing
