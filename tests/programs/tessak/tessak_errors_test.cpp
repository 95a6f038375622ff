// tessak end to end: every failure ends with one message and status 1, and
// a failure before the result is written leaves no result file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "json.h"
#include "tessak_test_util.h"

namespace {

using namespace tessak_test;
using test_helpers::split_lines;
using test_helpers::write_file;

TEST(TessakErrors, GraphFileThatDoesNotOpen) {
  TempDir dir;
  auto run = run_tessak(dir, {"missing.txt"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "Reading File\nInput file: missing.txt\nError Reading graph file\n");
  EXPECT_EQ(run.err, "");
  run = run_tessak(dir, {});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "Reading File\nNo input file specified, defaulting to SampleGraph.txt\nError Reading graph file\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "result.txt"));
}

struct BadGraph {
  std::string name;
  std::string text;
  std::string error;  // after "tessak: g.txt: "
};

void PrintTo(const BadGraph& c, std::ostream* os) { *os << c.name; }

class TessakRejectsGraph : public ::testing::TestWithParam<BadGraph> {};

TEST_P(TessakRejectsGraph, BeforeAnythingReachesTheDevice) {
  TempDir dir;
  write_file(dir / "g.txt", GetParam().text);
  const std::string trace = (dir / "trace.jsonl").string();
  const auto run = run_tessak(dir, {"g.txt"}, {{"CUDART_TRACE", trace}});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "tessak: g.txt: " + GetParam().error + "\n");
  EXPECT_EQ(run.out, "Reading File\nInput file: g.txt\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "result.txt"));
  EXPECT_TRUE(test_helpers::calls_named(test_helpers::read_trace(trace), "cudaMalloc").empty());
}

// Three nodes 0 -> 1 -> 2 ("3 0 1 1 1 2 0", source 0, "2 1 1 2 1"), broken one way each.
INSTANTIATE_TEST_SUITE_P(
    Files, TessakRejectsGraph,
    ::testing::Values(
        BadGraph{"Empty", " \n\t\n", "node count is missing (the file ends early)"},
        BadGraph{"Word", "three", "node count is not an integer: \"three\""},
        BadGraph{"NegativeNodeCount", "-3 0 1", "node count: -3 is negative"},
        BadGraph{"TooLarge", "2147483648", "node count does not fit in a 32-bit integer"},
        BadGraph{"TooSmall", "3 -2147483649 1", "node 0: first_edge does not fit in a 32-bit integer"},
        BadGraph{"DigitsThenLetters", "3x 0 1", "node 0: first_edge is not an integer: \"x\""},
        BadGraph{"LongWordCut", "3 0 1 1 1 abcdefghijklmnopqrstuvwxyz",
                 "node 2: first_edge is not an integer: \"abcdefghijklmnopqrst...\""},
        BadGraph{"NodeRecordsCutShort", "3 0 1 1 1 2", "node 2: edge_count is missing (the file ends early)"},
        BadGraph{"SourcePastEnd", "3 0 1 1 1 2 0 3 2 1 1 2 1", "source node: 3 is outside 0..2"},
        BadGraph{"NoNodes", "0 0 0", "source node: the graph has no nodes"},
        BadGraph{"NegativeEdgeCount", "3 0 1 1 1 2 0 0 -2", "edge count: -2 is negative"},
        BadGraph{"RunPastEnd", "3 0 1 1 2 2 0 0 2 1 1 2 1",
                 "node 1: its 2 edges from entry 1 leave the edge list of 2 entries"},
        BadGraph{"RunBeforeStart", "3 -1 1 1 1 2 0 0 2 1 1 2 1",
                 "node 0: its 1 edges from entry -1 leave the edge list of 2 entries"},
        BadGraph{"NegativeTarget", "3 0 1 1 1 2 0 0 2 -1 1 2 1", "edge 0: target -1 is outside 0..2"},
        BadGraph{"TargetPastEnd", "3 0 1 1 1 2 0 0 2 1 1 3 1", "edge 1: target 3 is outside 0..2"},
        BadGraph{"CostMissing", "3 0 1 1 1 2 0 0 2 1 1 2", "edge 1: cost is missing (the file ends early)"},
        BadGraph{"DecimalCost", "3 0 1 1 1 2 0 0 2 1 1.5 2 1", "edge 1: target is not an integer: \".5\""}),
    [](const ::testing::TestParamInfo<BadGraph>& info) { return info.param.name; });

// --- Failures of the runtime, the timer and the host ----------------------------

struct Fault {
  std::string name;
  std::string fail;      // CUDART_FAIL
  std::string message;   // standard error, "%d" standing for the line number
  std::string call;      // what the reported source line holds
  std::string last_out;  // how the last line on standard output begins
};

void PrintTo(const Fault& c, std::ostream* os) { *os << c.name; }

// The source line that an "in line <n>" message points at.
std::string source_line(const std::string& message) {
  std::smatch m;
  if (!std::regex_search(message, m, std::regex(R"(in line (\d+))"))) return "";
  std::ifstream in(TESSAK_SOURCE);
  std::string line;
  for (int i = std::stoi(m[1]); i > 0 && std::getline(in, line);) i--;
  return line;
}

class TessakFault : public ::testing::TestWithParam<Fault> {};

TEST_P(TessakFault, ReportsTheCallAndStops) {
  const Fault& f = GetParam();
  TempDir dir;
  write_file(dir / "g.txt", kExampleGraph);
  const auto run = run_tessak(dir, {"g.txt"}, {{"CUDART_FAIL", f.fail}});
  EXPECT_EQ(run.exit_status, 1);
  const std::string escaped = std::regex_replace(f.message, std::regex(R"([.()])"), "\\$&");
  EXPECT_TRUE(std::regex_match(run.err, std::regex(std::regex_replace(escaped, std::regex("%d"), "[0-9]+"))))
      << run.err;
  EXPECT_NE(source_line(run.err).find(f.call), std::string::npos) << "reported line: " << source_line(run.err);
  const auto lines = split_lines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines.back().starts_with(f.last_out)) << run.out;
  EXPECT_EQ(std::filesystem::exists(dir / "result.txt"), f.last_out == "Result stored in result.txt");
}

const std::string kCudaError = "Cuda error in file 'tessak.cu' in line %d : ";
const std::string kCutError = "Cut error in file 'tessak.cu' in line %d.\n";
const std::string kLaunchError = "Cuda error: Kernel execution failed in file 'tessak.cu' in line %d : ";
const std::string kCopied = "Copied Everything to GPU memory";

// The example graph takes three launches: the n-th call of a loop call falls
// in launch n, copies 6..11 are the flag's.
INSTANTIATE_TEST_SUITE_P(
    Calls, TessakFault,
    ::testing::Values(
        Fault{"FirstAllocation", "cudaMalloc:1", kCudaError + "out of memory.\n", "cudaMalloc(", "Read File"},
        Fault{"MaskCopy", "cudaMemcpy:3", kCudaError + "invalid argument.\n", "d_graph_mask, h_graph_mask", "Read File"},
        Fault{"FlagCopyDown", "cudaMemcpy:8", kCudaError + "invalid argument.\n", "cudaMemcpy(d_over", kCopied},
        Fault{"FlagCopyBack", "cudaMemcpy:9", kCudaError + "invalid argument.\n", "cudaMemcpy(&h_over", kCopied},
        Fault{"CostCopyBack", "cudaMemcpy:12", kCudaError + "invalid argument.\n", "cudaMemcpy(h_cost", "Kernel Executed 3 times"},
        Fault{"Launch", "cudaLaunch:2", kLaunchError + "unspecified launch failure.\n", "CUT_CHECK_ERROR", kCopied},
        Fault{"Configure", "cudaConfigureCall:1", kLaunchError + "invalid configuration argument.\n", "CUT_CHECK_ERROR", kCopied},
        Fault{"Synchronize", "cudaThreadSynchronize:3", kCudaError + "unspecified launch failure.\n", "cudaThreadSynchronize", kCopied},
        Fault{"Free", "cudaFree:2", kCudaError + "invalid device pointer.\n", "cudaFree(d_graph_edges)", "Result stored in result.txt"},
        Fault{"TimerCreate", "cutCreateTimer:1", kCutError, "cutCreateTimer", kCopied},
        Fault{"TimerStartInLoop", "cutStartTimer:3", kCutError, "cutStartTimer", kCopied},
        Fault{"TimerStopInLoop", "cutStopTimer:1", kCutError, "cutStopTimer", kCopied},
        Fault{"TimerReset", "cutResetTimer:3", kCutError, "cutResetTimer", kCopied},
        Fault{"TimerStopAfterLoop", "cutStopTimer:4", kCutError, "cutStopTimer", "Kernel Executed 3 times"},
        Fault{"TimerDelete", "cutDeleteTimer:1", kCutError, "cutDeleteTimer", "Processing time: "}),
    [](const ::testing::TestParamInfo<Fault>& info) { return info.param.name; });

TEST(TessakErrors, ResultFileThatCannotBeCreated) {
  TempDir dir;
  write_file(dir / "g.txt", kExampleGraph);
  std::filesystem::create_directory(dir / "result.txt");
  const auto run = run_tessak(dir, {"g.txt"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "tessak: cannot create result.txt: Is a directory\n");
  EXPECT_TRUE(split_lines(run.out).back().starts_with("Processing time: ")) << run.out;
}

// The address space is capped at 256 MiB and the file claims 100 million
// nodes: 800 MB of node records.
TEST(TessakErrors, HostAllocationFailure) {
#if defined(GPU_SANITIZED_BUILD)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#endif
  TempDir dir;
  write_file(dir / "g.txt", "100000000 0 0\n");
  const auto run = test_helpers::run_program(
      "/bin/sh", {"-c", "ulimit -v 262144 && exec \"$0\" g.txt", test_helpers::program_path("tessak").string()},
      dir.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.err, "tessak: cannot allocate 800000000 bytes of host memory for the node array\n");
  EXPECT_EQ(run.out, "Reading File\nInput file: g.txt\n");
}

}  // namespace
