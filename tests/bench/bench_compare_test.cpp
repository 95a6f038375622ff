// bench_compare end to end on the smallest inputs: the table it prints, and
// that a program computing something else, or failing, fails the run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using test_helpers::ProgramResult;
using test_helpers::TempDir;

fs::path programs_dir() { return test_helpers::program_path("tessak").parent_path(); }

ProgramResult compare(const TempDir& dir, const fs::path& bin, const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"--bin",   bin.string(),
                                   "--bench", BENCH_BIN_DIR,
                                   "--work",  (dir / "work").string(),
                                   "--data",  (dir / "no-data").string(),
                                   "--size",  "tiny"};
  args.insert(args.end(), extra.begin(), extra.end());
  return test_helpers::run_program(fs::path(BENCH_BIN_DIR) / "bench_compare", args, dir.path());
}

/// The table's rows, each split into its cells.
std::vector<std::vector<std::string>> table_rows(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : test_helpers::split_lines(out)) {
    if (line.rfind("| ", 0) != 0 || line.rfind("| workload |", 0) == 0) continue;
    std::vector<std::string> cells;
    size_t at = 1;
    for (size_t bar; (bar = line.find(" |", at)) != std::string::npos; at = bar + 2)
      cells.push_back(line.substr(at + 1, bar - at - 1));
    rows.push_back(cells);
  }
  return rows;
}

/// A folder of programs for bench_compare: the real ones, with halvik
/// replaced by `halvik_script`.
fs::path programs_with_halvik(const TempDir& dir, const std::string& halvik_script) {
  const fs::path bin = dir / "bin";
  fs::create_directories(bin);
  for (const char* name : {"test", "ombrel", "tessak", "graphgen"})
    fs::create_symlink(programs_dir() / name, bin / name);
  test_helpers::write_file(bin / "halvik", halvik_script);
  fs::permissions(bin / "halvik", fs::perms::owner_all);
  return bin;
}

TEST(BenchCompare, TinyRunChecksEveryWorkloadExactly) {
  TempDir dir;
  const ProgramResult r = compare(dir, programs_dir(), {"--runs", "2"});
  ASSERT_EQ(r.exit_status, 0) << r.err << r.out;
  const auto rows = table_rows(r.out);
  // test, ombrel, three rows for each of the three graphs, halvik, three
  // classic kernels.
  ASSERT_EQ(rows.size(), 15u) << r.out;
  const std::regex number(R"(\d+\.\d+)");
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 11u) << row[0];
    EXPECT_TRUE(std::regex_match(row[2], number)) << row[0] << ": program " << row[2];
    EXPECT_TRUE(std::regex_match(row[3], number)) << row[0] << ": baseline " << row[3];
    EXPECT_TRUE(std::regex_match(row[4], number)) << row[0] << ": ratio " << row[4];
    EXPECT_EQ(row[7].rfind("exact", 0), 0u) << row[0] << ": " << row[7];
  }
  // Memory is given once per program run: test, ombrel, each graph's search, halvik.
  int with_memory = 0;
  for (const auto& row : rows) with_memory += std::regex_match(row[8], number) ? 1 : 0;
  EXPECT_EQ(with_memory, 6);
  EXPECT_NE(r.out.find("median of 2 runs"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("generated images, random weights"), std::string::npos) << r.out;
}

TEST(BenchCompare, ProgramComputingSomethingElseFailsItsCheck) {
  TempDir dir;
  const std::string real = (programs_dir() / "halvik").string();
  // halvik with a different step factor: it runs, but its image differs.
  const fs::path bin = programs_with_halvik(
      dir, "#!/bin/sh\nexec '" + real + "' \"$1\" \"$2\" \"$3\" \"$4\" \"$5\" \"$6\" 0.25 \"$8\"\n");
  const ProgramResult r = compare(dir, bin, {"--only", "halvik"});
  EXPECT_EQ(r.exit_status, 1) << r.out;
  const auto rows = table_rows(r.out);
  ASSERT_EQ(rows.size(), 1u) << r.out;
  EXPECT_EQ(rows[0][7], "MISMATCH: final image");
  EXPECT_NE(r.err.find("1 rows failed their result check"), std::string::npos) << r.err;
}

TEST(BenchCompare, FailingProgramIsReportedAndFailsTheRun) {
  TempDir dir;
  const fs::path bin = programs_with_halvik(dir, "#!/bin/sh\necho 'out of luck' >&2\nexit 3\n");
  const ProgramResult r = compare(dir, bin, {"--only", "halvik"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.out.find("FAILED: halvik exited with status 3: out of luck"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("halvik: halvik exited with status 3"), std::string::npos) << r.err;
}

TEST(BenchCompare, OutputHeldBackToTheEndIsNotTakenForPhaseTimes) {
  TempDir dir;
  const std::string real = (programs_dir() / "halvik").string();
  // Runs the real halvik but hands its lines on only as it ends, as a program
  // whose output stays fully buffered would.
  const fs::path bin = programs_with_halvik(
      dir, "#!/bin/sh\nout=$('" + real + "' \"$@\") || exit $?\nsleep 0.3\necho \"$out\"\n");
  const ProgramResult r = compare(dir, bin, {"--only", "halvik"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.out.find("FAILED: halvik: its output arrived only as it ended"), std::string::npos) << r.out;
}

TEST(BenchCompare, RefusesABadCommandLine) {
  TempDir dir;
  ProgramResult r = compare(dir, programs_dir(), {"--only", "tessak,kernel"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.err.find("unknown workload 'kernel'"), std::string::npos) << r.err;
  r = compare(dir, dir / "nowhere", {});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.err.find("no program"), std::string::npos) << r.err;
  r = compare(dir, programs_dir(), {"--runs", "0"});
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_NE(r.err.find("--runs must be a whole number from 1 to 1000"), std::string::npos) << r.err;
}

}  // namespace
