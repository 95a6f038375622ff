// The runtime as a program sees it: the trace of its calls, the tracker's
// footprint summary, fault injection and device settings from the environment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cctype>
#include <string>

#include "json.h"
#include "program_runner.h"

namespace {

using test_helpers::calls_named;
using test_helpers::Json;
using test_helpers::read_trace;
using test_helpers::run_program;
using test_helpers::split_lines;
using test_helpers::TempDir;

using ProbeRun = test_helpers::TracedRun;

ProbeRun run_probe(const std::string& scenario, std::map<std::string, std::string> env = {}) {
  return test_helpers::run_traced(RUNTIME_PROBE, {scenario}, std::move(env));
}

const Json& launch_summary(const ProbeRun& run) {
  static Json none;
  const auto launches = calls_named(run.trace, "cudaLaunch");
  EXPECT_EQ(launches.size(), 1u);
  if (launches.empty()) return none;
  static std::vector<Json> keep;
  keep.push_back(launches[0]["tracker"]);
  return keep.back();
}

std::vector<long long> summary_values(const Json& s) {
  return {s["registrations"].integer(), s["ctas"].integer(),         s["bytes"].integer(),
          s["covered_bytes"].integer(), s["overlap_bytes"].integer(), s["out_of_bounds"].integer(),
          s["empty"].integer()};
}

TEST(TrackerSummary, DisjointRangesCoverEachByteOnce) {
  const ProbeRun run = run_probe("disjoint");
  EXPECT_EQ(summary_values(launch_summary(run)), (std::vector<long long>{1, 8, 1024, 1024, 0, 0, 0}));
  EXPECT_EQ(run.result.out, "set 0\ncudaGetLastError 0\n");
}

TEST(TrackerSummary, BytesNamedByTwoCtasCountAsOverlapButNotRepeatsWithinOneCta) {
  const ProbeRun run = run_probe("overlap");
  // Rule 1: 8 CTAs x 192 bytes; CTAs x=0..3 in row y start 128 bytes apart, so
  // each neighbour pair in a row shares 64 bytes (3 pairs x 2 rows); row 0's
  // last range reaches into row 1's first (64 bytes more). Rule 2 repeats
  // 32 bytes inside each CTA's own range.
  EXPECT_EQ(summary_values(launch_summary(run)),
            (std::vector<long long>{2, 8, 8 * 192 + 8 * 32, 8 * 128 + 64, 7 * 64, 0, 0}));
}

TEST(TrackerSummary, RangesOutsideTheirAllocationAreCounted) {
  const ProbeRun run = run_probe("out-of-bounds");
  // Rule 1: CTAs at y = 1 start at int 1000 and end at 1064, past the 1024 ints.
  // Rule 2: every CTA names ints -4..3, starting below the base.
  const Json& s = launch_summary(run);
  EXPECT_EQ(s["out_of_bounds"].integer(), 4 + 8);
  EXPECT_EQ(s["bytes"].integer(), 8 * 256 + 8 * 32);
  EXPECT_EQ(s["empty"].integer(), 0);
}

TEST(TrackerSummary, EmptyAndInvertedRangesNameNothing) {
  const ProbeRun run = run_probe("inverted");
  const Json& s = launch_summary(run);
  EXPECT_EQ(s["empty"].integer(), 8 + 8);
  EXPECT_EQ(s["bytes"].integer(), 0);
  EXPECT_EQ(s["covered_bytes"].integer(), 0);
  EXPECT_EQ(run.result.out, "set 0\nset 1\ncudaGetLastError 1\n") << "element size 0 is flagged, still recorded";
}

TEST(TrackerSummary, NullBaseIsRecordedAndFlagged) {
  const ProbeRun run = run_probe("null-base");
  EXPECT_EQ(run.result.out, "set 17\ncudaGetLastError 17\n");
  const Json& s = launch_summary(run);
  EXPECT_EQ(s["registrations"].integer(), 1);
  EXPECT_EQ(s["out_of_bounds"].integer(), 8);
  const auto sets = calls_named(run.trace, "cudaSetCTATracker");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_TRUE(sets[0]["devBase"].is_null());
}

TEST(Trace, DeviceAddressesAreAllocationAndOffset) {
  const ProbeRun run = run_probe("addresses");
  const auto copy = calls_named(run.trace, "cudaMemcpy");
  ASSERT_EQ(copy.size(), 1u);
  EXPECT_EQ(copy[0]["dst"]["alloc"].integer(), 1);
  EXPECT_EQ(copy[0]["dst"]["offset"].integer(), 10);
  EXPECT_EQ(copy[0]["bytes"].integer(), 3);
  EXPECT_EQ(copy[0]["kind"].integer(), 1);
  EXPECT_EQ(copy[0]["digest"].str(), "e71fa2190541574b") << "FNV-1a 64 of \"abc\"";
  const auto set = calls_named(run.trace, "cudaSetCTATracker");
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0]["devBase"]["offset"].integer(), 40);
  const auto frees = calls_named(run.trace, "cudaFree");
  ASSERT_EQ(frees.size(), 3u);
  EXPECT_EQ(frees[0]["ptr"].str(), "unknown");
  EXPECT_EQ(frees[0]["status"].integer(), 17);
  EXPECT_EQ(frees[1]["ptr"]["alloc"].integer(), 0);
  EXPECT_EQ(frees[1]["status"].integer(), 0);
  EXPECT_EQ(frees[2]["status"].integer(), 17) << "double free";
  EXPECT_EQ(run.trace.back()["event"].str(), "exit");
  EXPECT_EQ(run.trace.back()["pending_registrations"].integer(), 1);
}

TEST(Trace, EveryLineIsOneObjectInCallOrder) {
  const ProbeRun run = run_probe("calls");
  std::vector<std::string> calls;
  for (const Json& entry : run.trace)
    if (entry.has("call")) calls.push_back(entry["call"].str());
  const std::vector<std::string> expected{
      "__cudaRegisterFatBinary", "__cudaRegisterFunction", "__cudaRegisterFunction", "__cudaRegisterFunction",
      "cudaGetDeviceCount", "cudaGetDeviceProperties",
      "cudaSetDevice", "cudaMalloc", "cudaMemcpy", "cudaConfigureCall", "cudaSetupArgument", "cudaLaunch",
      "cudaGetLastError", "cudaThreadSynchronize", "cudaSetCTATracker", "cudaFlushCTATracker", "cudaFree",
      "cutCreateTimer", "cutStartTimer", "cutStopTimer", "cutResetTimer", "cutDeleteTimer",
      "__cudaUnregisterFatBinary"};
  EXPECT_EQ(calls, expected);
  for (const Json& entry : run.trace)
    if (entry.has("call") && entry["call"].str().rfind("cut", 0) == 0) EXPECT_EQ(entry["result"].integer(), 1);
  const auto config = calls_named(run.trace, "cudaConfigureCall");
  EXPECT_EQ(config[0]["grid"].integers(), (std::vector<long long>{1, 1, 1}));
  EXPECT_EQ(config[0]["shared"].integer(), 0);
  EXPECT_EQ(config[0]["stream"].integer(), 0);
  EXPECT_EQ(run.trace.back()["pending_registrations"].integer(), 0);
}

struct Injection {
  const char* fail;
  const char* line;  ///< the status line of the failed call
};

class FaultInjection : public ::testing::TestWithParam<Injection> {};

TEST_P(FaultInjection, TheNamedCallFailsWithItsNaturalStatus) {
  const Injection& inj = GetParam();
  const ProbeRun run = run_probe("calls", {{"CUDART_FAIL", inj.fail}});
  const auto lines = split_lines(run.result.out);
  EXPECT_NE(std::find(lines.begin(), lines.end(), inj.line), lines.end()) << run.result.out;
  EXPECT_EQ(run.result.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FaultInjection,
    ::testing::Values(Injection{"cudaGetDeviceCount:1", "cudaGetDeviceCount 100"},
                      Injection{"cudaGetDeviceProperties:1", "cudaGetDeviceProperties 101"},
                      Injection{"cudaSetDevice:1", "cudaSetDevice 101"}, Injection{"cudaMalloc:1", "cudaMalloc 2"},
                      Injection{"cudaMemcpy:1", "cudaMemcpy 1"}, Injection{"cudaConfigureCall:1", "configure 9"},
                      Injection{"cudaLaunch:1", "cudaGetLastError 719"},
                      Injection{"cudaThreadSynchronize:1", "cudaThreadSynchronize 719"},
                      Injection{"cudaSetCTATracker:1", "cudaSetCTATracker 1"},
                      Injection{"cudaFlushCTATracker:1", "cudaFlushCTATracker 1"},
                      Injection{"cudaFree:1", "cudaFree 17"}, Injection{"cutCreateTimer:1", "cutCreateTimer 0"},
                      Injection{"cutStartTimer:1", "cutStartTimer 0"}, Injection{"cutStopTimer:1", "cutStopTimer 0"},
                      Injection{"cutResetTimer:1", "cutResetTimer 0"}, Injection{"cutDeleteTimer:1", "cutDeleteTimer 0"},
                      Injection{"cudaMalloc:2,cudaFree:1", "cudaFree 17"}),
    [](const ::testing::TestParamInfo<Injection>& info) {
      std::string name = info.param.fail;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(FaultInjection, OnlyTheNthCallFails) {
  const ProbeRun run = run_probe("calls", {{"CUDART_FAIL", "cudaMalloc:2"}});
  EXPECT_NE(run.result.out.find("cudaMalloc 0\n"), std::string::npos);
}

TEST(FaultInjection, MalformedValuesAreReportedAndIgnored) {
  for (const char* bad : {"cudaMalloc", "cudaMalloc:x", "cudaMalloc:0", "nosuchcall:1", "cudaMalloc:1,,"}) {
    const ProbeRun run = run_probe("calls", {{"CUDART_FAIL", bad}});
    EXPECT_NE(run.result.err.find("CUDART_FAIL"), std::string::npos) << bad;
    EXPECT_NE(run.result.out.find("cudaMalloc 0\n"), std::string::npos) << bad;
  }
}

TEST(DeviceSettings, DeviceCountAndCapabilityComeFromTheEnvironment) {
  ProbeRun run = run_probe("calls", {{"CUDART_DEVICES", "0"}});
  EXPECT_NE(run.result.out.find("cudaGetDeviceCount 0\ncount 0\n"), std::string::npos);
  EXPECT_NE(run.result.out.find("cudaSetDevice 100\n"), std::string::npos);
  run = run_probe("calls", {{"CUDART_DEVICES", "3"}, {"CUDART_DEVICE_CC", "2.1"}});
  EXPECT_NE(run.result.out.find("count 3\n"), std::string::npos);
  EXPECT_NE(run.result.out.find("cc 2.1\n"), std::string::npos);
  run = run_probe("calls", {{"CUDART_DEVICES", "many"}, {"CUDART_DEVICE_CC", "7"}});
  EXPECT_NE(run.result.err.find("CUDART_DEVICES"), std::string::npos);
  EXPECT_NE(run.result.err.find("CUDART_DEVICE_CC"), std::string::npos);
  EXPECT_NE(run.result.out.find("count 1\n"), std::string::npos) << "malformed values keep the defaults";
}

TEST(FaultInjection, CopiesOfNoBytesCountAndFailLikeAnyOther) {
  const ProbeRun run = run_probe("empty-copies", {{"CUDART_FAIL", "cudaMemcpy:2"}});
  EXPECT_EQ(run.result.out, "to device 0\nto host 1\non device 0\n");
}

// Each setting within its bounds is taken; outside them it is refused with
// one line naming the variable and its bounds, and the default kept.
struct Setting {
  std::map<std::string, std::string> env;
  std::string refusal;  ///< on standard error, or empty when the value is taken
  std::string shown;    ///< in the probe's output
};

void PrintTo(const Setting& s, std::ostream* os) {
  for (const auto& [name, value] : s.env) *os << name << "=" << value << " ";
}

class SettingBounds : public ::testing::TestWithParam<Setting> {};

TEST_P(SettingBounds, AreKeptOrRefusedInOneLine) {
  const ProbeRun run = run_probe("calls", GetParam().env);
  EXPECT_EQ(run.result.exit_status, 0);
  if (GetParam().refusal.empty()) {
    EXPECT_EQ(run.result.err, "");
  } else {
    ASSERT_EQ(split_lines(run.result.err).size(), 1u) << run.result.err;
    EXPECT_NE(run.result.err.find(GetParam().refusal), std::string::npos) << run.result.err;
  }
  EXPECT_NE(run.result.out.find(GetParam().shown), std::string::npos) << run.result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, SettingBounds,
    ::testing::Values(Setting{{{"CUDART_DEVICES", "64"}}, "", "count 64\n"},
                      Setting{{{"CUDART_DEVICES", "65"}}, "CUDART_DEVICES value '65': expected a device count from 0 to 64", "count 1\n"},
                      Setting{{{"CUDART_DEVICES", "999999999"}}, "CUDART_DEVICES", "count 1\n"},
                      Setting{{{"CUDART_DEVICE_CC", "99.9"}}, "", "cc 99.9\n"},
                      Setting{{{"CUDART_DEVICE_CC", "100.0"}}, "CUDART_DEVICE_CC value '100.0': expected <major>.<minor> from 0.0 to 99.9", "cc 8.0\n"},
                      Setting{{{"CUDART_DEVICE_CC", "8.10"}}, "CUDART_DEVICE_CC", "cc 8.0\n"},
                      Setting{{{"CUDART_WORKERS", "3"}}, "", "multiprocessors 3\n"},
                      Setting{{{"CUDART_WORKERS", "0"}}, "CUDART_WORKERS value '0': expected a worker count from 1 to 1024", "cudaThreadSynchronize 0\n"},
                      Setting{{{"CUDART_WORKERS", "1025"}}, "CUDART_WORKERS", "cudaThreadSynchronize 0\n"},
                      Setting{{{"CUDART_BARRIERS", "threads"}}, "CUDART_BARRIERS value 'threads': expected loops, regions or fibers", "cudaThreadSynchronize 0\n"},
                      Setting{{{"CUDART_FAIL", "cudaMalloc:999999999"}}, "", "cudaMalloc 0\n"},
                      Setting{{{"CUDART_FAIL", "cudaMalloc:1000000000"}}, "CUDART_FAIL", "cudaMalloc 0\n"}),
    [](const ::testing::TestParamInfo<Setting>& info) {
      std::string name;
      for (const auto& [key, value] : info.param.env) name += key + "_" + value;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

// The probe under limits the sanitizers cannot run under (they reserve
// terabytes of address space).
test_helpers::ProgramResult run_probe_limited(const std::string& limits, const std::string& scenario,
                                              const std::map<std::string, std::string>& env) {
  return run_program("/bin/sh", {"-c", limits + " && exec \"$0\" \"$1\"", RUNTIME_PROBE, scenario},
                     TempDir().path(), env);
}

// Fiber stacks that cannot be mapped fail the launch that needs them, as a
// status; the next launch, needing fewer, runs.
TEST(ResourceExhaustion, FiberStacksThatCannotBeMappedFailTheLaunch) {
  if (test_helpers::kSanitizedAddressSpace) GTEST_SKIP() << "the sanitizer needs more address space than the limit leaves";
  // 1023 fibers of 260 KiB need 266 MB, more than the limit leaves.
  const auto result = run_probe_limited("ulimit -v 200000", "barriers",
                                        {{"CUDART_BARRIERS", "fibers"}, {"CUDART_WORKERS", "1"}});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "1024 threads 719\n4 threads 0 right\n");
}

// Worker threads that cannot be started (a stack size limit larger than
// the address space left): the calling thread runs the launches itself.
TEST(ResourceExhaustion, WorkersThatCannotStartLeaveTheLaunchesToTheCaller) {
  if (test_helpers::kSanitizedAddressSpace) GTEST_SKIP() << "the sanitizer needs more address space than the limit leaves";
  const auto result = run_probe_limited("ulimit -v 600000 && ulimit -s 1000000", "barriers", {{"CUDART_WORKERS", "2"}});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "1024 threads 0 right\n4 threads 0 right\n");
}

// Under ThreadSanitizer every fiber is a thread of its own: two threads of
// one block that touch the same entry between the same two barriers are
// reported; accesses that a barrier orders are not.
TEST(ThreadSanitizer, SeesRacesBetweenThreadsOfOneBlockAndNoneAcrossBarriers) {
  if (!test_helpers::kThreadSanitizer) GTEST_SKIP() << "only a ThreadSanitizer build checks threads for races";
  const char* set = std::getenv("TSAN_OPTIONS");
  const std::map<std::string, std::string> env{
      {"CUDART_BARRIERS", "fibers"},
      {"CUDART_WORKERS", "1"},
      {"TSAN_OPTIONS", (set && *set ? std::string(set) + ":" : "") + "halt_on_error=1:exitcode=66"}};
  const ProbeRun racy = run_probe("racy-block", env);
  EXPECT_EQ(racy.result.exit_status, 66);
  EXPECT_NE(racy.result.err.find("WARNING: ThreadSanitizer: data race"), std::string::npos) << racy.result.err;
  EXPECT_NE(racy.result.err.find("racy_kernel"), std::string::npos) << racy.result.err;
  const ProbeRun ordered = run_probe("barriers", env);
  EXPECT_EQ(ordered.result.exit_status, 0) << ordered.result.err;
  EXPECT_EQ(ordered.result.out, "1024 threads 0 right\n4 threads 0 right\n");
}

TEST(Trace, TraceThatCannotBeWrittenInFullIsReportedOnceAndTheProgramGoesOn) {
  TempDir dir;
  const auto result = test_helpers::run_program_with_file_size_limit(
      RUNTIME_PROBE, {"calls"}, dir.path(), 300, {{"CUDART_TRACE", (dir / "trace.jsonl").string()}});
  EXPECT_EQ(result.exit_status, 0);
  ASSERT_EQ(split_lines(result.err).size(), 1u) << result.err;
  EXPECT_NE(result.err.find("cannot write trace file"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("File too large"), std::string::npos) << result.err;
  EXPECT_NE(result.out.find("cutDeleteTimer 1\n"), std::string::npos) << result.out;
}

TEST(Trace, UnwritableTraceIsReportedOnceAndTheProgramGoesOn) {
  TempDir dir;
  const auto result = run_program(RUNTIME_PROBE, {"calls"}, dir.path(),
                                  {{"CUDART_TRACE", (dir / "missing-folder" / "trace.jsonl").string()}});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(split_lines(result.err).size(), 1u) << result.err;
  EXPECT_NE(result.err.find("trace"), std::string::npos);
  EXPECT_NE(result.out.find("cudaMalloc 0"), std::string::npos);
}

}  // namespace
