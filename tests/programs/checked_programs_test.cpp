// The five programs built for checking (bin/checked) and run with
// CUDART_MEMCHECK=1 and CUDART_FOOTPRINT=1, against the plain build on the
// same inputs: no report, the same output, files and copied bytes. And test's
// measured footprint is exactly what its registrations declare.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "json.h"
#include "ombrel_data.h"
#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
using test_helpers::calls_named;
using test_helpers::Json;
using test_helpers::ProgramResult;
using test_helpers::TempDir;

struct ProgramCase {
  const char* program;
  std::vector<std::string> args;
  std::vector<std::string> files;  ///< written by the program
  /// Puts the inputs into the working directory.
  std::function<void(const fs::path&)> prepare = [](const fs::path&) {};
};

void ombrel_inputs(const fs::path& dir) {
  const auto images = ombrel_data::random_images(24, 5);
  auto weights = ombrel_data::random_weights(6);
  ombrel_data::center_last_layer(weights, ombrel_data::slots(images));
  ombrel_data::write_inputs(dir, images, weights);
}

void tessak_inputs(const fs::path& dir) {
  const ProgramResult r =
      test_helpers::run_program(test_helpers::program_path("graphgen"), {"rmat", "9", "--seed", "3", "-o", "g.txt"}, dir);
  ASSERT_EQ(r.exit_status, 0) << r.err;
}

const ProgramCase kPrograms[] = {
    {"test", {}, {}},
    {"kernel", {}, {}},
    {"ombrel", {"24"}, {"out.res"}, ombrel_inputs},
    {"tessak", {"g.txt"}, {"result.txt"}, tessak_inputs},
    {"halvik", {"64", "48", "0", "31", "0", "15", "0.5", "3"}, {}},
};

struct ProgramRun {
  ProgramResult result;
  std::vector<Json> trace;
  std::map<std::string, std::string> files;
};

ProgramRun run(const ProgramCase& c, const fs::path& program, std::map<std::string, std::string> env) {
  TempDir dir;
  c.prepare(dir.path());
  env["CUDART_TRACE"] = (dir / "trace.jsonl").string();
  ProgramRun out;
  out.result = test_helpers::run_program(program, c.args, dir.path(), env);
  out.trace = test_helpers::read_trace(env["CUDART_TRACE"]);
  for (const std::string& f : c.files) out.files[f] = test_helpers::read_file(dir / f);
  return out;
}

// The program's own timing is the one thing allowed to differ.
std::string without_times(const std::string& out) {
  return std::regex_replace(out, std::regex(R"(Processing time: [0-9.]+ \(ms\))"), "Processing time: (ms)");
}

std::vector<std::string> digests(const std::vector<Json>& trace) {
  std::vector<std::string> out;
  for (const Json& copy : calls_named(trace, "cudaMemcpy")) out.push_back(copy.has("digest") ? copy["digest"].str() : "");
  return out;
}

void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.program; }

class CheckedPrograms : public ::testing::TestWithParam<std::tuple<ProgramCase, const char*>> {};

TEST_P(CheckedPrograms, RunCleanWithTheSameResults) {
  const auto& [c, mode] = GetParam();
  const ProgramRun plain = run(c, test_helpers::program_path(c.program), {});
  const ProgramRun checked = run(c, test_helpers::program_path(std::string("checked/") + c.program),
                          {{"CUDART_MEMCHECK", "1"}, {"CUDART_FOOTPRINT", "1"}, {"CUDART_BARRIERS", mode}});
  EXPECT_EQ(checked.result.exit_status, 0);
  EXPECT_EQ(checked.result.err, "");
  EXPECT_EQ(checked.result.exit_status, plain.result.exit_status);
  EXPECT_EQ(without_times(checked.result.out), without_times(plain.result.out));
  EXPECT_EQ(checked.files, plain.files);
  EXPECT_EQ(digests(checked.trace), digests(plain.trace));
  EXPECT_EQ(calls_named(checked.trace, "cudaLaunch").size(), calls_named(plain.trace, "cudaLaunch").size());
  for (const Json& launch : calls_named(checked.trace, "cudaLaunch")) {
    EXPECT_TRUE(launch.has("measured"));
    EXPECT_EQ(launch["status"].integer(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, CheckedPrograms,
                         ::testing::Combine(::testing::ValuesIn(kPrograms), ::testing::Values("loops", "fibers")),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).program) + "_" + std::get<1>(info.param);
                         });

// Registration i names, for the CTA at (x, y), matrix row 16y + i, columns
// 16x .. 16x + 15: exactly what that CTA's thread row i reads.
TEST(CheckedPrograms, TestTouchesExactlyWhatItDeclares) {
  const ProgramRun checked = run(kPrograms[0], test_helpers::program_path("checked/test"), {{"CUDART_FOOTPRINT", "1"}});
  EXPECT_EQ(checked.result.err, "") << "no access outside the declared ranges";
  const auto launches = calls_named(checked.trace, "cudaLaunch");
  ASSERT_EQ(launches.size(), 1u);
  const Json& declared = launches[0]["tracker"];
  const Json& m = launches[0]["measured"];
  EXPECT_EQ(m["inside"].integer(), declared["covered_bytes"].integer() / 4);
  EXPECT_EQ(m["inside"].integer(), 1024 * 1024);
  for (const char* none : {"outside", "unaccessed", "ctas_outside", "shared_read_bytes", "write_conflict_bytes"})
    EXPECT_EQ(m[none].integer(), 0) << none;

  ASSERT_EQ(m["buffers"].size(), 2u);
  const Json& input = m["buffers"][0];
  EXPECT_EQ(input["registrations"].integer(), 16);
  EXPECT_EQ(input["touched_bytes"].integer(), 4 << 20);
  EXPECT_EQ(input["written_bytes"].integer(), 0);
  // Each CTA's ranges, in CTA order: its 16 rows of 64 bytes.
  const Json& ranges = input["ranges"];
  ASSERT_EQ(ranges.size(), 4096u * 16);
  for (long long cta = 0, k = 0; cta < 4096; ++cta)
    for (long long i = 0; i < 16; ++i, ++k) {
      const long long x = cta % 64, y = cta / 64, first = 4 * (1024 * (16 * y + i) + 16 * x);
      ASSERT_EQ(ranges[k].integers(), (std::vector<long long>{cta, first, first + 64})) << "CTA " << cta << " row " << i;
    }
  // The result matrix is written, once per element, and not registered.
  const Json& result = m["buffers"][1];
  EXPECT_EQ(result["registrations"].integer(), 0);
  EXPECT_EQ(result["written_bytes"].integer(), 4 << 20);
  EXPECT_FALSE(result.has("ranges"));
}

}  // namespace
