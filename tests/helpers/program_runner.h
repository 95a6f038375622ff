// Running the built programs as a user would: in a directory, with an
// environment, capturing standard output, standard error and the exit status.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

// AddressSanitizer and ThreadSanitizer reserve terabytes of address space
// as a program starts: under an address-space limit (ulimit -v) it stops
// before main. GCC names them with __SANITIZE_*__, clang with __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define TEST_HELPERS_SANITIZED_ADDRESS_SPACE 1
#endif
#if defined(__SANITIZE_THREAD__)
#define TEST_HELPERS_SANITIZED_ADDRESS_SPACE 1
#define TEST_HELPERS_THREAD_SANITIZER 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_HELPERS_SANITIZED_ADDRESS_SPACE 1
#endif
#if __has_feature(thread_sanitizer)
#define TEST_HELPERS_SANITIZED_ADDRESS_SPACE 1
#define TEST_HELPERS_THREAD_SANITIZER 1
#endif
#endif

namespace test_helpers {

/// Whether the programs of this build run under a sanitizer that an
/// address-space limit stops (see above).
#if defined(TEST_HELPERS_SANITIZED_ADDRESS_SPACE)
inline constexpr bool kSanitizedAddressSpace = true;
#else
inline constexpr bool kSanitizedAddressSpace = false;
#endif

/// Whether this build (its programs with it) runs under ThreadSanitizer.
#if defined(TEST_HELPERS_THREAD_SANITIZER)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

/// Environment that has a sanitizer's allocator return null, as malloc does
/// when memory runs out, for any request over `megabytes` (in place of an
/// address-space limit, where kSanitizedAddressSpace), on top of the
/// sanitizer options already set.
std::map<std::string, std::string> allocator_returns_null_over(int megabytes);

struct ProgramResult {
  int exit_status = -1;  ///< exit code, or 128 + signal number when killed by one
  std::string out;
  std::string err;
};

/// Path of a built program (bin/<name>), from GPU_PROGRAMS_BIN.
std::filesystem::path program_path(const std::string& name);

/// Runs `program` with `args` in `cwd`. `env` entries are added to (or
/// override) the inherited environment; an empty value removes the variable.
/// Standard input is /dev/null.
ProgramResult run_program(const std::filesystem::path& program, const std::vector<std::string>& args,
                          const std::filesystem::path& cwd,
                          const std::map<std::string, std::string>& env = {});

/// As run_program, with the size of every file the program writes limited
/// to `file_size_limit` bytes (RLIMIT_FSIZE) and SIGXFSZ ignored, so that a
/// write past the limit fails with EFBIG as one on a full disk fails. Its
/// standard output and error are pipes, which the limit does not cover.
ProgramResult run_program_with_file_size_limit(const std::filesystem::path& program,
                                               const std::vector<std::string>& args,
                                               const std::filesystem::path& cwd,
                                               unsigned long long file_size_limit,
                                               const std::map<std::string, std::string>& env = {});

/// The names of the entries of a folder, sorted.
std::vector<std::string> folder_entries(const std::filesystem::path& folder);

/// A fresh directory under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

/// Splits text into lines without their newlines (a final newline ends the last line).
std::vector<std::string> split_lines(const std::string& text);

/// The number of the one line of `path` that contains `marker` (0, with a
/// test failure, when there is no such line or more than one).
int source_line(const std::filesystem::path& path, const std::string& marker);

}  // namespace test_helpers
