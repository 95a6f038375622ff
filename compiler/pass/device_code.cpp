#include "device_code.h"

#include "llvm/ADT/StringSwitch.h"
#include "llvm/IR/Constants.h"
#include "llvm/IR/GlobalVariable.h"
#include "llvm/IR/InstIterator.h"
#include "llvm/IR/Instructions.h"

using namespace llvm;

namespace compiler::pass {

std::optional<BuiltinRead> builtin_read(const CallBase& call) {
  const Function* f = call.getCalledFunction();
  if (!f || !f->getName().startswith("__gpu_")) return std::nullopt;
  StringRef name = f->getName().drop_front(6);
  std::optional<Builtin> b;
  if (name.consume_front("thread_idx_")) b = Builtin::ThreadIdx;
  else if (name.consume_front("block_idx_")) b = Builtin::BlockIdx;
  else if (name.consume_front("block_dim_")) b = Builtin::BlockDim;
  else if (name.consume_front("grid_dim_")) b = Builtin::GridDim;
  if (!b || name.size() != 1 || name[0] < 'x' || name[0] > 'z') return std::nullopt;
  return BuiltinRead{*b, unsigned(name[0] - 'x')};
}

std::optional<BarrierKind> barrier_kind(const CallBase& call) {
  const Function* f = call.getCalledFunction();
  if (!f) return std::nullopt;
  return StringSwitch<std::optional<BarrierKind>>(f->getName())
      .Case("__gpu_syncthreads", BarrierKind::Plain)
      .Case("__gpu_syncthreads_count", BarrierKind::Count)
      .Case("__gpu_syncthreads_and", BarrierKind::And)
      .Case("__gpu_syncthreads_or", BarrierKind::Or)
      .Default(std::nullopt);
}

int barrier_line(const CallBase& call) {
  // The line is the last argument; the dialect passes __LINE__.
  if (auto* c = dyn_cast<ConstantInt>(call.getArgOperand(call.arg_size() - 1))) return int(c->getSExtValue());
  return 0;
}

std::vector<Function*> kernels(Module& m) {
  std::vector<Function*> out;
  GlobalVariable* annotations = m.getGlobalVariable("llvm.global.annotations");
  if (!annotations || !annotations->hasInitializer()) return out;
  auto* list = dyn_cast<ConstantArray>(annotations->getInitializer());
  if (!list) return out;
  for (Value* op : list->operands()) {
    auto* entry = dyn_cast<ConstantStruct>(op);
    if (!entry || entry->getNumOperands() < 2) continue;
    auto* fn = dyn_cast<Function>(entry->getOperand(0)->stripPointerCasts());
    auto* text = dyn_cast<GlobalVariable>(entry->getOperand(1)->stripPointerCasts());
    if (!fn || fn->isDeclaration() || !text || !text->hasInitializer()) continue;
    auto* data = dyn_cast<ConstantDataArray>(text->getInitializer());
    if (data && data->isCString() && data->getAsCString() == "gpu.kernel") out.push_back(fn);
  }
  return out;
}

bool is_device_intrinsic(const Function& f) {
  return f.getName().startswith("__gpu_") || f.getName().startswith("gpu.") || f.isIntrinsic();
}

SetVector<Function*> functions_with_barriers(Module& m) {
  SetVector<Function*> out;
  // Seed with direct callers of barriers, then add callers until nothing changes.
  for (Function& f : m) {
    if (f.isDeclaration()) continue;
    for (Instruction& i : instructions(f))
      if (auto* call = dyn_cast<CallBase>(&i); call && barrier_kind(*call)) {
        out.insert(&f);
        break;
      }
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (Function& f : m) {
      if (f.isDeclaration() || out.contains(&f)) continue;
      for (Instruction& i : instructions(f)) {
        auto* call = dyn_cast<CallBase>(&i);
        Function* callee = call ? call->getCalledFunction() : nullptr;
        if (callee && out.contains(callee)) {
          out.insert(&f);
          changed = true;
          break;
        }
      }
    }
  }
  return out;
}

SetVector<Function*> reachable_functions(Function& kernel) {
  SetVector<Function*> out;
  out.insert(&kernel);
  for (size_t k = 0; k < out.size(); ++k) {
    for (Instruction& i : instructions(*out[k])) {
      auto* call = dyn_cast<CallBase>(&i);
      if (!call) continue;
      Function* callee = call->getCalledFunction();
      if (callee && !callee->isDeclaration()) out.insert(callee);
    }
  }
  return out;
}

}  // namespace compiler::pass
