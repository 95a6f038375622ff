// The five programs of the GPU build, run as a user runs them on a machine
// without a GPU driver: every program starts, those that check runtime
// statuses report the vendor runtime's through the checked-call line, and the
// call trace reads as the CPU build's. On a machine with a GPU these tests
// skip; scripts/gpu-check covers that case.
#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "json.h"
#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using test_helpers::calls_named;
using test_helpers::Json;
using test_helpers::program_path;
using test_helpers::read_file;
using test_helpers::run_program;
using test_helpers::TempDir;

const std::string kNoDriver = "CUDA driver version is insufficient for CUDA runtime version";

// The vendor runtime's answer on this machine, asked the way the programs ask.
bool driver_present() {
  int count = 0;
  return cudaGetDeviceCount(&count) != cudaErrorInsufficientDriver;
}

class GpuProgramsWithoutDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (driver_present()) GTEST_SKIP() << "a GPU driver is present: run scripts/gpu-check instead";
  }

  test_helpers::ProgramResult run(const std::string& program, const std::vector<std::string>& args,
                                  std::map<std::string, std::string> env = {}) {
    env["CUDART_TRACE"] = (dir_ / "trace.jsonl").string();
    return run_program(program_path(program), args, dir_.path(), env);
  }
  std::vector<Json> trace() const { return test_helpers::read_trace((dir_ / "trace.jsonl").string()); }

  TempDir dir_;
};

// "Cuda error in file '<file>' in line <n> : <message>.\n", any line number.
void expect_checked_call_error(const std::string& err, const std::string& file, const std::string& message) {
  const std::regex line("Cuda error in file '" + file + "' in line [0-9]+ : " + message + "\\.\n");
  EXPECT_TRUE(std::regex_match(err, line)) << "standard error was: " << err;
}

TEST_F(GpuProgramsWithoutDriver, KernelRegistersItsRangeAndExitsZero) {
  const auto result = run("kernel", {});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  const std::string gpu_trace = read_file(dir_ / "trace.jsonl");
  EXPECT_EQ(gpu_trace,
            "{\"call\": \"__cudaRegisterFatBinary\", \"status\": 0}\n"
            "{\"call\": \"cudaSetCTATracker\", \"devBase\": null, \"elementSize\": 1, \"start\": [0, 0, 0, 1], "
            "\"end\": [0, 0, 256, 257], \"status\": 17}\n"
            "{\"call\": \"__cudaUnregisterFatBinary\", \"status\": 0}\n"
            "{\"event\": \"exit\", \"pending_registrations\": 1}\n");
}

// Beside a CPU build (CPU_PROGRAMS_BIN=<its bin folder>), the two traces are
// the same to the byte.
TEST_F(GpuProgramsWithoutDriver, KernelTraceIsTheCpuBuilds) {
  const char* cpu_bin = std::getenv("CPU_PROGRAMS_BIN");
  if (!cpu_bin) GTEST_SKIP() << "set CPU_PROGRAMS_BIN to compare with the CPU build's trace";
  EXPECT_EQ(run("kernel", {}).exit_status, 0);
  const std::string gpu_trace = read_file(dir_ / "trace.jsonl");
  TempDir cpu_dir;
  const auto cpu = run_program(fs::path(cpu_bin) / "kernel", {}, cpu_dir.path(),
                               {{"CUDART_TRACE", (cpu_dir / "trace.jsonl").string()}});
  EXPECT_EQ(cpu.exit_status, 0);
  EXPECT_EQ(read_file(cpu_dir / "trace.jsonl"), gpu_trace);
}

TEST_F(GpuProgramsWithoutDriver, TestReportsItsFailedDeviceAllocation) {
  const auto result = run("test", {"ignored"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "test: cannot allocate the device input matrix\n");

  const std::vector<Json> lines = trace();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1]["name"].str(), "_Z6kernelPiS_i");
  EXPECT_EQ(lines[2]["call"].str(), "cudaMalloc");
  EXPECT_EQ(lines[2]["bytes"].integer(), 4194304);
  EXPECT_TRUE(lines[2]["alloc"].is_null());
  EXPECT_EQ(lines[2]["status"].integer(), 35);
  EXPECT_EQ(lines[4]["event"].str(), "exit");
}

TEST_F(GpuProgramsWithoutDriver, OmbrelReportsTheDeviceQueryThroughTheCheckedCall) {
  const auto result = run("ombrel", {"1"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");  // the device is chosen before any file is read
  expect_checked_call_error(result.err, "ombrel.cu", kNoDriver);

  // nvcc registers in an order of its own: compare the names as sets.
  std::set<std::string> kernels, tables;
  for (const Json& j : calls_named(trace(), "__cudaRegisterFunction")) kernels.insert(j["name"].str());
  EXPECT_EQ(kernels, (std::set<std::string>{"_Z17executeFirstLayerPfS_S_", "_Z18executeSecondLayerPfS_S_",
                                            "_Z17executeThirdLayerPfS_S_", "_Z18executeFourthLayerPfS_S_"}));
  for (const Json& j : calls_named(trace(), "__cudaRegisterVar")) {
    tables.insert(j["name"].str());
    EXPECT_EQ(j["size"].integer(), 100);
    EXPECT_TRUE(j["constant"].boolean());
  }
  EXPECT_EQ(tables, (std::set<std::string>{"kernelTemplate", "kernelTemplate2"}));

  // Fault injection works in this build too, ahead of the vendor runtime.
  const auto injected = run("ombrel", {"1"}, {{"CUDART_FAIL", "cudaGetDeviceCount:1"}});
  EXPECT_EQ(injected.exit_status, 1);
  expect_checked_call_error(injected.err, "ombrel.cu", "no CUDA-capable device is detected");

  const auto usage = run("ombrel", {});
  EXPECT_EQ(usage.exit_status, 1);
  EXPECT_EQ(usage.out.rfind("Usage: ./ombrel <NUM> [-v]\n", 0), 0u);
}

TEST_F(GpuProgramsWithoutDriver, TessakLoadsItsGraphThenReportsTheFirstDeviceCall) {
  test_helpers::write_file(dir_ / "graph.txt", "4\n0 2\n2 1\n3 0\n3 0\n0\n3\n1 1\n2 1\n3 1\n");
  const auto result = run("tessak", {"graph.txt"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "Reading File\nInput file: graph.txt\nRead File\n");
  expect_checked_call_error(result.err, "tessak.cu", kNoDriver);
  EXPECT_FALSE(fs::exists(dir_ / "result.txt"));
  EXPECT_EQ(calls_named(trace(), "__cudaRegisterFunction").at(0)["name"].str(), "_Z6KernelP4NodePiPbS2_S1_S2_ii");
}

TEST_F(GpuProgramsWithoutDriver, HalvikStartsAndStopsAtItsFirstDeviceBuffer) {
  const auto usage = run("halvik", {"16"});
  EXPECT_EQ(usage.exit_status, 1);
  EXPECT_NE(usage.err.find("<no. of iter>"), std::string::npos);

  const auto result = run("halvik", {"16", "16", "0", "1", "0", "1", "0.5", "1"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find(kNoDriver), std::string::npos) << result.err;
  const auto launches = calls_named(trace(), "cudaLaunch");
  EXPECT_TRUE(launches.empty());
}

}  // namespace
