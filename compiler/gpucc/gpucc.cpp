// gpucc: compiles CUDA-dialect programs for the CPU device, as nvcc does for
// a GPU. It runs clang with the kernel compiler's pass plugin and the
// dialect's flags, then links the runtime:
//
//   gpucc prog.cu -o prog [-O2] [-g] [-I dir] [-D name=value] [-c]
//   gpucc --report prog.cu      prints the form each kernel runs in
//
// Sources (.cu, .cpp, .cc, .c++) compile as the dialect; objects and
// libraries go to the link as they are.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "gpucc_config.h"

namespace {

constexpr const char* kUsage =
    "usage: gpucc [options] file...\n"
    "  -o FILE        write the program (or, with -c, the object) to FILE\n"
    "  -c             compile only\n"
    "  -O0..-O3       optimisation (kernels are always optimised: -O0 acts as -O1)\n"
    "  -g             debug information\n"
    "  -I DIR, -D NAME[=VALUE], -U NAME, -include FILE   as for any C++ compiler\n"
    "  -L DIR, -l LIB linker search paths and libraries\n"
    "  --memcheck     check every access of kernel code (run with CUDART_MEMCHECK=1)\n"
    "  --report       print each kernel's form and why, compile nothing\n"
    "  -v             print the commands run\n";

bool is_source(const std::string& path) {
  for (const char* ext : {".cu", ".cpp", ".cc", ".cxx", ".c++"})
    if (path.size() > std::strlen(ext) && path.compare(path.size() - std::strlen(ext), std::string::npos, ext) == 0)
      return true;
  return false;
}

int run(const std::vector<std::string>& args, bool verbose) {
  if (verbose) {
    for (const std::string& a : args) std::fprintf(stderr, "%s ", a.c_str());
    std::fprintf(stderr, "\n");
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    std::perror("gpucc: fork");
    return 1;
  }
  if (pid == 0) {
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "gpucc: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

struct Options {
  std::vector<std::string> sources, inputs, compile_flags, link_flags;
  std::string output;
  std::string opt = "-O2";
  bool compile_only = false, report = false, verbose = false;
};

// Reads the command line; false (with a message) on a bad one.
bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (a.size() > 2 && a[0] == '-' && a[1] != '-' && a != "-include") {
        out = a.substr(2);
        return true;
      }
      if (i + 1 >= argc) {
        std::fprintf(stderr, "gpucc: %s needs a value\n", a.c_str());
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "-o") {
      if (!value(o.output)) return false;
    } else if (a == "-c") {
      o.compile_only = true;
    } else if (a == "--memcheck") {
      o.compile_flags.push_back("-DGPU_MEMCHECK");
      o.compile_flags.push_back("-gline-tables-only");
    } else if (a == "--report") {
      o.report = true;
    } else if (a == "-v") {
      o.verbose = true;
    } else if (a.rfind("-g", 0) == 0 && a.size() <= 3) {
      o.compile_flags.push_back(a);
    } else if (a.rfind("-O", 0) == 0) {
      o.opt = a == "-O0" ? "-O1" : a;
    } else if (a.rfind("-I", 0) == 0 || a.rfind("-D", 0) == 0 || a.rfind("-U", 0) == 0) {
      std::string flag = a.substr(0, 2);
      if (!value(v)) return false;
      o.compile_flags.push_back(flag + v);
    } else if (a == "-include") {
      if (!value(v)) return false;
      o.compile_flags.push_back("-include");
      o.compile_flags.push_back(v);
    } else if (a.rfind("-L", 0) == 0 || a.rfind("-l", 0) == 0) {
      std::string flag = a.substr(0, 2);
      if (!value(v)) return false;
      o.link_flags.push_back(flag + v);
    } else if (a.rfind("-W", 0) == 0 || a.rfind("-f", 0) == 0 || a.rfind("-m", 0) == 0 || a.rfind("-std=", 0) == 0) {
      o.compile_flags.push_back(a);
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "gpucc: unknown option %s\n%s", a.c_str(), kUsage);
      return false;
    } else if (is_source(a)) {
      o.sources.push_back(a);
    } else {
      o.inputs.push_back(a);
    }
  }
  if (o.sources.empty() && o.inputs.empty()) {
    std::fprintf(stderr, "gpucc: no input files\n%s", kUsage);
    return false;
  }
  if (o.compile_only && o.sources.size() > 1 && !o.output.empty()) {
    std::fprintf(stderr, "gpucc: -o with -c takes one source\n");
    return false;
  }
  return true;
}

std::vector<std::string> compile_command(const Options& o, const std::string& source, const std::string& object) {
  std::vector<std::string> cmd{GPUCC_CLANG, "-x", "c++"};
  for (const char* f : GPUCC_DIALECT_FLAGS) cmd.push_back(f);
  cmd.push_back("-fpass-plugin=" GPUCC_PLUGIN);
  cmd.push_back("-I" GPUCC_INCLUDE);
  cmd.push_back(o.opt);
  cmd.insert(cmd.end(), o.compile_flags.begin(), o.compile_flags.end());
  cmd.insert(cmd.end(), {"-c", source, "-o", object});
  return cmd;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) return 2;
  namespace fs = std::filesystem;

  if (o.report) {
    setenv("GPUCC_REMARKS", "all", 1);
    int status = 0;
    for (const std::string& source : o.sources) status |= run(compile_command(o, source, "/dev/null"), o.verbose);
    return status ? 1 : 0;
  }

  std::vector<std::string> objects;
  std::error_code ec;
  const fs::path temp = fs::temp_directory_path(ec) / ("gpucc-" + std::to_string(getpid()));
  if (!o.compile_only) {
    fs::create_directories(temp, ec);
    if (ec) {
      std::fprintf(stderr, "gpucc: cannot make %s: %s\n", temp.c_str(), ec.message().c_str());
      return 1;
    }
  }
  int status = 0;
  for (size_t k = 0; k < o.sources.size() && status == 0; ++k) {
    const fs::path source = o.sources[k];
    std::string object;
    if (o.compile_only) object = !o.output.empty() ? o.output : source.stem().string() + ".o";
    else object = (temp / (std::to_string(k) + "-" + source.stem().string() + ".o")).string();
    status = run(compile_command(o, source.string(), object), o.verbose);
    objects.push_back(object);
  }
  if (status == 0 && !o.compile_only) {
    std::vector<std::string> cmd{GPUCC_CLANG};
    cmd.insert(cmd.end(), objects.begin(), objects.end());
    cmd.insert(cmd.end(), o.inputs.begin(), o.inputs.end());
    cmd.push_back("-o");
    cmd.push_back(o.output.empty() ? "a.out" : o.output);
    cmd.insert(cmd.end(), o.link_flags.begin(), o.link_flags.end());
    for (const char* lib : GPUCC_RUNTIME_LIBRARIES) cmd.push_back(lib);
    status = run(cmd, o.verbose);
  }
  if (!o.compile_only) fs::remove_all(temp, ec);
  return status ? 1 : 0;
}
