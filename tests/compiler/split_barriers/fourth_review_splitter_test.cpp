// split_translation_unit on kernels it accepts but whose region forms would
// not build: a const local that must stay a constant expression, a pointer to
// const pointers kept in an array of another type.
#include <gtest/gtest.h>

#include <string>

#include "snippets.h"
#include "splitter.h"

namespace {

using split_barriers::SourceFile;
using split_barriers::split_translation_unit;
using split_barriers::SplitOutcome;
using split_snippets::kSplit;

// A const int local used as a case label is a constant expression. Kept per
// thread as a plain int&, it no longer is, and the form does not build.
TEST(SplitFourthReviewGeneratedCode, ConstLocalUsedAsACaseLabelStaysAConstant) {
  const SplitOutcome o = split_translation_unit(
      {SourceFile{"k.cu", "__global__ void k(int* out) {\n"
                          "  const int kOdd = 1;\n"
                          "  int t = threadIdx.x;\n"
                          "  __syncthreads();\n"
                          "  switch (t % 2) {\n"
                          "    case kOdd: out[t] = 1; break;\n"
                          "    default: out[t] = 2; break;\n"
                          "  }\n"
                          "}\n"}});
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] != kSplit) return;
  EXPECT_EQ(o.code.find("int& kOdd"), std::string::npos) << o.code;
}

// int* const* cannot be stored in an int**: the kept copy must keep the
// const that stands between the stars.
TEST(SplitFourthReviewGeneratedCode, PointerToConstPointersIsKeptWithItsConst) {
  const SplitOutcome o = split_translation_unit(
      {SourceFile{"k.cu", "__global__ void k(int* const* rows, int* out) {\n"
                          "  int* const* r = rows;\n"
                          "  int t = threadIdx.x;\n"
                          "  r = r + 0;\n"
                          "  __syncthreads();\n"
                          "  out[t] = r[0][t];\n"
                          "}\n"}});
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] != kSplit) return;
  EXPECT_EQ(o.code.find("int** r_per_thread_"), std::string::npos) << o.code;
  EXPECT_NE(o.code.find("int* const* r_per_thread_"), std::string::npos) << o.code;
}

}  // namespace
