// Rewrites kernels whose barriers all stand between top-level statements of
// the kernel body into a form that runs a whole block without fibers: the
// body is cut at each __syncthreads() into regions, and each region becomes
// a loop over the block's threads. A local that a later region uses is kept
// per thread, in an array indexed by the thread; __shared__ arrays move to
// the top of the function. Because every thread of the block reaches every
// such barrier, running region k for all threads before region k + 1 for any
// is one of the interleavings the barriers allow.
//
// Kernels that do not fit this shape (a barrier under a condition or in a
// loop, a return before the last barrier, a lambda, goto, the address of a
// local, a parameter written to, ...) are left as they are: the runtime runs
// them on fibers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace split_barriers {

/// One source file to scan: its path (for #line) and its text.
struct SourceFile {
  std::string path;
  std::string text;
  /// Where it includes other files of the unit: the offset of the #include
  /// directive and the index of the included file. Files no include
  /// reaches count as following the others, in order.
  struct Include {
    std::size_t offset;
    std::size_t file;
  };
  std::vector<Include> includes;
};

struct SplitOutcome {
  /// C++ to append to the translation unit after all its sources: the
  /// region form of each kernel that could be split and its registration.
  std::string code;
  /// One line per kernel with barriers: split, or why it was left to fibers.
  std::vector<std::string> report;
};

/// Scans every file of one translation unit (the main source and the kernel
/// sources it includes). A barrier anywhere but between the top-level
/// statements of a kernel (in a device function, in a macro) leaves every
/// kernel of the unit to fibers, since a region loop could not meet it.
SplitOutcome split_translation_unit(const std::vector<SourceFile>& files);

}  // namespace split_barriers
