// split_translation_unit on sources it accepts but whose forms would not
// build, or would read a name other than the kernel reads: declarations the
// scanner does not see, kernel files included inside a namespace, locals
// kept in arrays their type cannot fill, macros restored after the kernel.
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
using split_snippets::kSplit;

std::string kernel(const std::string& body) { return split_snippets::kernel(body, "int* out"); }

// A local a later region reads must reach it there: kept per thread,
// computed again, or the kernel left to fibers. Otherwise the later region
// names a variable that is not declared (the build fails) or, where a global
// of that name exists, reads the global.
struct UnseenDeclaration {
  const char* name;
  std::string body;
  std::string local;
};

void PrintTo(const UnseenDeclaration& c, std::ostream* os) { *os << c.name; }

class SplitSecondReviewUnseenDeclaration : public ::testing::TestWithParam<UnseenDeclaration> {};

TEST_P(SplitSecondReviewUnseenDeclaration, LaterRegionsReachTheLocal) {
  const UnseenDeclaration& c = GetParam();
  const SplitOutcome o = split_translation_unit({SourceFile{"k.cu", kernel(c.body)}});
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] != kSplit) return;
  EXPECT_TRUE(split_snippets::reaches_later_regions(o.code, c.local))
      << c.local << " is not declared in the later region\n" << o.code;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitSecondReviewUnseenDeclaration,
    ::testing::Values(
        UnseenDeclaration{"GlobalScopeType", "::size_t i = threadIdx.x;\n__syncthreads();\nout[i] = 1;", "i"},
        UnseenDeclaration{"Alignas", "alignas(8) int x = 3 * threadIdx.x;\n__syncthreads();\nout[threadIdx.x] = x;",
                          "x"},
        UnseenDeclaration{"Labelled", "start: int y = 3 * threadIdx.x;\n__syncthreads();\nout[threadIdx.x] = y;",
                          "y"}),
    [](const auto& info) { return std::string(info.param.name); });

// A kernel file included inside a namespace: its kernels live in that
// namespace, though the file itself opens none. A form written at global
// scope names a kernel that is not declared there, and the build fails.
TEST(SplitSecondReviewIncludes, FormsOfAFileIncludedInANamespaceNameItsKernels) {
  const std::string main_text = "namespace lib {\n#include \"inner.cuh\"\n}\n";
  const SplitOutcome o = split_translation_unit(
      {{"main.cu", main_text, {{main_text.find("#include"), 1}}},
       {"inner.cuh", "__global__ void scale(int* out) { out[threadIdx.x] = 2; }\n"
                     "__global__ void tiles(int* out) { out[threadIdx.x] = 1; __syncthreads(); out[0] += 1; }\n"}});
  for (const char* form : {"register_row_form<&scale>", "register_region_form<&tiles_in_regions>"}) {
    const size_t at = o.code.find(form);
    if (at == std::string::npos) continue;
    EXPECT_NE(o.code.rfind("namespace lib {", at), std::string::npos) << form << "\n" << o.code;
  }
}

// A local of a class type kept for a later region: an array of that type
// needs a default constructor the class may not have (here it has only
// Pair(int, int)), and the form does not build.
TEST(SplitSecondReviewGeneratedCode, ClassLocalIsNotKeptInAnArrayThatDefaultConstructs) {
  const SplitOutcome o = split_translation_unit(
      {SourceFile{"k.cu", "struct Pair { int a, b; __device__ Pair(int x, int y) : a(x), b(y) {} };\n"
                          "__device__ Pair make(int t) { return Pair(t, 2 * t); }\n" +
                              kernel("Pair p = make(threadIdx.x);\n__syncthreads();\nout[threadIdx.x] = p.a + p.b;")}});
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] != kSplit) return;
  EXPECT_EQ(o.code.find("Pair p_per_thread_[::gpu_runtime::kMaxThreadsPerBlock]"), std::string::npos) << o.code;
}

// #pragma pop_macro restores an older definition after the kernel, as an
// #undef would: a form at the end of the unit reads W as 8 where the
// kernel read 4.
TEST(SplitSecondReviewGeneratedCode, MacroRestoredAfterTheKernelKeepsItsFormOut) {
  const SplitOutcome o = split_translation_unit(
      {SourceFile{"k.cu", "#define W 8\n#pragma push_macro(\"W\")\n#define W 4\n" +
                              kernel("int t = threadIdx.x * W;\n__syncthreads();\nout[threadIdx.x] = t + W;") +
                              "#pragma pop_macro(\"W\")\n"}});
  ASSERT_FALSE(o.report.empty());
  EXPECT_NE(o.report[0], kSplit) << o.code;
  EXPECT_EQ(o.code.find("k_in_regions"), std::string::npos) << o.code;
}

}  // namespace
