// The kernel program end to end, watched through the trace.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json.h"
#include "program_runner.h"

namespace {

using test_helpers::Json;
using test_helpers::TracedRun;

// kernel with a command line it must ignore.
TracedRun run_kernel(std::map<std::string, std::string> env = {}) {
  return test_helpers::run_traced(test_helpers::program_path("kernel"), {"ignored", "arguments"}, std::move(env));
}

TEST(KernelProgram, MakesOneRegistrationWithANullBaseAndNothingElse) {
  const TracedRun run = run_kernel();
  EXPECT_EQ(run.result.exit_status, 0);
  EXPECT_EQ(run.result.out + run.result.err, "");
  EXPECT_EQ(test_helpers::call_names(run.trace),
            (std::vector<std::string>{"__cudaRegisterFatBinary", "cudaSetCTATracker", "__cudaUnregisterFatBinary"}));
  const auto sets = test_helpers::calls_named(run.trace, "cudaSetCTATracker");
  ASSERT_EQ(sets.size(), 1u);
  const Json& set = sets[0];
  EXPECT_TRUE(set["devBase"].is_null());
  EXPECT_EQ(set["elementSize"].integer(), 1);
  EXPECT_EQ(set["start"].integers(), (std::vector<long long>{0, 0, 0, 1}));
  EXPECT_EQ(set["end"].integers(), (std::vector<long long>{0, 0, 256, 257}));
  EXPECT_EQ(run.trace.back()["pending_registrations"].integer(), 1);
}

TEST(KernelProgram, ExitsZeroWhateverTheRuntimeAnswers) {
  const TracedRun run = run_kernel({{"CUDART_FAIL", "cudaSetCTATracker:1"}, {"CUDART_DEVICES", "0"}});
  EXPECT_EQ(run.result.exit_status, 0);
  EXPECT_EQ(run.result.out + run.result.err, "");
}

}  // namespace
