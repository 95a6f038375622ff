// Kernels that touch memory they must not, watched from the outside through
// access_probe: a fault stops its launch with status 700 and one line naming
// it, and the process lives on; CUDART_MEMCHECK=1 on a checked build reports
// each kind of bad access before it happens; CUDART_FOOTPRINT=1 measures
// what each CTA touched against what the tracker was told. Every scenario
// runs with block functions and with CUDART_BARRIERS=fibers.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <ostream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "json.h"
#include "program_runner.h"

namespace {

using test_helpers::Json;
using test_helpers::ProgramResult;

const char* const kModes[] = {"loops", "fibers"};

ProgramResult run_probe(const char* program, const std::vector<std::string>& args,
                        std::map<std::string, std::string> env = {}) {
  test_helpers::TempDir dir;
  return test_helpers::run_program(program, args, dir.path(), env);
}

// Addresses differ from run to run, columns are the compiler's business.
std::string normalized(const std::string& text) {
  const std::string no_address = std::regex_replace(text, std::regex("0x[0-9a-f]{6,}"), "0x...");
  return std::regex_replace(no_address, std::regex(R"((access_probe\.cu:\d+):\d+)"), "$1");
}

// The probe's source place marked "@marker", as reports name it.
std::string at(const std::string& marker, const std::string& function) {
  return "access_probe.cu:" + std::to_string(test_helpers::source_line(ACCESS_PROBE_SOURCE, "@" + marker)) +
         " (" + function + ")";
}

// What every call after a fault returns: the context is lost.
const std::string kLostContext =
    "cudaThreadSynchronize 700\ncudaThreadSynchronize 700\ncudaGetLastError 700\ncudaGetLastError 700\n"
    "cudaMalloc 700\ncudaMemcpy 700\nlaunch 700\ncudaGetDeviceCount 0\n";

// ---------------------------------------------------------------------------
// Faults, on a build without checks.

struct FaultCase {
  const char* scenario;
  const char* err;  ///< normalized
  std::string out;
};

const FaultCase kFaults[] = {
    {"past-end-write",
     "gpu runtime: kernel store_each(float*, int), block (33, 0, 0): illegal memory write at allocation 0 + 4096, "
     "past the end of its 4096 bytes\n",
     "cudaMalloc 0\n" + kLostContext},
    {"past-end-read",
     "gpu runtime: kernel load_each(float const*, float*, int), block (3, 0, 0): illegal memory read at allocation 0 "
     "+ 4096, past the end of its 4096 bytes\n",
     "cudaMalloc 0\ncudaMalloc 0\ncudaThreadSynchronize 700\n"},
    {"before-start",
     "gpu runtime: kernel load_each(float const*, float*, int), block (0, 0, 0): illegal memory read at allocation 0 "
     "- 4, before its start\n",
     "cudaMalloc 0\ncudaMalloc 0\ncudaThreadSynchronize 700\n"},
    {"freed",
     "gpu runtime: kernel load_each(float const*, float*, int), block (0, 0, 0): illegal memory read at freed "
     "allocation 0 + 0 (4096 bytes)\n",
     "cudaMalloc 0\ncudaMalloc 0\ncudaFree 0\ncudaThreadSynchronize 700\n"},
    {"null",
     "gpu runtime: kernel store_each(float*, int), block (0, 0, 0): illegal memory write at 0x0 (no device "
     "allocation near it)\n",
     "cudaThreadSynchronize 700\n"},
    // The issue's example: 64 x 256 threads writing a[i * 4096] into 1024
    // floats; thread 1 of block 0 lands in the guard region.
    {"scatter",
     "gpu runtime: kernel scatter(float*, int), block (0, 0, 0): illegal memory write at allocation 0 + 16384, past "
     "the end of its 4096 bytes\n",
     "cudaMalloc 0\ncudaThreadSynchronize 700\n"},
    // Thread 37 of block 2 faults after a barrier: on a fiber under fibers.
    {"fiber-fault",
     "gpu runtime: kernel exchange_then_store(float*, int), block (2, 0, 0): illegal memory write at allocation 0 + "
     "4096, past the end of its 4096 bytes\n",
     "cudaMalloc 0\ncudaThreadSynchronize 700\n"},
    {"stack-overflow",
     "gpu runtime: kernel overflow(int*, int), block (0, 0, 0): illegal memory write at 0x... (no device allocation "
     "near it)\n",
     "cudaMalloc 0\ncudaThreadSynchronize 700\n"},
    // What was queued behind the faulting launch never runs.
    {"queued-after-fault",
     "gpu runtime: kernel store_each(float*, int), block (4, 0, 0): illegal memory write at allocation 0 + 4096, "
     "past the end of its 4096 bytes\n",
     "cudaMalloc 0\ncudaMalloc 0\ncudaThreadSynchronize 700\nmarker 0\n"},
    // Inside the 256-byte rounding of a 400-byte buffer: no guard there
    // (CUDART_MEMCHECK finds it, below).
    {"past-slack", "", "cudaMalloc 0\ncudaMalloc 0\ncudaThreadSynchronize 0\n"},
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.scenario; }

// ThreadSanitizer keeps a record of every setjmp per thread, and takes each
// fiber for a thread: it cannot follow the jump that ends a faulting launch
// from a fiber's stack back to the worker's.
bool jumps_from_a_fiber_under_tsan(const std::string& scenario, const std::string& mode) {
  return test_helpers::kThreadSanitizer && mode == "fibers" && (scenario == "fiber-fault" || scenario == "stack-overflow");
}

class KernelFaults : public ::testing::TestWithParam<std::tuple<FaultCase, const char*>> {};

TEST_P(KernelFaults, StopTheLaunchWithStatus700AndOneLineNamingIt) {
  const auto& [c, mode] = GetParam();
#if defined(GPU_SANITIZED_BUILD)
  if (std::string(c.scenario) == "null")
    GTEST_SKIP() << "UndefinedBehaviorSanitizer's null check stops the store itself";
  if (std::string(c.scenario) == "stack-overflow")
    GTEST_SKIP() << "AddressSanitizer takes the frames left behind on the overflowed stack for ones still in use";
#endif
  if (jumps_from_a_fiber_under_tsan(c.scenario, mode)) GTEST_SKIP() << "ThreadSanitizer cannot follow the jump";
  // One worker: blocks run in order, so the first bad access is always the same.
  const ProgramResult r = run_probe(ACCESS_PROBE, {c.scenario}, {{"CUDART_BARRIERS", mode}, {"CUDART_WORKERS", "1"}});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(normalized(r.err), c.err);
  EXPECT_EQ(r.out, c.out);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, KernelFaults, ::testing::Combine(::testing::ValuesIn(kFaults), ::testing::ValuesIn(kModes)),
                         [](const auto& info) {
                           std::string name = std::string(std::get<0>(info.param).scenario) + "_" + std::get<1>(info.param);
                           for (char& ch : name)
                             if (ch == '-') ch = '_';
                           return name;
                         });

TEST(KernelFaults, FaultsOfHostCodeStillKillTheProcess) {
#if defined(GPU_SANITIZED_BUILD)
  GTEST_SKIP() << "AddressSanitizer's handler reports host faults itself and exits with its own status";
#endif
  if (test_helpers::kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer reports host faults itself and exits with its own status";
  const ProgramResult r = run_probe(ACCESS_PROBE, {"host-fault"});
  EXPECT_EQ(r.exit_status, 128 + SIGSEGV);
  EXPECT_EQ(r.out, "cudaMalloc 0\ncudaFree 0\n");
}

TEST(KernelFaults, AreHandledTheSameWhenChecksAreAskedOfAProgramBuiltWithoutThem) {
  const ProgramResult r = run_probe(ACCESS_PROBE, {"past-end-write"}, {{"CUDART_MEMCHECK", "1"}});
  const std::vector<std::string> lines = test_helpers::split_lines(r.err);
  ASSERT_EQ(lines.size(), 2u) << r.err;
  EXPECT_EQ(lines[0],
            "gpu runtime: CUDART_MEMCHECK=1 has no effect: the program was not built for checking (gpucc --memcheck)");
  EXPECT_EQ(lines[1].rfind("gpu runtime: kernel store_each(float*, int), block (33, 0, 0): illegal memory write", 0), 0u);
  EXPECT_EQ(r.out, "cudaMalloc 0\n" + kLostContext);
}

TEST(KernelFaults, MalformedCheckSettingsAreReportedAndIgnored) {
  const ProgramResult r = run_probe(ACCESS_PROBE_CHECKED, {"no-race"}, {{"CUDART_MEMCHECK", "yes"}, {"CUDART_FOOTPRINT", "2"}});
  EXPECT_EQ(r.err,
            "gpu runtime: ignoring CUDART_MEMCHECK value 'yes': expected 0 or 1\n"
            "gpu runtime: ignoring CUDART_FOOTPRINT value '2': expected 0 or 1\n");
  EXPECT_EQ(r.exit_status, 0);
}

// ---------------------------------------------------------------------------
// CUDART_MEMCHECK=1 on the checked build.

struct CheckCase {
  const char* scenario;
  const char* what;      ///< the report's first line
  const char* marker;    ///< where the access is
  const char* function;  ///< the function holding it
  const char* thread;
  const char* block;
  const char* address;   ///< normalized
  const char* out;
};

const CheckCase kChecks[] = {
    {"past-end-write", "invalid global write of 4 bytes in kernel store_each(float*, int)", "store",
     "store_each(float*, int)", "(1, 0, 0)", "(33, 0, 0)",
     "0x... is allocation 0 + 4096, past the end of its 4096 bytes",
     "cudaMalloc 0\ncudaThreadSynchronize 700\ncudaThreadSynchronize 700\ncudaGetLastError 700\ncudaGetLastError "
     "700\ncudaMalloc 700\ncudaMemcpy 700\nlaunch 700\ncudaGetDeviceCount 0\n"},
    {"past-slack", "invalid global read of 4 bytes in kernel load_each(float const*, float*, int)", "load",
     "load_each(float const*, float*, int)", "(99, 0, 0)", "(0, 0, 0)",
     "0x... is allocation 0 + 400, past the end of its 400 bytes",
     "cudaMalloc 0\ncudaMalloc 0\ncudaThreadSynchronize 700\n"},
    {"before-start", "invalid global read of 4 bytes in kernel load_each(float const*, float*, int)", "load",
     "load_each(float const*, float*, int)", "(0, 0, 0)", "(0, 0, 0)", "0x... is allocation 0 - 4, before its start",
     "cudaMalloc 0\ncudaMalloc 0\ncudaThreadSynchronize 700\n"},
    {"freed", "use after free: invalid global read of 4 bytes in kernel load_each(float const*, float*, int)", "load",
     "load_each(float const*, float*, int)", "(0, 0, 0)", "(0, 0, 0)", "0x... is freed allocation 0 + 0 (4096 bytes)",
     "cudaMalloc 0\ncudaMalloc 0\ncudaFree 0\ncudaThreadSynchronize 700\n"},
    {"null", "invalid global write of 4 bytes in kernel store_each(float*, int)", "store", "store_each(float*, int)",
     "(0, 0, 0)", "(0, 0, 0)", "0x0 is not device memory (no device allocation near it)",
     "cudaThreadSynchronize 700\n"},
    {"host-memory", "invalid global write of 4 bytes in kernel store_each(float*, int)", "store",
     "store_each(float*, int)", "(0, 0, 0)", "(0, 0, 0)", "0x... is not device memory (no device allocation near it)",
     "cudaThreadSynchronize 700\n"},
    {"scatter", "invalid global write of 4 bytes in kernel scatter(float*, int)", "scatter", "scatter(float*, int)",
     "(1, 0, 0)", "(0, 0, 0)", "0x... is allocation 0 + 16384, past the end of its 4096 bytes",
     "cudaMalloc 0\ncudaThreadSynchronize 700\n"},
    {"misaligned", "misaligned global write of 4 bytes in kernel misaligned_store(char*)", "misaligned",
     "misaligned_store(char*)", "(0, 0, 0)", "(0, 0, 0)", "0x... is allocation 0 + 2 (4096 bytes), not a multiple of 4",
     "cudaMalloc 0\ncudaThreadSynchronize 700\n"},
    {"shared-past-end", "invalid shared write of 4 bytes in kernel shared_past_end(float*)", "shared-store",
     "shared_past_end(float*)", "(32, 0, 0)", "(0, 0, 0)",
     "0x... is shared memory offset 128, past the end of the block's 128 bytes", "cudaMalloc 0\ncudaThreadSynchronize 700\n"},
    {"fiber-fault", "invalid global write of 4 bytes in kernel exchange_then_store(float*, int)", "fiber-store",
     "exchange_then_store(float*, int)", "(37, 0, 0)", "(2, 0, 0)",
     "0x... is allocation 0 + 4096, past the end of its 4096 bytes", "cudaMalloc 0\ncudaThreadSynchronize 700\n"},
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.scenario; }

class MemoryChecks : public ::testing::TestWithParam<std::tuple<CheckCase, const char*>> {};

TEST_P(MemoryChecks, ReportTheFirstBadAccessAndFailTheLaunch) {
  const auto& [c, mode] = GetParam();
#if defined(GPU_SANITIZED_BUILD)
  for (const char* found_first : {"null", "misaligned", "shared-past-end"})
    if (std::string(c.scenario) == found_first)
      GTEST_SKIP() << "UndefinedBehaviorSanitizer's own checks of the kernel stop the access before ours";
#endif
  if (jumps_from_a_fiber_under_tsan(c.scenario, mode)) GTEST_SKIP() << "ThreadSanitizer cannot follow the jump";
  const ProgramResult r = run_probe(ACCESS_PROBE_CHECKED, {c.scenario},
                                    {{"CUDART_MEMCHECK", "1"}, {"CUDART_BARRIERS", mode}, {"CUDART_WORKERS", "1"}});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(normalized(r.err), std::string("gpu memcheck: ") + c.what + "\ngpu memcheck:   at " + at(c.marker, c.function) +
                                   "\ngpu memcheck:   by thread " + c.thread + " of block " + c.block +
                                   "\ngpu memcheck:   address " + c.address + "\n");
  EXPECT_EQ(r.out, c.out);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, MemoryChecks, ::testing::Combine(::testing::ValuesIn(kChecks), ::testing::ValuesIn(kModes)),
                         [](const auto& info) {
                           std::string name = std::string(std::get<0>(info.param).scenario) + "_" + std::get<1>(info.param);
                           for (char& ch : name)
                             if (ch == '-') ch = '_';
                           return name;
                         });

class SharedMemoryRaces : public ::testing::TestWithParam<const char*> {};

TEST_P(SharedMemoryRaces, AreReportedOnceWithBothThreadsAndTheLaunchGoesOn) {
  const std::map<std::string, std::string> env{{"CUDART_MEMCHECK", "1"}, {"CUDART_BARRIERS", GetParam()}};
  const ProgramResult r = run_probe(ACCESS_PROBE_CHECKED, {"race"}, env);
  const std::string function = "neighbours(float*, int)";
  EXPECT_EQ(normalized(r.err),
            "gpu memcheck: shared memory race in kernel " + function +
                ", block (0, 0, 0), at shared memory offset 4\ngpu memcheck:   read by thread (0, 0, 0) at " +
                at("race-read", function) + "\ngpu memcheck:   write by thread (1, 0, 0) at " +
                at("race-write", function) + "\ngpu memcheck:   with no barrier between them\n")
      << "two launches of two blocks: one report";
  EXPECT_EQ(r.out, "cudaMalloc 0\ncudaThreadSynchronize 0\ncudaThreadSynchronize 0\n");

  const ProgramResult fenced = run_probe(ACCESS_PROBE_CHECKED, {"no-race"}, env);
  EXPECT_EQ(fenced.err, "") << "a barrier between the write and the read";
  EXPECT_EQ(fenced.out, r.out);
}

TEST_P(SharedMemoryRaces, AreJudgedByteByByteWhereThreadsShareAWord) {
  const std::map<std::string, std::string> env{{"CUDART_MEMCHECK", "1"}, {"CUDART_BARRIERS", GetParam()}};
  const ProgramResult apart = run_probe(ACCESS_PROBE_CHECKED, {"bytes-apart"}, env);
  EXPECT_EQ(apart.err, "") << "each thread its own byte";
  EXPECT_EQ(apart.out, "cudaMalloc 0\ncudaThreadSynchronize 0\n");

  const ProgramResult r = run_probe(ACCESS_PROBE_CHECKED, {"byte-race"}, env);
  const std::string function = "byte_flags(int*, int)";
  EXPECT_EQ(normalized(r.err),
            "gpu memcheck: shared memory race in kernel " + function +
                ", block (0, 0, 0), at shared memory offset 1\ngpu memcheck:   read by thread (0, 0, 0) at " +
                at("word-read", function) + "\ngpu memcheck:   write by thread (1, 0, 0) at " +
                at("flag-write", function) + "\ngpu memcheck:   with no barrier between them\n");
  EXPECT_EQ(r.out, apart.out);
}

INSTANTIATE_TEST_SUITE_P(Modes, SharedMemoryRaces, ::testing::ValuesIn(kModes));

// ---------------------------------------------------------------------------
// CUDART_FOOTPRINT=1: four CTAs of 16 threads, each declaring a[16x .. 16x + 15].

struct FootprintCase {
  const char* name;
  std::vector<std::string> args;  ///< past, clash, extra declared elements
  long long inside, outside, unaccessed, ctas_outside, shared_read_bytes, write_conflict_bytes;
  const char* err;
};

const FootprintCase kFootprints[] = {
    {"exactly_as_declared", {"0", "0", "0"}, 64, 0, 0, 0, 0, 0, ""},
    // Thread 15 of each CTA reads one element more: the next CTA's first
    // (read by both) or, for the last, the buffer's 65th.
    {"one_element_past", {"1", "0", "0"}, 64, 4, 0, 4, 12, 0,
     "gpu runtime: kernel read_tiles(int const*, int*, int, int): 4 elements accessed outside the ranges registered "
     "with the CTA tracker, by 4 of 4 CTAs (first: CTA (0, 0, 0) at allocation 0 + 64)\n"},
    // Every CTA also writes out[0], which CTA 0 writes anyway.
    {"one_element_written_by_all", {"0", "1", "0"}, 64, 0, 0, 0, 0, 4, ""},
    // Each CTA declares four elements it never reads.
    {"declared_more", {"0", "0", "4"}, 64, 0, 16, 0, 0, 0, ""},
};

void PrintTo(const FootprintCase& c, std::ostream* os) { *os << c.name; }

class MeasuredFootprints : public ::testing::TestWithParam<std::tuple<FootprintCase, const char*>> {};

TEST_P(MeasuredFootprints, StandBesideTheDeclaredOnesInTheLaunchRecord) {
  const auto& [c, mode] = GetParam();
  std::vector<std::string> args{"tiles"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const test_helpers::TracedRun run =
      test_helpers::run_traced(ACCESS_PROBE_CHECKED, args, {{"CUDART_FOOTPRINT", "1"}, {"CUDART_BARRIERS", mode}});
  EXPECT_EQ(run.result.err, c.err);
  EXPECT_EQ(run.result.out, "cudaMalloc 0\ncudaMalloc 0\ncudaSetCTATracker 0\ncudaThreadSynchronize 0\n");
  const auto launches = test_helpers::calls_named(run.trace, "cudaLaunch");
  ASSERT_EQ(launches.size(), 1u);
  const Json& m = launches[0]["measured"];
  EXPECT_EQ((std::vector<long long>{m["inside"].integer(), m["outside"].integer(), m["unaccessed"].integer(),
                                    m["ctas_outside"].integer(), m["shared_read_bytes"].integer(),
                                    m["write_conflict_bytes"].integer()}),
            (std::vector<long long>{c.inside, c.outside, c.unaccessed, c.ctas_outside, c.shared_read_bytes,
                                    c.write_conflict_bytes}));
  // The registered buffer lists each CTA's ranges; the other does not.
  ASSERT_EQ(m["buffers"].size(), 2u);
  const Json& a = m["buffers"][0];
  EXPECT_EQ(a["alloc"].integer(), 0);
  EXPECT_EQ(a["registrations"].integer(), 1);
  EXPECT_EQ(a["element_size"].integer(), 4);
  const long long past = c.args[0] == "1" ? 4 : 0;
  for (long long cta = 0; cta < 4; ++cta)
    EXPECT_EQ(a["ranges"][cta].integers(), (std::vector<long long>{cta, 64 * cta, 64 * cta + 64 + past}));
  EXPECT_FALSE(m["buffers"][1].has("ranges"));
  EXPECT_EQ(m["buffers"][1]["written_bytes"].integer(), 256);
}

INSTANTIATE_TEST_SUITE_P(Kernels, MeasuredFootprints,
                         ::testing::Combine(::testing::ValuesIn(kFootprints), ::testing::ValuesIn(kModes)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
                         });

TEST(MeasuredFootprints, AreLeftOutWhenNotAskedFor) {
  const test_helpers::TracedRun run = test_helpers::run_traced(ACCESS_PROBE_CHECKED, {"tiles", "1", "0", "0"});
  EXPECT_EQ(run.result.err, "");
  EXPECT_FALSE(test_helpers::calls_named(run.trace, "cudaLaunch")[0].has("measured"));
}

}  // namespace
