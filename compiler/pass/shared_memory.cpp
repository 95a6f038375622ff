#include "shared_memory.h"

#include <algorithm>

#include "device_code.h"
#include "llvm/ADT/SmallPtrSet.h"
#include "llvm/IR/Constants.h"
#include "llvm/IR/IRBuilder.h"
#include "llvm/IR/InstIterator.h"
#include "llvm/IR/IntrinsicInst.h"

using namespace llvm;

namespace compiler::pass {
namespace {

struct SharedVariable {
  Value* var;               // an alloca marked by the dialect, or a global
  uint64_t size;
  Align align;
  SmallPtrSet<Function*, 4> users;    // functions that name it
  SmallPtrSet<Function*, 4> kernels;  // kernels that reach one of those
  uint64_t offset = 0;
};

bool is_annotation(const Value* text, StringRef expected) {
  auto* gv = dyn_cast<GlobalVariable>(text->stripPointerCasts());
  if (!gv || !gv->hasInitializer()) return false;
  auto* data = dyn_cast<ConstantDataArray>(gv->getInitializer());
  return data && data->isCString() && data->getAsCString() == expected;
}

bool contains(const Constant* c, const GlobalValue* g) {
  if (c == g) return true;
  auto* ce = dyn_cast<ConstantExpr>(c);
  if (!ce) return false;
  for (const Use& op : ce->operands())
    if (contains(cast<Constant>(op.get()), g)) return true;
  return false;
}

// The instructions computing `c` with `g` replaced by `replacement`,
// inserted before `before`.
Value* rebuild(Constant* c, GlobalValue* g, Value* replacement, Instruction* before) {
  if (c == g) return replacement;
  auto* ce = dyn_cast<ConstantExpr>(c);
  if (!ce || !contains(ce, g)) return c;
  Instruction* inst = ce->getAsInstruction(before);
  for (unsigned k = 0; k < inst->getNumOperands(); ++k)
    if (auto* op = dyn_cast<Constant>(inst->getOperand(k))) inst->setOperand(k, rebuild(op, g, replacement, inst));
  return inst;
}

// Functions whose instructions use `g`, directly or through constant expressions.
void collect_users(const Value* v, SmallPtrSetImpl<Function*>& out) {
  for (const User* u : v->users()) {
    if (auto* i = dyn_cast<Instruction>(u)) out.insert(const_cast<Function*>(i->getFunction()));
    else if (isa<ConstantExpr>(u)) collect_users(u, out);
  }
}

Value* shared_base(Function& f, const char* name, DenseMap<Function*, Value*>& cache) {
  auto [it, fresh] = cache.try_emplace(&f, nullptr);
  if (!fresh) return it->second;
  Module& m = *f.getParent();
  FunctionCallee callee = m.getOrInsertFunction(name, PointerType::getUnqual(m.getContext()));
  if (auto* fn = dyn_cast<Function>(callee.getCallee())) {
    fn->setDoesNotThrow();
    fn->setDoesNotAccessMemory();
    fn->setWillReturn();
  }
  IRBuilder<> b(&*f.getEntryBlock().getFirstInsertionPt());
  it->second = b.CreateCall(callee, {}, "shared.base");
  return it->second;
}

// Replaces every use of `g` inside functions with `base + offset` computed there.
void rewrite_global(GlobalVariable& g, uint64_t offset, const char* base_name, DenseMap<Function*, Value*>& bases) {
  SmallVector<std::pair<Instruction*, unsigned>> uses;
  for (Function& f : *g.getParent())
    for (Instruction& i : instructions(f))
      for (unsigned k = 0; k < i.getNumOperands(); ++k)
        if (auto* c = dyn_cast<Constant>(i.getOperand(k)); c && contains(c, &g)) uses.push_back({&i, k});
  for (auto [inst, k] : uses) {
    Function& f = *inst->getFunction();
    Value* base = shared_base(f, base_name, bases);
    IRBuilder<> b(cast<Instruction>(base)->getNextNode());
    Value* address = offset ? b.CreateConstInBoundsGEP1_64(b.getInt8Ty(), base, offset, g.getName()) : base;
    Instruction* at = inst;
    if (auto* phi = dyn_cast<PHINode>(inst)) at = phi->getIncomingBlock(k)->getTerminator();
    inst->setOperand(k, rebuild(cast<Constant>(inst->getOperand(k)), &g, address, at));
  }
}

}  // namespace

std::map<Function*, uint64_t> lower_shared_memory(Module& m, const std::vector<Function*>& kernel_list) {
  const DataLayout& dl = m.getDataLayout();
  std::vector<SharedVariable> vars;

  // Locals: allocas the dialect marked with an annotation.
  SmallVector<Instruction*> annotations;
  for (Function& f : m) {
    for (Instruction& i : instructions(f)) {
      auto* call = dyn_cast<IntrinsicInst>(&i);
      if (!call || call->getIntrinsicID() != Intrinsic::var_annotation) continue;
      if (!is_annotation(call->getArgOperand(1), "gpu.shared")) continue;
      annotations.push_back(call);
      auto* alloca = dyn_cast<AllocaInst>(call->getArgOperand(0)->stripPointerCasts());
      if (!alloca) continue;
      SharedVariable v{alloca, alloca->getAllocationSize(dl).value_or(TypeSize::getFixed(0)).getFixedValue(),
                       alloca->getAlign()};
      v.users.insert(&f);
      vars.push_back(std::move(v));
    }
  }
  for (Instruction* i : annotations) i->eraseFromParent();

  // Globals: namespace-scope __shared__ variables.
  if (GlobalVariable* list = m.getGlobalVariable("llvm.global.annotations"); list && list->hasInitializer()) {
    if (auto* array = dyn_cast<ConstantArray>(list->getInitializer())) {
      for (Value* op : array->operands()) {
        auto* entry = dyn_cast<ConstantStruct>(op);
        if (!entry || !is_annotation(entry->getOperand(1), "gpu.shared")) continue;
        auto* g = dyn_cast<GlobalVariable>(entry->getOperand(0)->stripPointerCasts());
        if (!g) continue;
        SharedVariable v{g, dl.getTypeAllocSize(g->getValueType()).getFixedValue(),
                         g->getAlign().value_or(dl.getABITypeAlign(g->getValueType()))};
        collect_users(g, v.users);
        vars.push_back(std::move(v));
      }
    }
  }

  // Which kernels reach which variable. A kernel that calls through a
  // pointer may reach any of them.
  for (Function* kernel : kernel_list) {
    SetVector<Function*> reach = reachable_functions(*kernel);
    bool indirect = false;
    for (Function* f : reach)
      for (Instruction& i : instructions(*f))
        if (auto* call = dyn_cast<CallBase>(&i); call && call->isIndirectCall()) indirect = true;
    for (SharedVariable& v : vars)
      if (indirect || any_of(v.users, [&](Function* f) { return reach.contains(f); })) v.kernels.insert(kernel);
  }

  // Offsets: largest alignment first, each at the lowest offset that no
  // variable of a kernel it shares is using.
  std::vector<SharedVariable*> order;
  for (SharedVariable& v : vars) order.push_back(&v);
  std::stable_sort(order.begin(), order.end(), [](auto* a, auto* b) {
    return a->align != b->align ? a->align > b->align : a->size > b->size;
  });
  std::vector<SharedVariable*> placed;
  for (SharedVariable* v : order) {
    uint64_t offset = 0;
    for (bool moved = true; moved;) {
      moved = false;
      for (SharedVariable* w : placed) {
        bool shares = any_of(v->kernels, [&](Function* k) { return w->kernels.contains(k); });
        if (shares && offset < w->offset + w->size && w->offset < offset + std::max<uint64_t>(v->size, 1)) {
          offset = alignTo(w->offset + w->size, v->align);
          moved = true;
        }
      }
    }
    v->offset = offset;
    placed.push_back(v);
  }

  std::map<Function*, uint64_t> sizes;
  for (Function* kernel : kernel_list) sizes[kernel] = 0;
  for (SharedVariable& v : vars)
    for (Function* k : v.kernels) sizes[k] = std::max(sizes[k], alignTo(v.offset + v.size, 16));

  DenseMap<Function*, Value*> static_bases, dynamic_bases;
  for (SharedVariable& v : vars) {
    if (auto* alloca = dyn_cast<AllocaInst>(v.var)) {
      Function& f = *alloca->getFunction();
      for (User* u : make_early_inc_range(alloca->users()))
        if (auto* intrinsic = dyn_cast<IntrinsicInst>(u); intrinsic && intrinsic->isLifetimeStartOrEnd())
          intrinsic->eraseFromParent();
      Value* base = shared_base(f, kSharedMemory, static_bases);
      IRBuilder<> b(cast<Instruction>(base)->getNextNode());
      Value* address = v.offset ? b.CreateConstInBoundsGEP1_64(b.getInt8Ty(), base, v.offset) : base;
      address->takeName(alloca);
      alloca->replaceAllUsesWith(address);
      alloca->eraseFromParent();
    } else {
      rewrite_global(*cast<GlobalVariable>(v.var), v.offset, kSharedMemory, static_bases);
    }
  }

  // Dynamic shared memory: unsized extern arrays used by kernel code.
  SmallPtrSet<Function*, 16> device;
  for (Function* kernel : kernel_list)
    for (Function* f : reachable_functions(*kernel)) device.insert(f);
  for (GlobalVariable& g : m.globals()) {
    auto* type = dyn_cast<ArrayType>(g.getValueType());
    if (!g.isDeclaration() || !type || type->getNumElements() != 0) continue;
    SmallPtrSet<Function*, 4> users;
    collect_users(&g, users);
    if (any_of(users, [&](Function* f) { return device.contains(f); }))
      rewrite_global(g, 0, kDynamicSharedMemory, dynamic_bases);
  }
  return sizes;
}

}  // namespace compiler::pass
