// The kernel compiler's pass plugin for clang: -fpass-plugin=<this library>.
//
// At the start of the pipeline it places shared memory and makes sure the
// functions that hold barriers or read thread indices get inlined into the
// kernels; at the start of the optimisation pipeline (after inlining and
// simplification, before the vectorisers) it builds each kernel's block
// function and tells the registration code what it made.
#include <cstdlib>
#include <map>
#include <string>

#include "block_form.h"
#include "device_code.h"
#include "memcheck.h"
#include "gpu_runtime/kernel_abi.h"
#include "shared_memory.h"
#include "thread_range.h"
#include "llvm/Demangle/Demangle.h"
#include "llvm/IR/Constants.h"
#include "llvm/IR/IRBuilder.h"
#include "llvm/IR/InstIterator.h"
#include "llvm/IR/PassManager.h"
#include "llvm/Passes/PassBuilder.h"
#include "llvm/Passes/PassPlugin.h"
#include "llvm/Transforms/InstCombine/InstCombine.h"
#include "llvm/Transforms/Scalar/LoopPassManager.h"
#include "llvm/Transforms/Scalar/SimplifyCFG.h"
#include "llvm/Support/Path.h"
#include "llvm/Support/raw_ostream.h"
#include "llvm/Transforms/Utils/Local.h"

using namespace llvm;

namespace compiler::pass {
namespace {

constexpr const char* kStaticShared = "gpu.static_shared";

bool reads_builtins(Function& f) {
  for (Instruction& i : instructions(f))
    if (auto* call = dyn_cast<CallBase>(&i)) {
      if (builtin_read(*call) || barrier_kind(*call)) return true;
      if (Function* callee = call->getCalledFunction();
          callee && (callee->getName() == kSharedMemory || callee->getName() == kDynamicSharedMemory))
        return true;
    }
  return false;
}

struct PrepareDeviceCode : PassInfoMixin<PrepareDeviceCode> {
  PreservedAnalyses run(Module& m, ModuleAnalysisManager&) {
    std::vector<Function*> list = kernels(m);
    if (list.empty()) return PreservedAnalyses::all();
    std::map<Function*, uint64_t> shared = lower_shared_memory(m, list);
    LLVMContext& ctx = m.getContext();
    for (auto [kernel, bytes] : shared)
      kernel->setMetadata(kStaticShared, MDNode::get(ctx, ConstantAsMetadata::get(ConstantInt::get(Type::getInt64Ty(ctx), bytes))));

    // A function that reaches a barrier must not be made control dependent
    // on more than it is, wherever it is called from.
    // A checked build places its checks in the kernels after inlining: a
    // kernel inlined into the code that runs it a thread at a time would
    // run there unchecked.
    if (checked_build(m))
      for (Function* kernel : list) kernel->addFnAttr(Attribute::NoInline);

    SetVector<Function*> with_barriers = functions_with_barriers(m);
    for (Function* f : with_barriers) {
      f->setConvergent();
      for (User* u : f->users())
        if (auto* call = dyn_cast<CallBase>(u)) call->setConvergent();
    }
    // Device functions that hold a barrier or read the built-in indices go
    // into the kernels, so the block functions can see them.
    SetVector<Function*> device;
    for (Function* kernel : list)
      for (Function* f : reachable_functions(*kernel)) device.insert(f);
    for (Function* f : device) {
      if (is_contained(list, f) || f->hasFnAttribute(Attribute::NoInline)) continue;
      // (Through any depth of calls: a helper that reads threadIdx through
      // another must come into the kernel too, however large it is.)
      if (!with_barriers.contains(f) && none_of(reachable_functions(*f), [](Function* g) { return reads_builtins(*g); }))
        continue;
      bool recursive = false;
      for (Instruction& i : instructions(*f))
        if (auto* call = dyn_cast<CallBase>(&i); call && call->getCalledFunction())
          if (call->getCalledFunction() == f || reachable_functions(*call->getCalledFunction()).contains(f)) recursive = true;
      if (!recursive) f->addFnAttr(Attribute::AlwaysInline);
    }
    return PreservedAnalyses::none();
  }
};

// Runs a pipeline on the block functions only.
struct OnBlockForms : PassInfoMixin<OnBlockForms> {
  FunctionPassManager passes;
  PreservedAnalyses run(Function& f, FunctionAnalysisManager& fam) {
    if (!f.hasFnAttribute("gpu-block-form")) return PreservedAnalyses::all();
    return passes.run(f, fam);
  }
};

struct BuildKernelForms : PassInfoMixin<BuildKernelForms> {
  PreservedAnalyses run(Module& m, ModuleAnalysisManager&) {
    Function* query = m.getFunction(kKernelForm);
    std::vector<Function*> list = kernels(m);
    if (list.empty() && !query) return PreservedAnalyses::all();
    SetVector<Function*> with_barriers = functions_with_barriers(m);
    // A checked build checks every access of kernel code, inlined or not.
    const bool checked = checked_build(m);
    if (checked) {
      SetVector<Function*> device;
      for (Function* kernel : list)
        for (Function* f : reachable_functions(*kernel)) device.insert(f);
      for (Function* f : device) instrument_accesses(*f, demangle(f->getName().str()));
    }
    const char* remarks = std::getenv("GPUCC_REMARKS");
    const bool quiet = remarks && std::string(remarks) == "0";
    std::map<Function*, Constant*> forms;
    for (Function* kernel : list) {
      BlockForm form = build_block_form(*kernel, with_barriers, checked);
      const char* kind = !form.block ? "fibers" : form.regions > 1 ? "region loops" : "thread loops";
      forms[kernel] = descriptor(m, *kernel, form, kind);
      if (!quiet) {
        errs() << sys::path::filename(m.getSourceFileName()) << ": kernel " << demangle(kernel->getName().str()) << ": "
               << kind;
        if (form.block && form.regions > 1) errs() << " (" << form.regions << " regions)";
        if (!form.block) errs() << ": " << form.reason;
        errs() << "\n";
      }
    }
    if (query) {
      for (User* u : make_early_inc_range(query->users())) {
        auto* base = dyn_cast<CallBase>(u);
        if (!base || base->getCalledFunction() != query) continue;
        CallInst* call = isa<InvokeInst>(base) ? changeToCall(cast<InvokeInst>(base)) : cast<CallInst>(base);
        auto* kernel = dyn_cast<Function>(call->getArgOperand(0)->stripPointerCasts());
        Constant* d = nullptr;
        if (auto it = forms.find(kernel); it != forms.end()) d = it->second;
        else d = descriptor(m, kernel, {}, "fibers", "it is not marked __global__");
        call->replaceAllUsesWith(d);
        call->eraseFromParent();
      }
    }
    return PreservedAnalyses::none();
  }

  static Constant* descriptor(Module& m, Function& kernel, const BlockForm& form, const char* kind) {
    return descriptor(m, &kernel, form, kind, form.block ? nullptr : form.reason.c_str());
  }

  static Constant* descriptor(Module& m, Function* kernel, const BlockForm& form, const char* kind, const char* reason) {
    LLVMContext& ctx = m.getContext();
    IRBuilder<> b(ctx);
    Type* ptr = b.getPtrTy();
    Type* i64 = b.getInt64Ty();
    uint64_t shared = 0;
    if (kernel)
      if (MDNode* md = kernel->getMetadata(kStaticShared))
        shared = mdconst::extract<ConstantInt>(md->getOperand(0))->getZExtValue();
    auto text = [&](const char* s) -> Constant* {
      if (!s) return ConstantPointerNull::get(cast<PointerType>(ptr));
      auto* init = ConstantDataArray::getString(ctx, s);
      return new GlobalVariable(m, init->getType(), true, GlobalValue::PrivateLinkage, init, "gpu.form.text");
    };
    auto* type = StructType::get(ctx, {ptr, i64, i64, ptr, ptr, i64});
    Constant* block = form.block ? static_cast<Constant*>(form.block) : ConstantPointerNull::get(cast<PointerType>(ptr));
    auto* init = ConstantStruct::get(type, {block, ConstantInt::get(i64, shared), ConstantInt::get(i64, form.scratch_per_thread),
                                            text(kind), text(reason), ConstantInt::get(i64, form.rows ? 1 : 0)});
    return new GlobalVariable(m, type, true, GlobalValue::PrivateLinkage, init,
                              kernel ? kernel->getName() + ".form" : Twine("gpu.form"));
  }
};

}  // namespace
}  // namespace compiler::pass

extern "C" LLVM_ATTRIBUTE_WEAK PassPluginLibraryInfo llvmGetPassPluginInfo() {
  return {LLVM_PLUGIN_API_VERSION, "gpucc", "1", [](PassBuilder& pb) {
            pb.registerPipelineStartEPCallback([](ModulePassManager& mpm, OptimizationLevel) {
              mpm.addPass(compiler::pass::PrepareDeviceCode());
            });
            pb.registerVectorizerStartEPCallback([](FunctionPassManager& fpm, OptimizationLevel level) {
              if (level == OptimizationLevel::O0) return;
              fpm.addPass(compiler::pass::NarrowThreadLoops());
              fpm.addPass(SimplifyCFGPass());
            });
            pb.registerOptimizerEarlyEPCallback([&pb](ModulePassManager& mpm, OptimizationLevel level) {
              mpm.addPass(compiler::pass::BuildKernelForms());
              if (level != OptimizationLevel::O0) {
                compiler::pass::OnBlockForms cleanup;
                cleanup.passes = pb.buildFunctionSimplificationPipeline(OptimizationLevel::O3, ThinOrFullLTOPhase::None);
                cleanup.passes.addPass(SimplifyCFGPass());
                cleanup.passes.addPass(InstCombinePass());
                mpm.addPass(createModuleToFunctionPassAdaptor(std::move(cleanup)));
              }
            });
          }};
}
