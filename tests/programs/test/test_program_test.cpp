// The test program end to end, watched through the trace.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/trace.h"
#include "json.h"
#include "program_runner.h"

namespace {

using test_helpers::call_names;
using test_helpers::calls_named;
using test_helpers::Json;
using test_helpers::program_path;
using test_helpers::TracedRun;

// test with a command line it must ignore.
TracedRun run_test(std::map<std::string, std::string> env = {}) {
  return test_helpers::run_traced(program_path("test"), {"ignored", "arguments"}, std::move(env));
}

// FNV-1a 64 of a 1024x1024 int matrix holding `value` everywhere.
std::string matrix_digest(std::int32_t value) {
  const std::vector<std::int32_t> matrix(1024 * 1024, value);
  return gpu_runtime::common::fnv1a_hex(matrix.data(), matrix.size() * sizeof(std::int32_t));
}

TEST(TestProgram, RegistersSixteenRowRangesThenLaunchesAndCopiesBack) {
  const TracedRun run = run_test();
  EXPECT_EQ(run.result.exit_status, 0);
  EXPECT_EQ(run.result.out, "");
  EXPECT_EQ(run.result.err, "");

  const std::vector<std::string> names = call_names(run.trace);
  std::vector<std::string> expected{"__cudaRegisterFatBinary", "__cudaRegisterFunction", "cudaMalloc", "cudaMalloc",
                                    "cudaMemcpy", "cudaFlushCTATracker"};
  expected.insert(expected.end(), 16, "cudaSetCTATracker");
  for (const char* c : {"cudaConfigureCall", "cudaSetupArgument", "cudaSetupArgument", "cudaSetupArgument",
                        "cudaLaunch", "cudaMemcpy", "__cudaUnregisterFatBinary"})
    expected.push_back(c);
  EXPECT_EQ(names, expected);

  const auto sets = calls_named(run.trace, "cudaSetCTATracker");
  ASSERT_EQ(sets.size(), 16u);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(sets[i]["devBase"]["alloc"].integer(), 0);
    EXPECT_EQ(sets[i]["devBase"]["offset"].integer(), 0);
    EXPECT_EQ(sets[i]["elementSize"].integer(), 4);
    EXPECT_EQ(sets[i]["start"].integers(), (std::vector<long long>{16, 16384, 0, 1024 * i}));
    EXPECT_EQ(sets[i]["end"].integers(), (std::vector<long long>{16, 16384, 0, 1024 * i + 16}));
    EXPECT_EQ(sets[i]["status"].integer(), 0);
  }

  const auto launches = calls_named(run.trace, "cudaLaunch");
  ASSERT_EQ(launches.size(), 1u);
  const Json& launch = launches[0];
  EXPECT_EQ(launch["kernel"].str(), "_Z6kernelPiS_i");
  EXPECT_EQ(launch["grid"].integers(), (std::vector<long long>{64, 64, 1}));
  EXPECT_EQ(launch["block"].integers(), (std::vector<long long>{16, 16, 1}));
  ASSERT_EQ(launch["args"].size(), 3u);
  EXPECT_EQ(launch["args"][0].integers(), (std::vector<long long>{0, 8}));
  EXPECT_EQ(launch["args"][1].integers(), (std::vector<long long>{8, 8}));
  EXPECT_EQ(launch["args"][2].integers(), (std::vector<long long>{16, 4}));
  const Json& t = launch["tracker"];
  EXPECT_EQ(t["registrations"].integer(), 16);
  EXPECT_EQ(t["ctas"].integer(), 4096);
  EXPECT_EQ(t["bytes"].integer(), 4194304);
  EXPECT_EQ(t["covered_bytes"].integer(), 4194304);
  EXPECT_EQ(t["overlap_bytes"].integer(), 0);
  EXPECT_EQ(t["out_of_bounds"].integer(), 0);
  EXPECT_EQ(t["empty"].integer(), 0);

  const auto copies = calls_named(run.trace, "cudaMemcpy");
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0]["kind"].integer(), 1);
  EXPECT_EQ(copies[0]["digest"].str(), matrix_digest(0)) << "the input matrix is zero-filled";
  EXPECT_EQ(copies[1]["kind"].integer(), 2);
  EXPECT_EQ(copies[1]["src"]["alloc"].integer(), 1);
  EXPECT_EQ(copies[1]["bytes"].integer(), 4194304);
  EXPECT_EQ(copies[1]["digest"].str(), matrix_digest(192));
  EXPECT_EQ(run.trace.back()["event"].str(), "exit");
  EXPECT_EQ(run.trace.back()["pending_registrations"].integer(), 16);
}

TEST(TestProgram, SameResultWithOneOrManyWorkers) {
  for (const char* workers : {"1", "3", "8"}) {
    const TracedRun run = run_test({{"CUDART_WORKERS", workers}});
    const auto copies = calls_named(run.trace, "cudaMemcpy");
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[1]["digest"].str(), matrix_digest(192)) << workers << " workers";
  }
}

TEST(TestProgram, FailedDeviceAllocationsAreReportedWithStatusOne) {
  TracedRun run = run_test({{"CUDART_FAIL", "cudaMalloc:1"}});
  EXPECT_EQ(run.result.exit_status, 1);
  EXPECT_EQ(run.result.out, "");
  EXPECT_EQ(run.result.err, "test: cannot allocate the device input matrix\n");
  EXPECT_TRUE(calls_named(run.trace, "cudaLaunch").empty());

  run = run_test({{"CUDART_FAIL", "cudaMalloc:2"}});
  EXPECT_EQ(run.result.exit_status, 1);
  EXPECT_EQ(run.result.err, "test: cannot allocate the device result matrix\n");
}

TEST(TestProgram, OtherFailuresAreNotReadAndTheRunStillSucceedsSilently) {
  struct Case {
    const char* fail;
    bool launched;
    std::string final_digest;  // empty: the final copy fails
  };
  const Case cases[] = {
      {"cudaMemcpy:1", true, matrix_digest(192)},   // device input stays zero-filled
      {"cudaLaunch:1", false, matrix_digest(0)},    // the result matrix is never written
      {"cudaConfigureCall:1", false, matrix_digest(0)},
      {"cudaSetupArgument:2", false, matrix_digest(0)},
      {"cudaSetCTATracker:5", true, matrix_digest(192)},
      {"cudaMemcpy:2", true, ""},
  };
  for (const Case& c : cases) {
    const TracedRun run = run_test({{"CUDART_FAIL", c.fail}});
    EXPECT_EQ(run.result.exit_status, 0) << c.fail;
    EXPECT_EQ(run.result.out + run.result.err, "") << c.fail;
    const auto launches = calls_named(run.trace, "cudaLaunch");
    EXPECT_EQ(!launches.empty() && launches[0]["status"].integer() == 0, c.launched) << c.fail;
    const auto copies = calls_named(run.trace, "cudaMemcpy");
    ASSERT_EQ(copies.size(), 2u) << c.fail;
    if (c.final_digest.empty()) EXPECT_FALSE(copies[1].has("digest")) << c.fail;
    else EXPECT_EQ(copies[1]["digest"].str(), c.final_digest) << c.fail;
  }
  const TracedRun configure_failed = run_test({{"CUDART_FAIL", "cudaConfigureCall:1"}});
  EXPECT_TRUE(calls_named(configure_failed.trace, "cudaSetupArgument").empty())
      << "no argument is set up when configuring fails";
  const TracedRun setup_failed = run_test({{"CUDART_FAIL", "cudaSetupArgument:2"}});
  EXPECT_EQ(calls_named(setup_failed.trace, "cudaSetupArgument").size(), 2u) << "set-up stops at the first failure";
  EXPECT_TRUE(calls_named(setup_failed.trace, "cudaLaunch").empty());
}

}  // namespace
