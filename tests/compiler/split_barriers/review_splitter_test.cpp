// split_translation_unit on sources it accepts but whose region forms would
// not build or would run a kernel other than the one compiled: a local the
// scanner does not see declared, and kernels the preprocessor may leave out.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "snippets.h"
#include "splitter.h"

namespace {

using split_barriers::SourceFile;
using split_barriers::split_translation_unit;
using split_barriers::SplitOutcome;
using split_snippets::kernel;
using split_snippets::kSplit;

// A local that a later region reads must reach it: either the kernel is left
// to fibers, or the form keeps the local per thread or computes it again.
// Otherwise the later region names a variable that is not declared there.
struct HiddenLocal {
  const char* name;
  std::string source;
  std::string local;
  const char* fault;  ///< what a form that loses the local would get wrong
};

void PrintTo(const HiddenLocal& c, std::ostream* os) { *os << c.name; }

class SplitReviewHiddenLocal : public ::testing::TestWithParam<HiddenLocal> {};

TEST_P(SplitReviewHiddenLocal, LaterRegionsReachTheLocalOrTheKernelIsLeftToFibers) {
  const HiddenLocal& c = GetParam();
  const SplitOutcome o = split_translation_unit({SourceFile{"k.cu", c.source}});
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] != kSplit) return;
  EXPECT_TRUE(split_snippets::reaches_later_regions(o.code, c.local))
      << c.local << " is not declared in the later region\n" << o.code;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitReviewHiddenLocal,
    ::testing::Values(
        HiddenLocal{"RestrictPointer",
                    kernel("int* __restrict__ dst = out + threadIdx.x;\n__syncthreads();\n*dst = n;"), "dst",
                    "'int* __restrict__ dst' is read as a declarator named __restrict__, so dst is no local and the "
                    "later region's '*dst = n' does not compile ('dst' was not declared)"},
        HiddenLocal{"DecltypeLocal",
                    kernel("decltype(out) mine = out + threadIdx.x;\n__syncthreads();\n*mine = n;"), "mine",
                    "a statement opening with decltype(...) is no declaration to the scanner, so 'mine' is not "
                    "declared in the later region"},
        HiddenLocal{"ElaboratedStruct",
                    "struct Pair { int a, b; };\n" +
                        kernel("struct Pair p = {out[threadIdx.x], n};\n__syncthreads();\nout[threadIdx.x] = p.a + p.b;"),
                    "p",
                    "'struct Pair p' is read as a declarator named Pair, so p is not declared in the later region"},
        HiddenLocal{"DeclaredByAMacro",
                    "#define THREAD_INDEX int tid = threadIdx.x\n" +
                        kernel("THREAD_INDEX;\nout[tid] = n;\n__syncthreads();\nout[tid] += 1;"),
                    "tid",
                    "a local declared inside a macro is invisible to the scanner, so the later region's 'tid' is "
                    "not declared (or names a global of that name)"}),
    [](const auto& info) { return std::string(info.param.name); });

// A constexpr local that a later region reads: kept per thread it loses
// constexpr (an array without initialiser, a reference to a constant).
TEST(SplitReviewGeneratedCode, ConstexprLocalIsComputedAgainOrLeftToFibers) {
  const SplitOutcome o = split_translation_unit(
      {SourceFile{"k.cu", "constexpr int kBlock = 64;\n" +
                              kernel("constexpr int half = kBlock / 2;\nout[threadIdx.x] = half;\n__syncthreads();\n"
                                     "if (threadIdx.x < half) out[threadIdx.x] += n;")}});
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] != kSplit) return;
  EXPECT_EQ(o.code.find("constexpr int half_per_thread_"), std::string::npos) << o.code;
  EXPECT_EQ(o.code.find("constexpr int& half"), std::string::npos) << o.code;
}

// Kernel sources the main source includes only under a condition: the
// preprocessor compiles one of them, the splitter sees both. A form made from
// the one left out would be registered for the kernel compiled in its place.
TEST(SplitReviewIncludes, KernelOfAConditionallyIncludedFileGetsNoForm) {
  const std::string body_end = "  out[threadIdx.x] = s[(threadIdx.x + 1) % blockDim.x];\n}\n";
  const SplitOutcome o = split_translation_unit(
      {{"main.cu", "#ifdef USE_FAST\n#include \"fast.cuh\"\n#else\n#include \"plain.cuh\"\n#endif\n"},
       {"fast.cuh",
        "__global__ void scale(int* out) {\n  __shared__ int s[64];\n  s[threadIdx.x] = 2 * out[threadIdx.x];\n"
        "  __syncthreads();\n" + body_end},
       {"plain.cuh",
        "__global__ void scale(int* out) {\n  __shared__ int s[64];\n  s[threadIdx.x] = 3 * out[threadIdx.x];\n"
        "  for (int pass = 0; pass < 1; ++pass) __syncthreads();\n" + body_end}});
  for (const std::string& line : o.report)
    EXPECT_EQ(line.find("fast.cuh: kernel scale: split at its barriers"), std::string::npos) << line;
  EXPECT_EQ(o.code.find("scale_in_regions"), std::string::npos) << o.code;
}

// The same kernel name in two files of one unit: at most one of them is
// compiled, and two region forms of one name cannot both be.
TEST(SplitReviewIncludes, SameKernelInTwoFilesGetsAtMostOneForm) {
  const std::string kernel_text = "__global__ void scale(int* out) {\n  out[0] = 1;\n  __syncthreads();\n"
                                  "  out[1] = out[0];\n}\n";
  const SplitOutcome o = split_translation_unit(
      {{"main.cu", "#ifdef USE_FAST\n#include \"fast.cuh\"\n#else\n#include \"plain.cuh\"\n#endif\n"},
       {"fast.cuh", kernel_text},
       {"plain.cuh", kernel_text}});
  const size_t first = o.code.find("bool scale_in_regions(");
  if (first != std::string::npos)
    EXPECT_EQ(o.code.find("bool scale_in_regions(", first + 1), std::string::npos) << o.code;
}

}  // namespace
