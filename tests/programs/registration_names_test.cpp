// The mangled names each program registers for its kernels are the
// compiler's own names for those functions: every registered name must be a
// function defined in the program's symbol table.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

#include "json.h"
#include "program_runner.h"

namespace {

using test_helpers::calls_named;
using test_helpers::program_path;
using test_helpers::TempDir;

std::set<std::string> defined_functions(const std::filesystem::path& binary) {
  std::set<std::string> names;
  const std::string command = "nm --defined-only '" + binary.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return names;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe)) {
    char address[64], type[8], name[4000];
    if (std::sscanf(line, "%63s %7s %3999s", address, type, name) == 3 && (type[0] == 'T' || type[0] == 't'))
      names.insert(name);
  }
  pclose(pipe);
  return names;
}

class RegisteredNames : public ::testing::TestWithParam<const char*> {};

TEST_P(RegisteredNames, AreTheCompilersManglingOfTheKernels) {
  const std::filesystem::path program = program_path(GetParam());
  if (!std::filesystem::exists(program)) GTEST_SKIP() << program << " is not built";
  TempDir dir;
  // Any run registers before main; the usage path ends quickly.
  test_helpers::run_program(program, {}, dir.path(), {{"CUDART_TRACE", (dir / "t.jsonl").string()}});
  const auto trace = test_helpers::read_trace((dir / "t.jsonl").string());
  const auto registered = calls_named(trace, "__cudaRegisterFunction");
  const std::set<std::string> functions = defined_functions(program);
  ASSERT_FALSE(functions.empty()) << "nm found no symbols";
  for (const auto& entry : registered)
    EXPECT_TRUE(functions.count(entry["name"].str())) << entry["name"].str() << " is not a function of " << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Programs, RegisteredNames, ::testing::Values("test", "kernel", "ombrel", "tessak", "halvik"));

}  // namespace
