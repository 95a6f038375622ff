// split_translation_unit on kernels it accepts whose forms would not build or
// would share what each thread owns: a return inside a local class's member
// function, references spelled through a typedef, shared arrays declared
// after a statement that reads another name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snippets.h"
#include "splitter.h"

namespace {

using split_barriers::SourceFile;
using split_barriers::split_translation_unit;
using split_barriers::SplitOutcome;
using split_snippets::kSplit;

// A return in the last region ends the thread's iteration; one inside a
// member function of a class declared there returns from that function. A
// jump out of the member function does not build.
TEST(SplitThirdReviewGeneratedCode, ReturnInALocalClassMemberStaysAReturn) {
  const SplitOutcome o = split_translation_unit(
      {SourceFile{"k.cu", "__global__ void k(int* out) {\n"
                          "  int t = threadIdx.x;\n"
                          "  __syncthreads();\n"
                          "  { struct L { static int twice(int v) { return v * 2; } }; out[t] = L::twice(t); }\n"
                          "}\n"}});
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] != kSplit) return;
  EXPECT_NE(o.code.find("return v * 2;"), std::string::npos) << o.code;
}

// A parameter bound to a reference whose '&' hides in a typedef, or cast to
// such a type, changes: every thread needs its own copy, or the block's
// threads all add to the one argument.
struct HiddenReference {
  const char* name;
  std::string statement;
};

void PrintTo(const HiddenReference& c, std::ostream* os) { *os << c.name; }

class SplitThirdReviewHiddenReference : public ::testing::TestWithParam<HiddenReference> {};

TEST_P(SplitThirdReviewHiddenReference, ParameterChangedThroughItIsCopiedPerThread) {
  const SplitOutcome o = split_translation_unit(
      {SourceFile{"k.cu", "typedef int& int_ref;\n__device__ void add(int_ref v) { v += 1; }\n"
                          "__global__ void k(int* out, int n) {\n  " +
                              GetParam().statement +
                              "\n  __syncthreads();\n  out[threadIdx.x] = n;\n}\n"}});
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] != kSplit) return;
  EXPECT_NE(o.code.find("n_argument_"), std::string::npos) << o.code;
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitThirdReviewHiddenReference,
                         ::testing::Values(HiddenReference{"Declared", "int_ref r = n; r += 1;"},
                                           HiddenReference{"Cast", "((int_ref)n) += 1;"},
                                           HiddenReference{"CastArgument", "add((int_ref)n);"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A shared array declared after a statement of the first region that reads
// a global of the same name: moved ahead of the region loops, it hides the
// global from that statement.
TEST(SplitThirdReviewGeneratedCode, SharedArrayDoesNotHideAGlobalReadEarlierInItsRegion) {
  const SplitOutcome o = split_translation_unit(
      {SourceFile{"k.cu", "__device__ int table[4] = {1, 2, 3, 4};\n"
                          "__global__ void k(int* out) {\n"
                          "  out[threadIdx.x] = table[0];\n"
                          "  __shared__ int table[4];\n"
                          "  table[threadIdx.x % 4] = 9;\n"
                          "  __syncthreads();\n"
                          "  out[threadIdx.x] += table[0];\n"
                          "}\n"}});
  ASSERT_FALSE(o.report.empty());
  EXPECT_NE(o.report[0], kSplit) << o.code;
}

}  // namespace
