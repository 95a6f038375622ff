#include "memcheck.h"

#include "llvm/Analysis/ValueTracking.h"
#include "llvm/IR/DebugInfoMetadata.h"
#include "llvm/IR/IRBuilder.h"
#include "llvm/IR/InstIterator.h"
#include "llvm/IR/IntrinsicInst.h"

using namespace llvm;

namespace compiler::pass {

bool checked_build(const Module& m) { return m.getNamedGlobal(kMemcheckMarker) != nullptr; }

namespace {

// The constant record of one access's source place: {file, line, column, kernel}.
Constant* site_record(Module& m, const Instruction& at, StringRef kernel) {
  LLVMContext& ctx = m.getContext();
  IRBuilder<> b(ctx);
  StringRef file = "?";
  unsigned line = 0, column = 0;
  if (const DILocation* loc = at.getDebugLoc()) {
    file = loc->getFilename();
    line = loc->getLine();
    column = loc->getColumn();
  }
  auto text = [&](StringRef s) {
    auto* init = ConstantDataArray::getString(ctx, s);
    auto* g = new GlobalVariable(m, init->getType(), true, GlobalValue::PrivateLinkage, init, "gpu.check.text");
    g->setUnnamedAddr(GlobalValue::UnnamedAddr::Global);
    return g;
  };
  auto* type = StructType::get(ctx, {b.getPtrTy(), b.getInt32Ty(), b.getInt32Ty(), b.getPtrTy()});
  auto* init = ConstantStruct::get(type, {text(file), b.getInt32(line), b.getInt32(column), text(kernel)});
  return new GlobalVariable(m, type, true, GlobalValue::PrivateLinkage, init, "gpu.check.site");
}

bool is_local(Value* address) { return isa<AllocaInst>(getUnderlyingObject(address, 0)); }

}  // namespace

unsigned instrument_accesses(Function& f, StringRef kernel_name) {
  Module& m = *f.getParent();
  LLVMContext& ctx = m.getContext();
  Type* ptr = PointerType::getUnqual(ctx);
  FunctionCallee check = m.getOrInsertFunction(
      kCheckAccess, FunctionType::get(Type::getVoidTy(ctx), {ptr, Type::getInt64Ty(ctx), Type::getInt32Ty(ctx), ptr}, false));
  if (auto* fn = dyn_cast<Function>(check.getCallee())) fn->setDoesNotThrow();
  const DataLayout& dl = m.getDataLayout();

  struct Access {
    Instruction* at;
    Value* address;
    Value* bytes;
    unsigned kind;
  };
  std::vector<Access> accesses;
  auto bytes_of = [&](Type* t) { return ConstantInt::get(Type::getInt64Ty(ctx), dl.getTypeStoreSize(t).getFixedValue()); };
  for (Instruction& i : instructions(f)) {
    if (auto* load = dyn_cast<LoadInst>(&i)) {
      accesses.push_back({load, load->getPointerOperand(), bytes_of(load->getType()), kCheckRead});
    } else if (auto* store = dyn_cast<StoreInst>(&i)) {
      accesses.push_back({store, store->getPointerOperand(), bytes_of(store->getValueOperand()->getType()), kCheckWrite});
    } else if (auto* rmw = dyn_cast<AtomicRMWInst>(&i)) {
      accesses.push_back({rmw, rmw->getPointerOperand(), bytes_of(rmw->getValOperand()->getType()), kCheckRead | kCheckWrite});
    } else if (auto* cas = dyn_cast<AtomicCmpXchgInst>(&i)) {
      accesses.push_back({cas, cas->getPointerOperand(), bytes_of(cas->getNewValOperand()->getType()), kCheckRead | kCheckWrite});
    } else if (auto* transfer = dyn_cast<MemTransferInst>(&i)) {
      accesses.push_back({transfer, transfer->getSource(), transfer->getLength(), kCheckRead});
      accesses.push_back({transfer, transfer->getDest(), transfer->getLength(), kCheckWrite});
    } else if (auto* set = dyn_cast<MemSetInst>(&i)) {
      accesses.push_back({set, set->getDest(), set->getLength(), kCheckWrite});
    }
  }
  unsigned placed = 0;
  for (const Access& a : accesses) {
    if (is_local(a.address)) continue;
    IRBuilder<> b(a.at);
    b.CreateCall(check, {a.address, b.CreateZExtOrTrunc(a.bytes, b.getInt64Ty()), b.getInt32(a.kind),
                         site_record(m, *a.at, kernel_name)});
    ++placed;
  }
  return placed;
}

}  // namespace compiler::pass
