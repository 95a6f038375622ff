// The programs as users run them, with block functions and with fibers: each
// prints, writes and copies the same bytes in both modes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "json.h"
#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using test_helpers::TempDir;

struct ProgramRun {
  const char* program;
  std::vector<std::string> args;
  const char* writes;  ///< a file the program writes, or null
};

void PrintTo(const ProgramRun& r, std::ostream* os) { *os << r.program; }

// What one run left: its output, the digest of every copy and the file it wrote.
struct Outcome {
  test_helpers::ProgramResult result;
  std::vector<std::string> digests;
  std::string written;
};

// The output without the lines that report times, which differ run to run.
std::string without_timings(const std::string& out) {
  std::string kept;
  for (const std::string& line : test_helpers::split_lines(out))
    if (line.rfind("Processing time:", 0) != 0) kept += line + "\n";
  return kept;
}

Outcome run(const ProgramRun& r, const char* barriers) {
  TempDir dir;
  // A small graph for tessak, from graphgen.
  const auto graph = test_helpers::run_program(test_helpers::program_path("graphgen"),
                                               {"grid", "40", "30", "-o", "g.txt"}, dir.path());
  EXPECT_EQ(graph.exit_status, 0) << graph.err;
  const std::string trace = (dir / "trace.jsonl").string();
  Outcome o;
  o.result = test_helpers::run_program(test_helpers::program_path(r.program), r.args, dir.path(),
                                       {{"CUDART_BARRIERS", barriers}, {"CUDART_TRACE", trace}});
  for (const auto& copy : test_helpers::calls_named(test_helpers::read_trace(trace), "cudaMemcpy"))
    o.digests.push_back(copy["digest"].str());
  if (r.writes && fs::exists(dir / r.writes)) o.written = test_helpers::read_file(dir / r.writes);
  return o;
}

class ProgramsInBothModes : public ::testing::TestWithParam<ProgramRun> {};

TEST_P(ProgramsInBothModes, PrintWriteAndCopyTheSameBytes) {
  const ProgramRun& r = GetParam();
  const Outcome regions = run(r, "regions"), fibers = run(r, "fibers");
  ASSERT_EQ(regions.result.exit_status, 0) << regions.result.err;
  ASSERT_EQ(fibers.result.exit_status, 0) << fibers.result.err;
  EXPECT_EQ(without_timings(regions.result.out), without_timings(fibers.result.out));
  EXPECT_EQ(regions.result.err, fibers.result.err);
  EXPECT_FALSE(regions.digests.empty()) << "no copy was traced";
  EXPECT_EQ(regions.digests, fibers.digests);
  if (r.writes) {
    EXPECT_FALSE(regions.written.empty()) << r.writes;
    EXPECT_EQ(regions.written, fibers.written) << r.writes;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ProgramsInBothModes,
    ::testing::Values(ProgramRun{"halvik", {"64", "48", "0", "15", "0", "15", "0.5", "3"}, nullptr},
                      ProgramRun{"tessak", {"g.txt"}, "result.txt"}, ProgramRun{"test", {}, nullptr}),
    [](const auto& info) { return std::string(info.param.program); });

}  // namespace
