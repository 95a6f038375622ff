// The benchmark's native baselines against the programs on small inputs, run
// as bench_compare runs them: each must compute exactly what its program
// computes (ombrel too, whose baseline shares the device's exp2f and IEEE
// division), so that the result column of the table means something.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "baseline_common.h"
#include "graph.h"
#include "json.h"
#include "ombrel_data.h"
#include "ombrel_reference.h"
#include "program_runner.h"
#include "test_input.h"

namespace {

namespace fs = std::filesystem;
using test_helpers::ProgramResult;
using test_helpers::read_file;
using test_helpers::run_program;
using test_helpers::TempDir;

ProgramResult run_baseline(const std::string& name, const std::vector<std::string>& args,
                           const fs::path& cwd) {
  return run_program(fs::path(BENCH_BIN_DIR) / name, args, cwd);
}

/// The "key value" lines of a baseline's output.
std::map<std::string, std::string> report(const ProgramResult& r) {
  std::map<std::string, std::string> values;
  for (const std::string& line : test_helpers::split_lines(r.out)) {
    const size_t space = line.find(' ');
    if (space != std::string::npos) values[line.substr(0, space)] = line.substr(space + 1);
  }
  return values;
}

/// The digests of the traced program's successful copies of `kind`, in order.
std::vector<std::string> copy_digests(const fs::path& trace, int kind) {
  std::vector<std::string> digests;
  for (const auto& call : test_helpers::calls_named(test_helpers::read_trace(trace.string()), "cudaMemcpy"))
    if (call["kind"].integer() == kind && call.has("digest")) digests.push_back(call["digest"].str());
  return digests;
}

ProgramResult traced_program(const std::string& name, const std::vector<std::string>& args,
                             const fs::path& cwd, const fs::path& trace) {
  return run_program(test_helpers::program_path(name), args, cwd, {{"CUDART_TRACE", trace.string()}});
}

// ---------------------------------------------------------------------------

TEST(BenchTest, LoopAndKernelRunnerComputeTheProgramsSum) {
  TempDir dir;
  const ProgramResult program = traced_program("test", {}, dir.path(), dir / "trace.json");
  ASSERT_EQ(program.exit_status, 0) << program.err;
  const auto program_results = copy_digests(dir / "trace.json", 2);
  ASSERT_EQ(program_results.size(), 1u);

  const ProgramResult zeros =
      run_baseline("test_baseline", {"--input", "zeros", "--repeat", "1"}, dir.path());
  ASSERT_EQ(zeros.exit_status, 0) << zeros.err;
  EXPECT_EQ(report(zeros)["digest"], program_results[0]);

  // The pattern reaches within 192 of the largest int, so the sum wraps.
  std::vector<int> want = bench::test_input("pattern");
  ASSERT_TRUE(std::any_of(want.begin(), want.end(), [](int v) { return v > INT_MAX - 192; }));
  for (int& v : want) v = static_cast<int>(static_cast<unsigned>(v) + 192u);
  for (const char* runner : {"test_baseline", "test_kernel_device"}) {
    const ProgramResult r = run_baseline(runner, {"--input", "pattern", "--repeat", "2"}, dir.path());
    ASSERT_EQ(r.exit_status, 0) << runner << ": " << r.err;
    EXPECT_EQ(report(r)["digest"], bench::digest_of(want)) << runner;
    EXPECT_GT(std::stod(report(r)["time_ms"]), 0.0) << runner;
  }
}

TEST(BenchTest, RunnersRefuseABadCommandLine) {
  TempDir dir;
  for (const char* runner : {"test_baseline", "test_kernel_device"}) {
    const ProgramResult unknown = run_baseline(runner, {"--input", "ones"}, dir.path());
    EXPECT_EQ(unknown.exit_status, 1) << runner;
    EXPECT_NE(unknown.err.find("unknown input 'ones'"), std::string::npos) << unknown.err;
    const ProgramResult zero = run_baseline(runner, {"--repeat", "0"}, dir.path());
    EXPECT_EQ(zero.exit_status, 1) << runner;
    EXPECT_NE(zero.err.find("--repeat must be a whole number"), std::string::npos) << zero.err;
  }
}

// ---------------------------------------------------------------------------

struct ClassicCase {
  const char* kernel;
  long size;
};

void PrintTo(const ClassicCase& c, std::ostream* os) { *os << c.kernel << " " << c.size; }

class BenchClassic : public testing::TestWithParam<ClassicCase> {};

// The kernels on the CPU device and the plain loops give the same bytes:
// reductions and products because both add in the same order, scans because
// int sums do not depend on it. Scans that end inside a block, whose block
// sums end inside one, and the largest, whose sums are scanned in two levels.
TEST_P(BenchClassic, KernelRunnerComputesWhatTheLoopsCompute) {
  TempDir dir;
  const ClassicCase& c = GetParam();
  std::map<std::string, std::string> digests;
  for (const char* runner : {"classic_baseline", "classic_device"}) {
    const ProgramResult r =
        run_baseline(runner, {c.kernel, "--size", std::to_string(c.size), "--repeat", "1"}, dir.path());
    ASSERT_EQ(r.exit_status, 0) << runner << ": " << r.err;
    EXPECT_GT(std::stod(report(r)["time_ms"]), 0.0) << runner;
    digests[runner] = report(r)["digest"];
  }
  EXPECT_EQ(digests["classic_device"], digests["classic_baseline"]);
  EXPECT_EQ(digests["classic_baseline"].size(), 16u);
}

INSTANTIATE_TEST_SUITE_P(Kernels, BenchClassic,
                         testing::Values(ClassicCase{"reduce", 256}, ClassicCase{"reduce", 12288},
                                         ClassicCase{"matmul", 16}, ClassicCase{"matmul", 48}, ClassicCase{"scan", 1},
                                         ClassicCase{"scan", 1023}, ClassicCase{"scan", 5000},
                                         ClassicCase{"scan", (1L << 20) + 1}, ClassicCase{"scan", 1L << 24}),
                         [](const auto& info) { return info.param.kernel + std::to_string(info.param.size); });

TEST(BenchClassic, RunnersRefuseABadCommandLine) {
  TempDir dir;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "usage:"},
      {{"sort"}, "unknown kernel 'sort'"},
      {{"reduce", "--size", "100"}, "reduce: --size must be a multiple of 256"},
      {{"matmul", "--size", "20"}, "matmul: --size must be a multiple of 16"},
      {{"scan", "--size", "16777217"}, "scan: --size must be at most 16777216"},
      {{"scan", "--repeat", "0"}, "--repeat must be a whole number"},
  };
  for (const char* runner : {"classic_baseline", "classic_device"})
    for (const auto& [args, message] : cases) {
      const ProgramResult r = run_baseline(runner, args, dir.path());
      EXPECT_EQ(r.exit_status, 1) << runner;
      EXPECT_NE(r.err.find(message), std::string::npos) << runner << ": " << r.err;
    }
}

// ---------------------------------------------------------------------------

struct OmbrelCase {
  int num;          ///< images asked for
  int file_images;  ///< images in the file: fewer leaves the rest blank
};

class BenchOmbrel : public testing::TestWithParam<OmbrelCase> {};

TEST_P(BenchOmbrel, BaselineScoresAreTheProgramsBitForBit) {
  const OmbrelCase c = GetParam();
  TempDir dir;
  const auto images = ombrel_data::random_images(static_cast<size_t>(c.file_images), 5);
  auto weights = ombrel_data::random_weights(6);
  ombrel_data::center_last_layer(weights, ombrel_data::slots(images));
  ombrel_data::write_inputs(dir.path(), images, weights);
  const std::string num = std::to_string(c.num);

  const ProgramResult program = traced_program("ombrel", {num}, dir.path(), dir / "trace.json");
  ASSERT_EQ(program.exit_status, 0) << program.err;
  const ProgramResult base = run_baseline("ombrel_baseline", {num}, dir.path());
  ASSERT_EQ(base.exit_status, 0) << base.err;

  const std::string bytes = read_file(dir / "scores.bin");
  ASSERT_EQ(bytes.size(), static_cast<size_t>(c.num) * 10 * sizeof(float));
  std::vector<float> scores(static_cast<size_t>(c.num) * 10);
  std::memcpy(scores.data(), bytes.data(), bytes.size());
  EXPECT_EQ(report(base)["digest"], bench::digest_of(scores));
  EXPECT_EQ(copy_digests(dir / "trace.json", 2), std::vector<std::string>{bench::digest_of(scores)});

  // And so the digits the program prints are the baseline's winners.
  std::string digits;
  for (int i = 0; i < c.num; ++i)
    digits += std::to_string(ombrel_reference::winning_digit(
                  std::span(scores).subspan(10 * static_cast<size_t>(i), 10))) +
              (i + 1 < c.num ? " " : "");
  EXPECT_EQ(test_helpers::split_lines(program.out).back(), digits);
}

INSTANTIATE_TEST_SUITE_P(BenchCounts, BenchOmbrel,
                         testing::Values(OmbrelCase{1, 3}, OmbrelCase{25, 25}, OmbrelCase{40, 30}),
                         [](const auto& info) {
                           return std::to_string(info.param.num) + "_of_" +
                                  std::to_string(info.param.file_images);
                         });

TEST(BenchOmbrelErrors, BaselineNamesTheMissingOrShortFile) {
  TempDir dir;
  ProgramResult r = run_baseline("ombrel_baseline", {"5"}, dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("cannot open data/t10k-images-idx3-ubyte"), std::string::npos) << r.err;

  const auto images = ombrel_data::random_images(5, 1);
  ombrel_data::write_inputs(dir.path(), images, ombrel_data::random_weights(1));
  test_helpers::write_file(dir / "data/lw3.wei", std::string(400, '\0'));
  r = run_baseline("ombrel_baseline", {"5"}, dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("data/lw3.wei holds 400 bytes"), std::string::npos) << r.err;

  r = run_baseline("ombrel_baseline", {"0"}, dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("NUM must be a whole number"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------

struct GraphCase {
  const char* name;
  graphgen::Graph (*make)();
};

graphgen::Graph example_graph() {
  std::string error;
  auto g = graphgen::parse_graph("4\n0 2\n2 1\n3 0\n3 0\n0\n3\n1 1\n2 1\n3 1\n", &error);
  return *g;
}

class BenchTessak : public testing::TestWithParam<GraphCase> {};

TEST_P(BenchTessak, BaselinesFindTheProgramsHopCountsAndArrays) {
  const graphgen::Graph graph = GetParam().make();
  TempDir dir;
  test_helpers::write_file(dir / "g.txt", graphgen::format_graph(graph));
  const std::string file = (dir / "g.txt").string();
  for (const char* sub : {"program", "levels", "boost", "load"}) fs::create_directories(dir / sub);

  const ProgramResult program = traced_program("tessak", {file}, dir / "program", dir / "trace.json");
  ASSERT_EQ(program.exit_status, 0) << program.err;
  const ProgramResult levels = run_baseline("tessak_baseline", {"levels", file}, dir / "levels");
  const ProgramResult boost = run_baseline("tessak_baseline", {"boost", file}, dir / "boost");
  const ProgramResult load = run_baseline("tessak_baseline", {"load", file}, dir / "load");
  ASSERT_EQ(levels.exit_status, 0) << levels.err;
  ASSERT_EQ(boost.exit_status, 0) << boost.err;
  ASSERT_EQ(load.exit_status, 0) << load.err;

  // Both searches write the true hop counts, in the program's format.
  std::string want;
  const std::vector<int> hops = graphgen::bfs_hops(graph);
  for (size_t i = 0; i < hops.size(); ++i)
    want += std::to_string(i) + ") cost:" + std::to_string(hops[i]) + "\n";
  EXPECT_EQ(read_file(dir / "program/result.txt"), want);
  EXPECT_EQ(read_file(dir / "levels/result.txt"), want);
  EXPECT_EQ(read_file(dir / "boost/result.txt"), want);
  EXPECT_NE(program.out.find("Kernel Executed " + report(levels)["launches"] + " times\n"), std::string::npos)
      << program.out << "baseline launches: " << report(levels)["launches"];

  // The loader's arrays are the ones the program copies to the device first.
  const auto uploads = copy_digests(dir / "trace.json", 1);
  ASSERT_GE(uploads.size(), 2u);
  EXPECT_EQ(report(load)["node_digest"], uploads[0]);
  EXPECT_EQ(report(load)["edge_digest"], uploads[1]);
  EXPECT_EQ(report(load)["nodes"], std::to_string(graph.node_count()));
  EXPECT_EQ(report(load)["edges"], std::to_string(graph.edge_list_size()));
}

INSTANTIATE_TEST_SUITE_P(BenchGraphs, BenchTessak,
                         testing::Values(GraphCase{"example", example_graph},
                                         GraphCase{"uniform",
                                                   [] { return graphgen::make_uniform(2000, 1, 11, 3); }},
                                         GraphCase{"sparse_with_unreached_nodes",
                                                   [] { return graphgen::make_uniform(1500, 0, 2, 4); }},
                                         GraphCase{"grid", [] { return graphgen::make_grid(17, 9, 5); }},
                                         GraphCase{"rmat", [] { return graphgen::make_rmat(9, 8, 6); }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BenchTessakErrors, BaselineRefusesWhatItCannotReadOrSearch) {
  TempDir dir;
  ProgramResult r = run_baseline("tessak_baseline", {"load", "missing.txt"}, dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("cannot open missing.txt"), std::string::npos) << r.err;

  test_helpers::write_file(dir / "words.txt", "2\n0 1\n1 one\n");
  r = run_baseline("tessak_baseline", {"load", "words.txt"}, dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("value 5 of the graph file is missing or not an integer"), std::string::npos) << r.err;

  // Loads, but edge 0 leads to node 7 of 2: no search may follow it.
  test_helpers::write_file(dir / "outside.txt", "2\n0 1\n1 0\n0\n1\n7 1\n");
  EXPECT_EQ(run_baseline("tessak_baseline", {"load", "outside.txt"}, dir.path()).exit_status, 0);
  for (const char* mode : {"levels", "boost"}) {
    r = run_baseline("tessak_baseline", {mode, "outside.txt"}, dir.path());
    EXPECT_EQ(r.exit_status, 1) << mode;
    EXPECT_NE(r.err.find("edge 0: the target is out of range"), std::string::npos) << r.err;
  }

  r = run_baseline("tessak_baseline", {"walk", "outside.txt"}, dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("unknown mode 'walk'"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------

class BenchHalvik : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BenchHalvik, BaselineEndsWithTheProgramsImage) {
  const std::vector<std::string> args = GetParam();
  TempDir dir;
  const ProgramResult program = traced_program("halvik", args, dir.path(), dir / "trace.json");
  ASSERT_EQ(program.exit_status, 0) << program.err;
  const ProgramResult base = run_baseline("halvik_baseline", args, dir.path());
  ASSERT_EQ(base.exit_status, 0) << base.err;
  const auto images = copy_digests(dir / "trace.json", 2);
  ASSERT_FALSE(images.empty());
  EXPECT_EQ(report(base)["digest"], images.back());
}

INSTANTIATE_TEST_SUITE_P(
    BenchRuns, BenchHalvik,
    testing::Values(std::vector<std::string>{"16", "16", "0", "15", "0", "15", "0.5", "2"},
                    std::vector<std::string>{"64", "48", "0", "20", "3", "30", "0.5", "3"},
                    std::vector<std::string>{"32", "80", "5", "31", "0", "79", "0.25", "4"}),
    [](const auto& info) { return info.param[0] + "x" + info.param[1]; });

TEST(BenchHalvikErrors, BaselineRefusesARegionOutsideTheImage) {
  TempDir dir;
  const ProgramResult r =
      run_baseline("halvik_baseline", {"32", "32", "0", "32", "0", "3", "0.5", "1"}, dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.err.find("y2 must be a whole number from 0 to 31"), std::string::npos) << r.err;
}

}  // namespace
