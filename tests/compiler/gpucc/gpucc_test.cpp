// gpucc as a user runs it: the README's example program, the report of
// each kernel's form, and bad command lines.
#include <gtest/gtest.h>

#include <string>

#include "program_runner.h"

namespace {

using test_helpers::read_file;
using test_helpers::run_program;
using test_helpers::TempDir;
using test_helpers::write_file;

// The README's example: the indented code from "#include <cstdio>" to the
// first blank line after main.
std::string readme_example() {
  std::string out;
  bool in_example = false, in_main = false;
  for (const std::string& line : test_helpers::split_lines(read_file(README))) {
    if (line.rfind("    #include <cstdio>", 0) == 0) in_example = true;
    if (!in_example) continue;
    if (line.empty() && in_main) break;
    if (!line.empty() && line.rfind("    ", 0) != 0) break;
    in_main = in_main || line.find("int main") != std::string::npos;
    out += (line.empty() ? line : line.substr(4)) + "\n";
  }
  return out;
}

TEST(Gpucc, BuildsAndRunsTheReadmeExample) {
  TempDir dir;
  const std::string source = readme_example();
  ASSERT_NE(source.find("int main"), std::string::npos) << "no example found in the README";
  write_file(dir / "add_one.cu", source);
  auto built = run_program(GPUCC, {"add_one.cu", "-o", "add_one"}, dir.path());
  ASSERT_EQ(built.exit_status, 0) << built.err;
  EXPECT_NE(built.err.find("kernel add_one(int*, int): thread loops"), std::string::npos) << built.err;
  auto ran = run_program(dir / "add_one", {}, dir.path());
  EXPECT_EQ(ran.exit_status, 0);
  EXPECT_EQ(ran.out, "1 1\n");
}

TEST(Gpucc, ReportsEachKernelsFormAndWhyItFellBack) {
  TempDir dir;
  write_file(dir / "forms.cu", R"(#include "gpu_runtime.h"
__global__ void plain(int* a) { a[threadIdx.x] = 1; }
__global__ void staged(int* a) {
  __shared__ int s[64];
  s[threadIdx.x] = a[threadIdx.x];
  __syncthreads();
  for (int k = 1; k < 64; k *= 2) {
    int v = threadIdx.x >= unsigned(k) ? s[threadIdx.x - k] : 0;
    __syncthreads();
    s[threadIdx.x] += v;
    __syncthreads();
  }
  a[threadIdx.x] = s[threadIdx.x];
}
__device__ int twice(int x) { return 2 * x; }
__global__ void indirect(int* a, int (*f)(int)) { a[threadIdx.x] = f(threadIdx.x); }
GPU_DEVICE_CODE(GPU_KERNEL(plain, "_Z5plainPi"), GPU_KERNEL(staged, "_Z6stagedPi"),
                GPU_KERNEL(indirect, "_Z8indirectPiPFiiE"))
int main() {}
)");
  auto report = run_program(GPUCC, {"--report", "forms.cu"}, dir.path());
  EXPECT_EQ(report.exit_status, 0) << report.err;
  EXPECT_NE(report.err.find("kernel plain(int*): thread loops"), std::string::npos) << report.err;
  EXPECT_NE(report.err.find("kernel staged(int*): region loops"), std::string::npos) << report.err;
  EXPECT_NE(report.err.find("kernel indirect(int*, int (*)(int)): fibers: it calls through a function pointer"),
            std::string::npos)
      << report.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "a.out")) << "a report builds nothing";
}

TEST(Gpucc, RefusesBadCommandLines) {
  TempDir dir;
  write_file(dir / "broken.cu", "int main() { return undeclared; }\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {{}, 2, "gpucc: no input files"},
      {{"--bogus", "x.cu"}, 2, "gpucc: unknown option --bogus"},
      {{"x.cu", "-o"}, 2, "gpucc: -o needs a value"},
      {{"broken.cu", "-o", "broken"}, 1, "undeclared"},
      {{"missing.cu"}, 1, "missing.cu"},
  };
  for (const Case& c : cases) {
    auto r = run_program(GPUCC, c.args, dir.path());
    EXPECT_EQ(r.exit_status, c.status) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "broken"));
}

}  // namespace
