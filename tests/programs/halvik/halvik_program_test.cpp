// halvik run as a user runs it: its output, its refusals and exit statuses,
// and through the runtime's trace, the images it copies back.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "halvik_reference.h"
#include "json.h"
#include "program_runner.h"

namespace {

using test_helpers::calls_named;
using test_helpers::Json;
using test_helpers::ProgramResult;
using test_helpers::read_trace;
using test_helpers::run_program;
using test_helpers::TempDir;

const char kProgress[] =
    "Randomizing the input matrix\nStart the HALVIK main loop\nComputation Done\n";

ProgramResult halvik(const std::vector<std::string>& args, const TempDir& dir,
                     std::map<std::string, std::string> env = {}) {
  return run_program(test_helpers::program_path("halvik"), args, dir.path(), env);
}

// Runs halvik with a trace and returns the trace's entries.
std::vector<Json> traced(const std::vector<std::string>& args, const TempDir& dir,
                         ProgramResult& result, std::map<std::string, std::string> env = {}) {
  env["CUDART_TRACE"] = (dir / "trace.jsonl").string();
  result = halvik(args, dir, env);
  return read_trace((dir / "trace.jsonl").string());
}

std::vector<Json> copies_of_kind(const std::vector<Json>& trace, int kind) {
  std::vector<Json> out;
  for (const Json& c : calls_named(trace, "cudaMemcpy"))
    if (c["kind"].integer() == kind) out.push_back(c);
  return out;
}

TEST(HalvikProgram, WrongArgumentCountPrintsUsage) {
  TempDir dir;
  const std::string self = std::filesystem::absolute(test_helpers::program_path("halvik")).string();
  const std::string usage = "Usage: " + self +
                            " <rows> <cols> <y1> <y2> <x1> <x2> <lamda> <no. of iter>\n"
                            "\t<rows>   - number of rows\n"
                            "\t<cols>    - number of cols\n"
                            "\t<y1> \t - y1 value of the speckle\n"
                            "\t<y2>      - y2 value of the speckle\n"
                            "\t<x1>       - x1 value of the speckle\n"
                            "\t<x2>       - x2 value of the speckle\n"
                            "\t<lamda>   - lambda (0,1)\n"
                            "\t<no. of iter>   - number of iterations\n";
  for (const auto& args :
       std::vector<std::vector<std::string>>{{},
                                             {"16", "16", "0", "15", "0", "15", "0.5"},
                                             {"16", "16", "0", "15", "0", "15", "0.5", "1", "1"}}) {
    const ProgramResult r = halvik(args, dir);
    EXPECT_EQ(r.exit_status, 1) << args.size() << " arguments";
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage);
  }
}

TEST(HalvikProgram, SizesMustBeMultiplesOf16BeforeAnythingElse) {
  TempDir dir;
  // The other arguments would be refused too; the size is checked first.
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"24", "16", "0", "99", "0", "99", "0.5", "1"},
                                             {"16", "40", "9", "2", "0", "0", "0.5", "1"},
                                             {"-8", "16", "0", "0", "0", "0", "0.5", "1"}}) {
    const ProgramResult r = halvik(args, dir);
    EXPECT_EQ(r.exit_status, 1) << args[0] << "x" << args[1];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "rows and cols must be multiples of 16\n");
  }
}

struct Refusal {
  std::vector<std::string> args;
  std::string names;  // what the one line of standard error must mention
};

void PrintTo(const Refusal& r, std::ostream* os) {
  for (const std::string& a : r.args) *os << a << ' ';
}

class HalvikRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(HalvikRefusal, OneLineNamingTheArgument) {
  TempDir dir;
  ProgramResult r;
  const std::vector<Json> trace = traced(GetParam().args, dir, r);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(test_helpers::split_lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find(GetParam().names), std::string::npos) << r.err;
  EXPECT_TRUE(calls_named(trace, "cudaMalloc").empty()) << "refused before allocating";
}

INSTANTIATE_TEST_SUITE_P(
    BadArguments, HalvikRefusal,
    ::testing::Values(Refusal{{"0", "16", "0", "0", "0", "0", "0.5", "1"}, "rows"},
                      Refusal{{"16", "-16", "0", "0", "0", "0", "0.5", "1"}, "cols"},
                      Refusal{{"65536", "65536", "0", "0", "0", "0", "0.5", "1"}, "rows x cols"},
                      Refusal{{"16", "32", "0", "16", "0", "0", "0.5", "1"}, "y2"},
                      Refusal{{"16", "32", "0", "-1", "0", "0", "0.5", "1"}, "y2"},
                      Refusal{{"16", "32", "0", "0", "0", "32", "0.5", "1"}, "x2"},
                      Refusal{{"32", "16", "7", "6", "0", "0", "0.5", "1"}, "y1"},
                      Refusal{{"32", "16", "0", "0", "9", "3", "0.5", "1"}, "x1"}),
    [](const ::testing::TestParamInfo<Refusal>& info) {
      std::string name;
      for (const std::string& a : info.param.args) {
        for (char ch : a) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        name += '_';
      }
      return name + std::to_string(info.index);
    });

TEST(HalvikProgram, FailedDeviceAllocationStops) {
  for (const char* fail : {"cudaMalloc:1", "cudaMalloc:6"}) {
    TempDir dir;
    ProgramResult r;
    const std::vector<Json> trace =
        traced({"32", "32", "0", "15", "0", "15", "0.5", "2"}, dir, r, {{"CUDART_FAIL", fail}});
    EXPECT_EQ(r.exit_status, 1) << fail;
    EXPECT_EQ(r.out, "") << fail;
    EXPECT_EQ(test_helpers::split_lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("out of memory"), std::string::npos) << r.err;
    EXPECT_TRUE(calls_named(trace, "cudaLaunch").empty()) << fail;
  }
}

TEST(HalvikProgram, FailedHostAllocationStops) {
  TempDir dir;
  // About 8.6 GB per host buffer, more than the program may have. Under
  // AddressSanitizer an address-space limit stops the sanitizer itself, so
  // there its allocator is told to refuse large requests instead.
#if defined(GPU_SANITIZED_BUILD)
  const char* limit = "";
#else
  const char* limit = "ulimit -v 1000000 && ";
#endif
  const ProgramResult r = run_program(
      "/bin/sh",
      {"-c", std::string(limit) + "exec \"$0\" \"$@\"",
       std::filesystem::absolute(test_helpers::program_path("halvik")).string(), "32768", "65520",
       "0", "15", "0", "15", "0.5", "1"},
      dir.path(), {{"ASAN_OPTIONS", "allocator_may_return_null=1:max_allocation_size_mb=1024"}});
  std::vector<std::string> lines;
  for (const std::string& line : test_helpers::split_lines(r.err))
    if (line.rfind("==", 0) != 0) lines.push_back(line);  // the sanitizer's own notes
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  ASSERT_EQ(lines.size(), 1u) << r.err;
  EXPECT_NE(lines[0].find("host"), std::string::npos) << r.err;
}

TEST(HalvikProgram, NoIterationsStillSucceeds) {
  for (const char* count : {"0", "-3"}) {
    TempDir dir;
    ProgramResult r;
    const std::vector<Json> trace =
        traced({"16", "16", "0", "15", "0", "15", "0.5", count}, dir, r);
    EXPECT_EQ(r.exit_status, 0) << count;
    EXPECT_EQ(r.out, kProgress);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(calls_named(trace, "cudaLaunch").empty());
    EXPECT_TRUE(calls_named(trace, "cudaMemcpy").empty());
    EXPECT_EQ(calls_named(trace, "cudaMalloc").size(), 6u);
    EXPECT_EQ(calls_named(trace, "cudaFree").size(), 6u);
  }
}

TEST(HalvikProgram, EachIterationCopiesInLaunchesBothKernelsAndCopiesBack) {
  TempDir dir;
  ProgramResult r;
  const std::vector<Json> trace = traced({"64", "32", "0", "15", "0", "15", "0.5", "2"}, dir, r);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, kProgress);
  EXPECT_EQ(r.err, "");
  const long long bytes = 64 * 32 * 4;

  const std::vector<Json> mallocs = calls_named(trace, "cudaMalloc");
  ASSERT_EQ(mallocs.size(), 6u);
  for (const Json& m : mallocs) EXPECT_EQ(m["bytes"].integer(), bytes);

  // In call order: copy in, kernel 1, kernel 2, copy back, twice; then wait and free.
  std::vector<std::string> sequence;
  for (const Json& c : trace) {
    if (!c.has("call")) continue;
    const std::string call = c["call"].str();
    if (call == "cudaMemcpy") {
      EXPECT_EQ(c["bytes"].integer(), bytes);
      EXPECT_EQ(c[c["kind"].integer() == 1 ? "dst" : "src"]["alloc"].integer(), 0) << "J_cuda";
      sequence.push_back(c["kind"].integer() == 1 ? "in" : "back");
    } else if (call == "cudaLaunch") {
      EXPECT_EQ(c["grid"].integers(), (std::vector<long long>{2, 4, 1}));
      EXPECT_EQ(c["block"].integers(), (std::vector<long long>{16, 16, 1}));
      sequence.push_back(c["kernel"].str());
    } else if (call == "cudaThreadSynchronize" || call == "cudaFree") {
      sequence.push_back(call);
    }
  }
  const std::string k1 = "_Z13halvik_cuda_1PfS_S_S_S_S_iif",
                    k2 = "_Z13halvik_cuda_2PfS_S_S_S_S_iiff";
  const std::vector<std::string> want{"in",       k1,         k2,
                                      "back",     "in",       k1,
                                      k2,         "back",     "cudaThreadSynchronize",
                                      "cudaFree", "cudaFree", "cudaFree",
                                      "cudaFree", "cudaFree", "cudaFree"};
  EXPECT_EQ(sequence, want);

  // Six pointers, cols and rows, then q0sqr (and lambda) as 4-byte values.
  const std::vector<Json> launches = calls_named(trace, "cudaLaunch");
  ASSERT_EQ(launches.size(), 4u);
  std::vector<std::vector<long long>> args1, args2;
  for (const Json& a : launches[0]["args"].array()) args1.push_back(a.integers());
  for (const Json& a : launches[1]["args"].array()) args2.push_back(a.integers());
  std::vector<std::vector<long long>> want_args{{0, 8},  {8, 8},  {16, 8}, {24, 8}, {32, 8},
                                                {40, 8}, {48, 4}, {52, 4}, {56, 4}};
  EXPECT_EQ(args1, want_args);
  want_args.push_back({60, 4});
  EXPECT_EQ(args2, want_args);
}

struct RunArgs {
  int rows, cols, y1, y2, x1, x2;
  float lambda;
  int iterations;
  std::vector<std::string> args() const {
    char l[32];
    std::snprintf(l, sizeof l, "%.9g", lambda);
    return {std::to_string(rows),
            std::to_string(cols),
            std::to_string(y1),
            std::to_string(y2),
            std::to_string(x1),
            std::to_string(x2),
            l,
            std::to_string(iterations)};
  }
};

void PrintTo(const RunArgs& r, std::ostream* os) {
  for (const std::string& a : r.args()) *os << a << ' ';
}

class HalvikFinalImage : public ::testing::TestWithParam<RunArgs> {};

TEST_P(HalvikFinalImage, MatchesHostModel) {
  const RunArgs run = GetParam();
  TempDir dir;
  ProgramResult r;
  const std::vector<Json> trace = traced(run.args(), dir, r);
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, kProgress);
  const std::vector<Json> back = copies_of_kind(trace, 2);
  ASSERT_EQ(back.size(), static_cast<size_t>(run.iterations));
  const std::vector<float> want = halvik_reference::run(run.rows, run.cols, run.y1, run.y2, run.x1,
                                                        run.x2, run.lambda, run.iterations);
  EXPECT_EQ(back.back()["digest"].str(), halvik_reference::digest(want));
}

INSTANTIATE_TEST_SUITE_P(Runs, HalvikFinalImage,
                         ::testing::Values(RunArgs{64, 64, 0, 15, 0, 15, 0.5f, 1},
                                           RunArgs{64, 64, 0, 15, 0, 15, 0.5f, 5},
                                           RunArgs{64, 64, 10, 40, 5, 60, 0.25f, 5},
                                           RunArgs{16, 16, 0, 15, 0, 15, 0.5f, 3},
                                           RunArgs{32, 48, 3, 3, 7, 7, 0.5f, 2}),
                         [](const ::testing::TestParamInfo<RunArgs>& info) {
                           const RunArgs& r = info.param;
                           return std::to_string(r.rows) + "x" + std::to_string(r.cols) +
                                  "_region_" + std::to_string(r.y1) + "_" + std::to_string(r.y2) +
                                  "_" + std::to_string(r.x1) + "_" + std::to_string(r.x2) +
                                  "_iterations_" + std::to_string(r.iterations) + "_" +
                                  std::to_string(info.index);
                         });

TEST(HalvikProgram, RepeatedRunsCopyBackTheSameImages) {
  const std::vector<std::string> args{"48", "64", "4", "30", "2", "50", "0.5", "3"};
  std::vector<std::string> digests[2];
  for (auto& d : digests) {
    TempDir dir;
    ProgramResult r;
    const std::vector<Json> trace = traced(args, dir, r);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    for (const Json& c : copies_of_kind(trace, 2)) d.push_back(c["digest"].str());
  }
  ASSERT_EQ(digests[0].size(), 3u);
  EXPECT_EQ(digests[0], digests[1]);
  EXPECT_NE(digests[0][0], digests[0][1]) << "the image changes from one iteration to the next";
}

TEST(HalvikProgram, RefusedConfigurationSkipsOnlyThatLaunch) {
  TempDir dir;
  ProgramResult r;
  // The second configure call is kernel 2's: the image goes back untouched.
  const std::vector<Json> trace = traced({"32", "32", "0", "15", "0", "15", "0.5", "1"}, dir, r,
                                         {{"CUDART_FAIL", "cudaConfigureCall:2"}});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, kProgress);
  EXPECT_EQ(r.err, "");
  const std::vector<Json> launches = calls_named(trace, "cudaLaunch");
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0]["kernel"].str(), "_Z13halvik_cuda_1PfS_S_S_S_S_iif");
  EXPECT_TRUE(calls_named(trace, "cudaSetupArgument").size() == 9u);
  EXPECT_EQ(copies_of_kind(trace, 2).at(0)["digest"].str(),
            copies_of_kind(trace, 1).at(0)["digest"].str());
}

}  // namespace
