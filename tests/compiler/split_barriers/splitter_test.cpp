// split_translation_unit on small sources: which kernels become region loops,
// why the others are left to fibers, and what the region form keeps per thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "snippets.h"
#include "splitter.h"

namespace {

using split_barriers::SourceFile;
using split_barriers::split_translation_unit;
using split_barriers::SplitOutcome;
using split_snippets::kernel;
using split_snippets::occurrences;
using split_snippets::split;

const std::string kStray = "a barrier outside the top level of a kernel body: every kernel runs as written";
const std::string kStrayShared = "shared memory outside a kernel body: no kernel runs in rows";

std::string report_of(const SplitOutcome& o) {
  std::string all;
  for (const std::string& line : o.report) all += line + "\n";
  return all;
}

TEST(SplitTranslationUnit, TopLevelBarriersAreSplit) {
  const SplitOutcome o = split(kernel("int t = threadIdx.x;\nout[t] = n;\n__syncthreads();\nout[t] += out[0];\n"
                                      "__syncthreads();\n__syncthreads();\nout[t] *= 2;"));
  EXPECT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"}));
  EXPECT_NE(o.code.find("register_region_form"), std::string::npos) << o.code;
  EXPECT_NE(o.code.find("(&k)"), std::string::npos) << "the form is attached to the kernel itself\n" << o.code;
}

// A kernel without barriers, shared memory or loops is registered to run in
// rows; one that uses shared memory or loops, a template or a declaration is not.
TEST(SplitTranslationUnit, KernelsWithoutBarriersRunInRowsUnlessTheyShareMemoryOrLoop) {
  const SplitOutcome o = split(kernel("out[threadIdx.x] = n;") + "__global__ void empty() {}\n" +
                               "__global__ void tiled(int* out) { __shared__ int s[4]; s[0] = 1; out[0] = s[0]; }\n" +
                               "__global__ void looped(int* out) { for (int i = 0; i < 4; ++i) out[i] = i; }\n" +
                               "__global__ void waited(int* out) { while (out[0]) out[0]--; }\n" +
                               "template <int N> __global__ void generic(int* out) { out[0] = N; }\n" +
                               "__global__ void declared(int* out);\n" + "__device__ int twice(int v) { return 2 * v; }\n");
  EXPECT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: runs in rows (no barrier, no shared memory, no loop)",
                                                "k.cu: kernel empty: runs in rows (no barrier, no shared memory, no loop)"}));
  EXPECT_EQ(occurrences(o.code, "register_row_form"), 2u) << o.code;
  EXPECT_EQ(occurrences(o.code, "(&k)"), 1u) << o.code;
  EXPECT_EQ(occurrences(o.code, "(&empty)"), 1u) << o.code;
  EXPECT_EQ(o.code.find("register_region_form"), std::string::npos) << o.code;
  for (const char* other : {"tiled", "looped", "waited", "generic", "declared", "twice"})
    EXPECT_EQ(o.code.find(other), std::string::npos) << other << "\n" << o.code;
}

// Shared memory a kernel may reach outside its own body could tie its
// blocks together: then no kernel of the unit runs in rows, while kernels
// split at their barriers keep their region forms.
class SplitStrayShared : public ::testing::TestWithParam<std::string> {};

TEST_P(SplitStrayShared, NoKernelRunsInRows) {
  const SplitOutcome o = split(GetParam() + kernel("out[0] = n;", "int* out, int n") +
                               "__global__ void synced(int* out) { out[0] = 1; __syncthreads(); out[1] = out[0]; }\n");
  EXPECT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel synced: split at its barriers", kStrayShared}));
  EXPECT_EQ(o.code.find("register_row_form"), std::string::npos) << o.code;
  EXPECT_NE(o.code.find("register_region_form"), std::string::npos) << o.code;
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitStrayShared,
                         ::testing::Values("__device__ int* scratch() { __shared__ int s[32]; return s; }\n",
                                           "#define SCRATCH __shared__ int s[32]\n",
                                           "__shared__ int file_scope[8];\n"));

TEST(SplitTranslationUnit, BarriersInCommentsAndStringsDoNotCount) {
  const std::string text = "// __syncthreads() in a comment\n"
                           "/* and __syncthreads();\n   over lines */\n"
                           "__device__ const char* name() { return \"__syncthreads\"; }\n"
                           "__global__ void quiet(char* out) {\n"
                           "  out[0] = '_'; // __syncthreads();\n"
                           "  const char* s = \"__syncthreads();\"; out[1] = s[0];\n"
                           "}\n"
                           "__global__ void k(int* out) {\n"
                           "  out[threadIdx.x] = 1; /* __syncthreads(); */\n"
                           "  __syncthreads();\n"
                           "  out[0] = 2;\n"
                           "}\n";
  const SplitOutcome o = split(text);
  EXPECT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers",
                                                "k.cu: kernel quiet: runs in rows (no barrier, no shared memory, no loop)"}));
  EXPECT_NE(o.code.find("k_in_regions"), std::string::npos);
}

TEST(SplitTranslationUnit, ReturnAfterTheLastBarrierIsAccepted) {
  const SplitOutcome o = split(kernel("int t = threadIdx.x;\nout[t] = t;\n__syncthreads();\n"
                                      "if (t >= n) return;\nout[t] += out[0];\nif (t == 0) { return; }\nout[t]++;"));
  EXPECT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"}));
  // The return ends the thread's share of the region, not the whole block.
  const std::string last_region = o.code.substr(o.code.rfind("threadIdx = uint3"));
  EXPECT_EQ(last_region.find("return;"), std::string::npos) << o.code;
}

TEST(SplitTranslationUnit, LaunchBoundsEitherSideOfTheName) {
  const std::string body = "(int* out) { out[0] = 1; __syncthreads(); out[1] = 2; }\n";
  const SplitOutcome o = split("__global__ void __launch_bounds__(256, 2) first" + body +
                               "__launch_bounds__(128) __global__ void second" + body);
  EXPECT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel first: split at its barriers",
                                                "k.cu: kernel second: split at its barriers"}));
}

TEST(SplitTranslationUnit, NamespacesAndCLinkageKeepTheirScope) {
  const std::string body = "(int* out) { out[0] = 1; __syncthreads(); out[1] = out[0]; }\n";
  const SplitOutcome o = split("namespace outer {\nnamespace {\n__global__ void hidden" + body +
                               "}\n__global__ void named" + body + "}\n" +
                               "extern \"C\" {\n__global__ void plain" + body + "}\n" +
                               "extern \"C\" __global__ void single" + body +
                               "namespace other { struct S { void f() { __global__ void not_a_kernel(); } }; }\n");
  EXPECT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel hidden: split at its barriers",
                                                "k.cu: kernel named: split at its barriers",
                                                "k.cu: kernel plain: split at its barriers",
                                                "k.cu: kernel single: split at its barriers"}));
  // Each region form is reopened in its kernel's namespaces, where its name
  // finds the kernel.
  const size_t hidden = o.code.find("hidden_in_regions");
  const size_t named = o.code.find("named_in_regions");
  ASSERT_NE(hidden, std::string::npos);
  ASSERT_NE(named, std::string::npos);
  EXPECT_NE(o.code.rfind("namespace outer {\nnamespace {\n", hidden), std::string::npos) << o.code;
  EXPECT_NE(o.code.rfind("namespace outer {\n", named), std::string::npos) << o.code;
  const size_t plain = o.code.find("plain_in_regions");
  EXPECT_EQ(o.code.substr(named, plain - named).find("namespace outer"), std::string::npos)
      << "the C kernels stand at global scope\n"
      << o.code;
}

// A barrier the region loops cannot meet, wherever it stands in the unit,
// leaves every kernel of the unit to fibers.
struct StrayCase {
  const char* name;
  std::vector<SourceFile> files;
};

void PrintTo(const StrayCase& c, std::ostream* os) { *os << c.name; }

class SplitStrayBarrier : public ::testing::TestWithParam<StrayCase> {};

TEST_P(SplitStrayBarrier, LeavesEveryKernelToFibers) {
  const SplitOutcome o = split_translation_unit(GetParam().files);
  EXPECT_EQ(o.code, "");
  ASSERT_FALSE(o.report.empty());
  EXPECT_EQ(o.report.back(), kStray);
  EXPECT_EQ(std::count(o.report.begin(), o.report.end(), kStray), 1);
}

const std::string kSplittable = kernel("out[0] = n;\n__syncthreads();\nout[1] = out[0];");

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitStrayBarrier,
    ::testing::Values(
        StrayCase{"DeviceFunction", {{"k.cu", "__device__ void sync_all() { __syncthreads(); }\n" + kSplittable}}},
        StrayCase{"DeviceFunctionAfterTheKernel", {{"k.cu", kSplittable + "__device__ void later() { __syncthreads(); }\n"}}},
        StrayCase{"Macro", {{"k.cu", "#define SYNC() \\\n  __syncthreads()\n" + kSplittable}}},
        StrayCase{"MacroUsedByTheKernel",
                  {{"k.cu", "#define SYNC __syncthreads();\n" + kernel("out[0] = n;\nSYNC\nout[1] = 2;")}}},
        StrayCase{"OtherFileOfTheUnit",
                  {{"main.cu", kSplittable}, {"helpers.cuh", "__device__ void sync_all() { __syncthreads(); }\n"}}},
        StrayCase{"UnbalancedFile", {{"main.cu", kSplittable}, {"broken.cuh", "void f() { __syncthreads(); \n"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SplitTranslationUnit, UnreadableFileIsNamedAndLeavesEveryKernelAsWritten) {
  // Brackets that do not pair up hide where its barriers stand, if any.
  const SplitOutcome o = split_translation_unit({{"broken.cuh", "void f() { (\n"}, {"main.cu", kSplittable}});
  EXPECT_EQ(o.report, (std::vector<std::string>{"broken.cuh: not scanned: unbalanced brackets",
                                                "main.cu: kernel k: split at its barriers", kStray}));
  EXPECT_EQ(o.code, "");
}

TEST(SplitTranslationUnit, EveryFileOfTheUnitIsScanned) {
  const SplitOutcome o = split_translation_unit(
      {{"main.cu", "int main() { return 0; }\n"},
       {"a.cuh", "namespace a {\n" + kSplittable + "}\n"},
       {"b.cuh", "__global__ void looped(int* out) { for (int i = 0; i < 2; ++i) __syncthreads(); }\n"}});
  EXPECT_EQ(o.report, (std::vector<std::string>{"a.cuh: kernel k: split at its barriers",
                                                "b.cuh: kernel looped: left to fibers: a barrier inside a nested statement"}));
  EXPECT_NE(o.code.find("#line 2 \"a.cuh\""), std::string::npos) << o.code;
}

// Each shape the region loops cannot run, with the reason the report gives.
struct Refusal {
  const char* name;
  std::string source;
  std::string reason;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class SplitRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(SplitRefusal, LeavesTheKernelToFibersWithTheReason) {
  const Refusal& r = GetParam();
  // A splittable neighbour in the same file is not affected.
  const SplitOutcome o = split(r.source + "__global__ void fine(int* out) { out[0] = 1; __syncthreads(); }\n");
  EXPECT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: left to fibers: " + r.reason,
                                                "k.cu: kernel fine: split at its barriers"}));
  EXPECT_EQ(o.code.find("k_in_regions"), std::string::npos) << o.code;
  EXPECT_NE(o.code.find("fine_in_regions"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitRefusal,
    ::testing::Values(
        Refusal{"BarrierUnderIf", kernel("int t = threadIdx.x;\nif (t < n) {\n  __syncthreads();\n}\nout[t] = t;"),
                "a barrier inside a nested statement"},
        Refusal{"BarrierUnderBracelessIf", kernel("if (n > 0)\n  __syncthreads();\nout[0] = 1;"),
                "a barrier inside a nested statement"},
        Refusal{"BarrierAfterElse", kernel("if (n > 0) out[0] = 1; else __syncthreads();"),
                "a barrier inside a nested statement"},
        Refusal{"BarrierInLoop", kernel("for (int i = 0; i < n; ++i) {\n  out[i] = i;\n  __syncthreads();\n}"),
                "a barrier inside a nested statement"},
        Refusal{"BarrierInBlock", kernel("{\n  __syncthreads();\n}"), "a barrier inside a nested statement"},
        Refusal{"BarrierAfterLabel", kernel("again: __syncthreads();"), "a barrier inside a nested statement"},
        Refusal{"BarrierInExpression", kernel("__syncthreads(), out[0] = 1;"),
                "a barrier that is not a statement of its own"},
        Refusal{"BarrierWithArguments", kernel("__syncthreads(n);"), "a barrier that is not a statement of its own"},
        Refusal{"ReturnBeforeLastBarrier",
                kernel("if (threadIdx.x >= n) return;\n__syncthreads();\nout[0] = 1;\n__syncthreads();"),
                "a return before its last barrier"},
        Refusal{"ReturnBetweenBarriers", kernel("__syncthreads();\nif (n) { return; }\n__syncthreads();"),
                "a return before its last barrier"},
        Refusal{"Lambda", kernel("auto f = [&] { out[0] = n; };\n__syncthreads();\nf();"), "a lambda or attribute"},
        Refusal{"Attribute", kernel("[[maybe_unused]] int x = n;\n__syncthreads();\nout[0] = 1;"),
                "a lambda or attribute"},
        Refusal{"Goto", kernel("__syncthreads();\nif (n) goto done;\nout[0] = 1;\ndone:;"), "'goto'"},
        Refusal{"Asm", kernel("asm volatile(\"\" ::: \"memory\");\n__syncthreads();"), "'asm'"},
        Refusal{"Shuffle", kernel("int v = __shfl_down_sync(0xffffffffu, n, 1);\n__syncthreads();\nout[0] = v;"),
                "'__shfl_down_sync'"},
        Refusal{"Ballot", kernel("unsigned m = __ballot_sync(0xffffffffu, n);\n__syncthreads();\nout[0] = m;"),
                "'__ballot_sync'"},
        Refusal{"SyncWarp", kernel("__syncthreads();\n__syncwarp();"), "'__syncwarp'"},
        Refusal{"CountingBarrier", kernel("__syncthreads();\nout[0] = __syncthreads_count(n);"),
                "'__syncthreads_count'"},
        Refusal{"AddressOfLocal", kernel("int x = n;\nint* p = &x;\n__syncthreads();\nout[0] = *p;"),
                "the address of a variable taken with '&'"},
        Refusal{"AddressOfParameter", kernel("int* p = &n;\n__syncthreads();\nout[0] = *p;"),
                "the address of a variable taken with '&'"},
        Refusal{"ArrayParameterAdvanced",
                kernel("__syncthreads();\nrows += 1;\nrows[0][0] = n;", "int rows[][4], int n"),
                "parameter 'rows' may change and is an array"},
        Refusal{"LocalArray", kernel("int a[4] = {0, 1, 2, 3};\nout[0] = a[n];\n__syncthreads();"), "a local array"},
        Refusal{"LocalArrayAfterBarrier", kernel("__syncthreads();\nfloat b[2];\nb[0] = n;\nout[0] = b[0];"),
                "a local array"},
        Refusal{"TemplateType", kernel("vec<float> v;\n__syncthreads();"),
                "a statement that may declare a variable of a template type: 'vec<float> v;'"},
        Refusal{"ReferenceLocal", kernel("int t = threadIdx.x;\nint& r = t;\nr += 1;\n__syncthreads();\nout[t] = r;"),
                "a local reference"},
        Refusal{"MacroThatAssigns",
                "#define BUMP(x) x += 1\n" + kernel("int t = threadIdx.x;\nBUMP(t);\n__syncthreads();\nout[t] = t;"),
                "macro 'BUMP' may declare or change variables"},
        Refusal{"MacroDefinedLater",
                kernel("out[0] = WIDTH;\n__syncthreads();\nout[1] = WIDTH;") + "#define WIDTH 4\n",
                "macro 'WIDTH' is defined after it"},
        Refusal{"StaticLocal", kernel("static int calls = 0;\n__syncthreads();\nout[0] = calls;"),
                "a static or extern local"},
        Refusal{"ExternLocal", kernel("extern int total;\n__syncthreads();\nout[0] = total;"),
                "a static or extern local"},
        Refusal{"SharedSizedByLocal", kernel("const int m = 8;\n__shared__ int s[m];\n__syncthreads();\nout[0] = s[0];"),
                "a shared array that depends on a local"},
        Refusal{"AutoUsedLater", kernel("auto v = n * 2;\n__syncthreads();\nout[0] = v;"),
                "local 'v', used after a barrier, is not a plain scalar"},
        Refusal{"BracedUsedLater", kernel("int v{n};\n__syncthreads();\nout[0] = v;"),
                "local 'v', used after a barrier, is not a plain scalar"},
        Refusal{"ParenthesisedUsedLater", kernel("__syncthreads();\nint v(n);\n__syncthreads();\nout[0] = v;"),
                "local 'v', used after a barrier, is not a plain scalar"},
        Refusal{"FunctionPointer", kernel("int (*f)(int) = 0;\n__syncthreads();"),
                "a declaration we cannot read: '(*f)(int) = 0'"},
        Refusal{"Directive", kernel("__syncthreads();\n#pragma unroll\nfor (int i = 0; i < 4; ++i) out[i] = n;"),
                "a preprocessor directive in its body"},
        Refusal{"Template",
                "template <int N>\n__global__ void k(int* out) { out[0] = N; __syncthreads(); out[1] = N; }\n",
                "a template"},
        Refusal{"TemplateOnItsOwnLine",
                "template <typename T> __global__\nvoid k(T* out) { __syncthreads(); out[0] = T(); }\n", "a template"}),
    [](const auto& info) { return std::string(info.param.name); });

// The region form keeps per thread exactly the locals a later region reads,
// with their types.
TEST(SplitGeneratedCode, OnlyLocalsUsedAfterABarrierAreKeptPerThread) {
  const SplitOutcome o = split(kernel(
      "int t = threadIdx.x, scratch = 2 * t, half = t / 2;\n"
      "float w = 0.5f * t;\n"
      "const float src = out[t];\n"
      "unsigned long long big;\n"
      "int here = scratch + half;\n"
      "out[t] = here;\n"
      "__syncthreads();\n"
      "big = (unsigned long long)t * w;\n"
      "double late = big + src;\n"
      "int again = 1;\n"
      "out[again] = 0;\n"
      "__syncthreads();\n"
      "out[t] = (int)late + half;\n"));
  ASSERT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"}));
  // Computed from memory, or changed after their declaration: kept.
  for (const char* kept : {"float src_per_thread_[", "unsigned long long big_per_thread_[",
                           "double late_per_thread_["}) {
    EXPECT_EQ(occurrences(o.code, kept), 1u) << kept << "\n" << o.code;
  }
  // Functions of the thread's index: computed again where a later region reads them.
  EXPECT_EQ(occurrences(o.code, "[[maybe_unused]] int t = threadIdx.x;"), 2u) << o.code;
  EXPECT_EQ(occurrences(o.code, "[[maybe_unused]] int half = t / 2;"), 1u) << o.code;
  EXPECT_EQ(occurrences(o.code, "[[maybe_unused]] float w = 0.5f * t;"), 1u) << o.code;
  for (const char* name : {"t", "half", "w", "scratch", "here", "again", "n", "out"})
    EXPECT_EQ(o.code.find(std::string(name) + "_per_thread_"), std::string::npos) << name << "\n" << o.code;
}

// A local computed again must come out the same: only one that never
// changes and whose initialiser reads nothing but indices, unchanging
// parameters, numeric macros and other such locals qualifies.
TEST(SplitGeneratedCode, OnlyUnchangingFunctionsOfTheIndicesAreComputedAgain) {
  const SplitOutcome o = split("#define WIDTH 16\n" +
                               kernel("int row = blockIdx.y * WIDTH + threadIdx.y;\n"
                                      "int moved = threadIdx.x;\nmoved += 1;\n"
                                      "int passed = threadIdx.x;\nbump(passed);\n"
                                      "int loaded = out[threadIdx.x];\n"
                                      "int called = min(threadIdx.x, 3u);\n"
                                      "int scaled = row * n;\n"
                                      "int global = counter + 1;\n"
                                      "__syncthreads();\n"
                                      "out[row] = moved + passed + loaded + called + scaled + global;"));
  ASSERT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"})) << o.code;
  EXPECT_NE(o.code.find("[[maybe_unused]] int row = blockIdx.y * WIDTH + threadIdx.y;"), std::string::npos) << o.code;
  EXPECT_NE(o.code.find("[[maybe_unused]] int scaled = row * n;"), std::string::npos) << o.code;
  for (const char* kept : {"moved", "passed", "loaded", "called", "global"})
    EXPECT_NE(o.code.find(std::string("int ") + kept + "_per_thread_["), std::string::npos) << kept << "\n" << o.code;
}

// Shapes near the refused ones that must stay splittable, and keep their
// locals computed again where that is safe.
TEST(SplitGeneratedCode, BitwiseAndProductsOfGroupsAndRepeatedMacrosStayPure) {
  const SplitOutcome o = split("#define SIDE 8\n#ifndef SIDE\n#define SIDE 8\n#endif\n" +
                               kernel("int i = (threadIdx.x + 1) * SIDE;\nif (n & 1) out[i] = 1;\n"
                                      "int odd = i & 1;\n__syncthreads();\nout[i] = odd;"));
  ASSERT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"})) << o.code;
  EXPECT_NE(o.code.find("[[maybe_unused]] int i = (threadIdx.x + 1) * SIDE;"), std::string::npos) << o.code;
  EXPECT_NE(o.code.find("[[maybe_unused]] int odd = i & 1;"), std::string::npos) << o.code;
}

// A pointer kept across a barrier may hold the address of another local
// (through a call): then every top-level local is kept for the whole block,
// and none is computed again.
TEST(SplitGeneratedCode, AKeptPointerKeepsEveryLocal) {
  const SplitOutcome o = split(kernel("int t = threadIdx.x;\nint x = 3 * t;\nint* p = address_of(x);\n"
                                      "__syncthreads();\nout[t] = *p;"));
  ASSERT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"})) << o.code;
  for (const char* kept : {"int t_per_thread_[", "int x_per_thread_[", "int* p_per_thread_["})
    EXPECT_NE(o.code.find(kept), std::string::npos) << kept << "\n" << o.code;
  EXPECT_EQ(o.code.find("[[maybe_unused]] int t = threadIdx.x;"), std::string::npos) << o.code;
}

TEST(SplitGeneratedCode, AnUndefMeansNoKernelIsSplit) {
  // Region forms stand at the end of the unit, where the macro reads otherwise.
  const SplitOutcome o = split("#define WIDTH 16\n" + kernel("out[0] = WIDTH;\n__syncthreads();\nout[1] = WIDTH;") +
                               "#undef WIDTH\n");
  EXPECT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: left to fibers: a #undef or pop_macro in the unit"}));
  EXPECT_EQ(o.code, "");
}

TEST(SplitGeneratedCode, SharedArraysMoveAheadOfTheFirstRegion) {
  const SplitOutcome o = split(kernel("__shared__ float early[32];\n"
                                      "early[threadIdx.x] = n;\n"
                                      "__syncthreads();\n"
                                      "__shared__ float late[32];\n"
                                      "__shared__ int flag;\n"
                                      "late[threadIdx.x] = early[31 - threadIdx.x];\n"
                                      "__syncthreads();\n"
                                      "out[threadIdx.x] = (int)late[0] + flag;\n"));
  ASSERT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"}));
  const size_t first_loop = o.code.find("for (");
  ASSERT_NE(first_loop, std::string::npos);
  for (const char* decl : {"__shared__ float early[32];", "__shared__ float late[32];", "__shared__ int flag;"}) {
    EXPECT_EQ(occurrences(o.code, decl), 1u) << decl << "\n" << o.code;
    EXPECT_LT(o.code.find(decl), first_loop) << decl << "\n" << o.code;
  }
  EXPECT_EQ(o.code.find("late_per_thread_"), std::string::npos);
}

TEST(SplitGeneratedCode, OneRegionLoopPerBarrierPlusOne) {
  const SplitOutcome o = split(kernel("out[0] = n;\n__syncthreads();\n__syncthreads();\nout[1] = n;\n"
                                      "__syncthreads();"));
  ASSERT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"}));
  EXPECT_EQ(occurrences(o.code, "threadIdx = uint3"), 4u) << o.code;
  EXPECT_EQ(occurrences(o.code, "__syncthreads"), 0u) << o.code;
}

// A parameter that may change gets a copy per thread, initialised from the
// launch's argument; one that cannot keeps being shared by the block.
struct ParameterCase {
  const char* name;
  std::string source;
  std::vector<std::string> copied;  // parameters given per-thread copies
};

void PrintTo(const ParameterCase& c, std::ostream* os) { *os << c.name; }

class SplitParameters : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(SplitParameters, ChangingParametersGetPerThreadCopies) {
  const ParameterCase& c = GetParam();
  const SplitOutcome o = split(c.source);
  ASSERT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"})) << o.code;
  for (const std::string name : {"out", "n"}) {
    const bool expected = std::find(c.copied.begin(), c.copied.end(), name) != c.copied.end();
    EXPECT_EQ(o.code.find(name + "_per_thread_[") != std::string::npos, expected) << name << "\n" << o.code;
    EXPECT_EQ(o.code.find(name + "_argument_") != std::string::npos, expected) << name << "\n" << o.code;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitParameters,
    ::testing::Values(
        ParameterCase{"Assigned", kernel("n = 3;\n__syncthreads();\nout[0] = n;"), {"n"}},
        ParameterCase{"CompoundAssigned", kernel("__syncthreads();\nn <<= 1;\nout[0] = n;"), {"n"}},
        ParameterCase{"Incremented", kernel("++n;\n__syncthreads();\nout[0] = n;"), {"n"}},
        ParameterCase{"PointerAdvanced", kernel("out++;\n__syncthreads();\nout[0] = n;"), {"out"}},
        ParameterCase{"PassedToAFunction", kernel("bump(n);\n__syncthreads();\nout[0] = n;"), {"n"}},
        ParameterCase{"WrittenThrough", kernel("*out = n;\nout[1] = n;\n__syncthreads();\nout[2] = n + 1;"), {}},
        ParameterCase{"ElementAddressPassedOn", kernel("__syncthreads();\natomicAdd(&out[0], n + 1);"), {}},
        ParameterCase{"MathsArguments", kernel("__syncthreads();\nout[0] = (int)fmaf(n, n, sqrtf(n));\n(void)n;"), {}},
        ParameterCase{"MemberFunctionCalled", kernel("__syncthreads();\nout[0] = 1;\nn.bump();"), {"n"}},
        ParameterCase{"OnlyRead", kernel("out[0] = n * 2;\n__syncthreads();\nout[1] = (n + 1) / 2;"), {}},
        ParameterCase{"ClassByValue", kernel("__syncthreads();\nout[0] = w.lo;", "Window w, int* out, int n"),
                      {}}));

TEST(SplitParameters, ClassParametersAreAlwaysCopied) {
  // Members can change in ways the tokens do not show (a member function).
  const SplitOutcome o = split(kernel("w.grow();\n__syncthreads();\nout[0] = w.hi;", "Window w, int* out"));
  ASSERT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"}));
  EXPECT_NE(o.code.find("Window w_per_thread_["), std::string::npos) << o.code;
  EXPECT_NE(o.code.find("Window& w = (w_per_thread_[gpu_split_t_] = w_argument_);"), std::string::npos) << o.code;
  EXPECT_EQ(o.code.find("out_argument_"), std::string::npos) << o.code;
}

// Locals of named types: a pointer or a qualified type word is computed
// again like any scalar; a local of a name that may be a class (or a
// reference) is neither computed again nor kept in an array, so the kernel
// runs as written when a later region reads it.
TEST(SplitGeneratedCode, LocalsOfNamedTypesAreComputedAgainOnlyWhenScalar) {
  const SplitOutcome o = split(kernel("Node* head = 0;\nstd::size_t i = n;\n__syncthreads();\n"
                                      "out[i] = head != 0;"));
  ASSERT_EQ(o.report, (std::vector<std::string>{"k.cu: kernel k: split at its barriers"})) << o.code;
  EXPECT_NE(o.code.find("[[maybe_unused]] Node* head = 0;"), std::string::npos) << o.code;
  EXPECT_NE(o.code.find("[[maybe_unused]] std :: size_t i = n;"), std::string::npos) << o.code;

  const SplitOutcome named = split("typedef unsigned int uint;\n" +
                                   kernel("const uint tid = threadIdx.x;\n__syncthreads();\nout[tid] = n;"));
  EXPECT_EQ(named.report, (std::vector<std::string>{
                              "k.cu: kernel k: left to fibers: local 'tid', used after a barrier, is of a class type"}));
}

// Shapes the splitter accepts but whose region form cannot compile: the
// build of any program holding them would break.

TEST(SplitGeneratedCode, QualifiedTypeAfterConstIsKeptPerThreadOrRefused) {
  const SplitOutcome o = split("typedef unsigned int uint;\n" + kernel("const uint tid = threadIdx.x;\n__syncthreads();\n"
                                                                       "out[tid] = n;"));
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] == "k.cu: kernel k: split at its barriers")
    EXPECT_NE(o.code.find("uint const tid = threadIdx.x;"), std::string::npos) << o.code;
}

TEST(SplitGeneratedCode, KernelOutsideTheCompiledCodeIsNotSplit) {
  const SplitOutcome o = split("#if 0\n" + kernel("out[0] = n;\n__syncthreads();\nout[1] = n;") + "#endif\n");
  for (const std::string& line : o.report) EXPECT_EQ(line.find("split at its barriers"), std::string::npos) << line;
}

TEST(SplitGeneratedCode, QualifiedKernelDefinitionIsReachedFromItsRegionForm) {
  const SplitOutcome o = split("namespace ns { __global__ void k(int* out); }\n"
                               "__global__ void ns::k(int* out) { out[0] = 1; __syncthreads(); out[1] = 2; }\n");
  ASSERT_EQ(o.report.size(), 1u);
  if (o.report[0] == "k.cu: kernel k: split at its barriers")
    EXPECT_TRUE(o.code.find("ns::k") != std::string::npos || o.code.find("namespace ns {") != std::string::npos)
        << o.code;
}

TEST(SplitGeneratedCode, OverloadedKernelsGetDistinctRegistrations) {
  const SplitOutcome o = split("__global__ void k(int* out) { out[0] = 1; __syncthreads(); out[1] = 2; }\n"
                               "__global__ void k(float* out) { out[0] = 1; __syncthreads(); out[1] = 2; }\n");
  const std::regex registration(R"(const bool (\w+) =)");
  std::set<std::string> names;
  size_t count = 0;
  for (auto it = std::sregex_iterator(o.code.begin(), o.code.end(), registration); it != std::sregex_iterator();
       ++it, ++count)
    names.insert((*it)[1]);
  EXPECT_EQ(names.size(), count) << o.code;
}

}  // namespace
