// Narrowing a block function's thread loops to the threads that do work.
#pragma once

#include "llvm/IR/PassManager.h"

namespace compiler::pass {

/// In a block function, a thread loop whose body starts by testing the
/// thread's index against a value the loop does not change, and whose
/// other threads do nothing, runs over just the threads that pass: the
/// step of a tree reduction (`if (tid < s)`) over s threads instead of the
/// whole block, `if (tid == 0)` once. Runs before the vectoriser.
struct NarrowThreadLoops : llvm::PassInfoMixin<NarrowThreadLoops> {
  llvm::PreservedAnalyses run(llvm::Function& f, llvm::FunctionAnalysisManager& fam);
};

}  // namespace compiler::pass
