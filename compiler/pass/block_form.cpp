#include "block_form.h"

#include <algorithm>
#include <cstdlib>

#include "device_code.h"
#include "memcheck.h"
#include "gpu_runtime/kernel_abi.h"
#include "llvm/ADT/DenseMap.h"
#include "llvm/ADT/SmallPtrSet.h"
#include "llvm/Analysis/DivergenceAnalysis.h"
#include "llvm/Analysis/LoopInfo.h"
#include "llvm/Analysis/PostDominators.h"
#include "llvm/Analysis/SyncDependenceAnalysis.h"
#include "llvm/Analysis/ValueTracking.h"
#include "llvm/IR/Dominators.h"
#include "llvm/IR/IRBuilder.h"
#include "llvm/IR/InstIterator.h"
#include "llvm/IR/IntrinsicInst.h"
#include "llvm/IR/MDBuilder.h"
#include "llvm/IR/Verifier.h"
#include "llvm/Support/raw_ostream.h"
#include "llvm/Transforms/Utils/BasicBlockUtils.h"
#include "llvm/Transforms/Utils/Cloning.h"
#include "llvm/Transforms/Utils/Local.h"
#include "llvm/Transforms/Utils/SSAUpdater.h"
#include "llvm/Transforms/Utils/ValueMapper.h"

using namespace llvm;

namespace compiler::pass {
namespace {

// Stand-ins the builder puts in the kernel's code before the regions are
// cloned, and replaces in each clone: the address of a per-thread slot, and
// a thread's contribution to a counting barrier.
constexpr const char* kPrivateSlot = "gpu.private.slot";
constexpr const char* kContribute = "gpu.barrier.contribute";

constexpr unsigned kMaxExits = 64;     // a region's exits are bits of one mask
constexpr unsigned kMaxRematerialized = 32;  // instructions recomputed per value
constexpr unsigned kMaxHeadWork = 256;       // blocks and instructions a region's head may follow

struct Region {
  BasicBlock* entry = nullptr;         // the kernel's entry or a barrier block
  SetVector<BasicBlock*> blocks;       // reachable from entry without crossing a barrier
  SetVector<BasicBlock*> barriers;     // barrier blocks it can end at
  bool returns = false;                // whether it can end at the kernel's end
  bool uniform_exit = true;            // whether all threads must leave it the same way
  BasicBlock* head = nullptr;          // where its thread loops start
  DenseMap<Value*, Value*> uniform_in; // kept values the block shares, read at head
  unsigned exits() const { return barriers.size() + (returns ? 1 : 0); }
};

// Per-thread memory in the block's scratch: the slot of thread t lies at
// scratch + threads * offset + t * stride.
struct Slot {
  uint64_t stride;
  Align align;
  uint64_t offset = 0;
};

// A value that lives across a barrier and is not computed again: each
// thread writes it to its slot where the region it is live out of ends. A
// region it is live into reads it back per thread; when every thread holds
// the same value, once for the block, from thread 0's slot. (Threads write
// even a shared value to slots of their own: one slot written by all would
// chain the iterations of the thread loop.)
struct KeptValue {
  Instruction* value;
  bool uniform;
  SmallPtrSet<BasicBlock*, 4> barriers;  // barrier blocks it is live into
  unsigned slot = 0;
};

class Builder {
 public:
  Builder(Function& kernel, const SetVector<Function*>& with_barriers, bool checked)
      : kernel_(kernel), m_(*kernel.getParent()), ctx_(kernel.getContext()), with_barriers_(with_barriers),
        checked_(checked) {}

  BlockForm run() {
    BlockForm out;
    out.reason = unsupported();
    if (!out.reason.empty()) return out;
    clone_kernel();
    read_place();
    unify_returns();
    mark_barriers();
    find_regions();
    if (regions_.size() > 1 || !barriers_.empty()) {
      std::string why = keep_live_values();
      if (why.empty()) privatize();
      if (!why.empty()) return abandon(std::move(why));
    }
    for (const Region& r : regions_)
      if (r.exits() > kMaxExits) return abandon("a region between barriers ends in more than 64 places");
    build_loops();
    if (std::string why = remove_original_blocks(); !why.empty()) return abandon(std::move(why));
    std::string errors;
    raw_string_ostream os(errors);
    if (verifyFunction(*f_, &os)) return abandon("internal error: " + os.str());
    if (const char* dump = std::getenv("GPUCC_DUMP"); dump && f_->getName().contains(dump)) f_->print(errs());
    out.block = f_;
    out.scratch_per_thread = scratch_per_thread_;
    out.regions = regions_.size();
    out.rows = rows_;
    return out;
  }

 private:
  BlockForm abandon(std::string why) {
    f_->eraseFromParent();
    BlockForm out;
    out.reason = std::move(why);
    return out;
  }

  // Why the kernel cannot have a block function, or empty.
  std::string unsupported() const {
    bool has_barrier = false;
    for (Instruction& i : instructions(kernel_)) {
      if (isa<InvokeInst>(i) || isa<CallBrInst>(i) || isa<IndirectBrInst>(i))
        return "it uses exception handling or a computed goto";
      auto* call = dyn_cast<CallBase>(&i);
      if (!call) continue;
      if (barrier_kind(*call)) has_barrier = true;
      if (call->isIndirectCall()) return "it calls through a function pointer";
      Function* callee = call->getCalledFunction();
      if (!callee || is_device_intrinsic(*callee)) continue;
      if (callee->hasFnAttribute(Attribute::ReturnsTwice)) return "it calls " + callee->getName().str() + ", which returns twice";
      if (with_barriers_.contains(callee))
        return "it calls " + callee->getName().str() + ", which has a barrier and was not inlined";
      if (!callee->isDeclaration() && reads_thread_index(*callee))
        return "it calls " + callee->getName().str() + ", which reads threadIdx and was not inlined";
    }
    if (has_barrier)
      for (Instruction& i : instructions(kernel_))
        if (auto* alloca = dyn_cast<AllocaInst>(&i); alloca && !alloca->isStaticAlloca())
          return "it has a variable-sized local and barriers";
    return {};
  }

  static bool reads_thread_index(Function& f) {
    for (Function* g : reachable_functions(f))
      for (Instruction& i : instructions(*g))
        if (auto* call = dyn_cast<CallBase>(&i))
          if (auto read = builtin_read(*call); read && read->builtin == Builtin::ThreadIdx) return true;
    return false;
  }

  void clone_kernel() {
    std::vector<Type*> params(kernel_.getFunctionType()->param_begin(), kernel_.getFunctionType()->param_end());
    params.push_back(PointerType::getUnqual(ctx_));
    auto* type = FunctionType::get(Type::getInt32Ty(ctx_), params, false);
    f_ = Function::Create(type, GlobalValue::InternalLinkage, kernel_.getName() + ".block", m_);
    ValueToValueMapTy vmap;
    auto arg = f_->arg_begin();
    for (Argument& a : kernel_.args()) {
      arg->setName(a.getName());
      vmap[&a] = &*arg++;
    }
    place_ = &*arg;
    place_->setName("place");
    SmallVector<ReturnInst*, 4> returns;
    CloneFunctionInto(f_, &kernel_, vmap, CloneFunctionChangeType::LocalChangesOnly, returns);
    // What was inferred of the kernel's memory use does not hold for a
    // function that also reads its block place and writes per-thread slots.
    for (Attribute::AttrKind kind : {Attribute::Memory, Attribute::NoSync, Attribute::NoFree, Attribute::AlwaysInline,
                                     Attribute::NoReturn, Attribute::Convergent})
      f_->removeFnAttr(kind);
    // UBSan's record of the kernel's type (-fsanitize=function) is not this
    // function's: kept, every call of the block function through its own
    // type would be reported as a call through the wrong type.
    if (f_->hasPrologueData()) f_->setPrologueData(nullptr);
    f_->setMetadata("func_sanitize", nullptr);
    f_->addFnAttr(Attribute::NoInline);
    f_->addFnAttr(Attribute::NoUnwind);
    f_->addFnAttr("gpu-block-form");
    place_->addAttr(Attribute::NoAlias);
    place_->addAttr(Attribute::NoCapture);
  }

  // A prologue that reads the block's place once; the kernel's reads of the
  // block-wide built-ins and shared memory bases become its values.
  void read_place() {
    BasicBlock* old_entry = &f_->getEntryBlock();
    prologue_ = BasicBlock::Create(ctx_, "prologue", f_, old_entry);
    IRBuilder<> b(prologue_);
    Type* i32 = b.getInt32Ty();
    auto field = [&](size_t offset, Type* type, const char* name) {
      Value* at = b.CreateConstInBoundsGEP1_64(b.getInt8Ty(), place_, offset);
      return b.CreateLoad(type, at, name);
    };
    using gpu_runtime::BlockPlace;
    Value* values[3][3];
    for (unsigned d = 0; d < 3; ++d) {
      values[0][d] = field(offsetof(BlockPlace, block) + 4 * d, i32, "block.idx");
      values[1][d] = dim_[d] = field(offsetof(BlockPlace, block_dim) + 4 * d, i32, "block.dim");
      values[2][d] = field(offsetof(BlockPlace, grid_dim) + 4 * d, i32, "grid.dim");
    }
    Type* ptr = b.getPtrTy();
    Value* shared = shared_base_ = field(offsetof(BlockPlace, shared), ptr, "shared");
    Value* dynamic = dynamic_base_ = field(offsetof(BlockPlace, dynamic_shared), ptr, "dynamic.shared");
    block_x_ = values[0][0];
    scratch_ = field(offsetof(BlockPlace, scratch), ptr, "scratch");
    threads_ = b.CreateMul(b.CreateMul(dim_[0], dim_[1], "", true, true), dim_[2], "threads", true, true);
    b.CreateBr(old_entry);

    // A parameter passed by value in memory is every thread's own copy: the
    // block's threads share the one the launch passed, so a thread that may
    // change its copy gets one of its own, a local like the others.
    IRBuilder<> eb(&*old_entry->getFirstInsertionPt());
    for (Argument& a : f_->args()) {
      if (&a == place_ || !a.hasByValAttr() || a.onlyReadsMemory()) continue;
      Type* type = a.getParamByValType();
      const Align align = a.getParamAlign().valueOrOne();
      AllocaInst* own = eb.CreateAlloca(type, nullptr, a.getName() + ".own");
      own->setAlignment(align);
      a.replaceAllUsesWith(own);
      eb.CreateMemCpy(own, align, &a, align, m_.getDataLayout().getTypeAllocSize(type));
    }

    // Fixed-size locals of the entry block live in the prologue.
    for (Instruction& i : make_early_inc_range(*old_entry))
      if (auto* alloca = dyn_cast<AllocaInst>(&i); alloca && alloca->isStaticAlloca())
        alloca->moveBefore(prologue_->getTerminator());
    for (Instruction& i : *prologue_)
      if (auto* alloca = dyn_cast<AllocaInst>(&i)) kernel_locals_.push_back(alloca);

    for (Instruction& i : make_early_inc_range(instructions(*f_))) {
      auto* call = dyn_cast<CallBase>(&i);
      if (!call || call->getParent() == prologue_) continue;
      Value* with = nullptr;
      if (auto read = builtin_read(*call)) {
        switch (read->builtin) {
          case Builtin::ThreadIdx: continue;
          case Builtin::BlockIdx: with = values[0][read->dim]; break;
          case Builtin::BlockDim: with = values[1][read->dim]; break;
          case Builtin::GridDim: with = values[2][read->dim]; break;
        }
      } else if (Function* callee = call->getCalledFunction(); callee && callee->getName() == kSharedMemory) {
        with = shared;
      } else if (callee && callee->getName() == kDynamicSharedMemory) {
        with = dynamic;
      }
      if (!with) continue;
      call->replaceAllUsesWith(with);
      call->eraseFromParent();
    }
  }

  // One block returns from the block function; the kernel's returns go there.
  void unify_returns() {
    end_ = BasicBlock::Create(ctx_, "end", f_);
    ReturnInst::Create(ctx_, ConstantInt::get(Type::getInt32Ty(ctx_), 0), end_);
    for (BasicBlock& bb : *f_)
      if (auto* ret = dyn_cast<ReturnInst>(bb.getTerminator()); ret && &bb != end_) {
        BranchInst::Create(end_, &bb);
        ret->eraseFromParent();
      }
  }

  // Every barrier starts a block of its own; a counting barrier first adds
  // the thread's predicate to the barrier's counter.
  void mark_barriers() {
    for (Instruction& i : instructions(*f_))
      if (auto* call = dyn_cast<CallInst>(&i); call && barrier_kind(*call)) barriers_.push_back(call);
    BasicBlock* first = prologue_->getSingleSuccessor();
    for (unsigned k = 0; k < barriers_.size(); ++k) {
      CallInst* call = barriers_[k];
      AllocaInst* counter = nullptr;
      AllocaInst* result = nullptr;
      if (*barrier_kind(*call) != BarrierKind::Plain) {
        IRBuilder<> b(prologue_->getTerminator());
        counter = b.CreateAlloca(b.getInt32Ty(), nullptr, "barrier.count");
        result = b.CreateAlloca(b.getInt32Ty(), nullptr, "barrier.counted");
        b.SetInsertPoint(call);
        Value* pred = b.CreateICmpNE(call->getArgOperand(0), ConstantInt::get(call->getArgOperand(0)->getType(), 0));
        b.CreateCall(contribute_fn(), {b.getInt32(k), pred});
        // The predicate has been counted: left on the barrier, it would be a
        // value live across it, computed again at the barrier's block.
        call->setArgOperand(0, ConstantInt::get(call->getArgOperand(0)->getType(), 0));
      }
      counters_.push_back(counter);
      counted_.push_back(result);
      BasicBlock* bb = call->getParent();
      if (&bb->front() != call || bb == first) bb = bb->splitBasicBlock(call, "barrier");
      barrier_index_[bb] = k;
    }
  }

  void find_regions() {
    auto add_region = [&](BasicBlock* entry) {
      Region r;
      r.entry = entry;
      r.blocks.insert(entry);
      for (size_t k = 0; k < r.blocks.size(); ++k) {
        for (BasicBlock* s : successors(r.blocks[k])) {
          if (s == end_) r.returns = true;
          else if (barrier_index_.count(s)) r.barriers.insert(s);
          else r.blocks.insert(s);
        }
      }
      region_of_.try_emplace(entry, regions_.size());
      regions_.push_back(std::move(r));
    };
    add_region(prologue_->getSingleSuccessor());
    for (CallInst* call : barriers_) add_region(call->getParent());
  }

  // What decides where `bb` goes: a conditional branch's or a switch's
  // condition; null for anything else.
  static Value* branch_condition(BasicBlock& bb) {
    if (auto* br = dyn_cast<BranchInst>(bb.getTerminator()); br && br->isConditional()) return br->getCondition();
    if (auto* sw = dyn_cast<SwitchInst>(bb.getTerminator())) return sw->getCondition();
    return nullptr;
  }

  // Which values may differ between the threads of a block: the indices,
  // memory, calls that are not pure functions, and what they reach by data
  // and by control. LLVM 16's sync-dependence analysis misses some places
  // where the two sides of a divergent branch meet (a phi after an
  // if/else whose arms hold branches of their own was left uniform), so
  // every phi between a divergent branch and its post-dominator that
  // merges edges from different sides is made divergent too, and the
  // analysis runs again from there until nothing changes.
  std::unique_ptr<DivergenceAnalysisImpl> divergence(DominatorTree& dt, PostDominatorTree& pdt, LoopInfo& li) {
    SmallPtrSet<PHINode*, 8> joined;
    for (;;) {
      sda_ = std::make_unique<SyncDependenceAnalysis>(dt, pdt, li);
      auto da = std::make_unique<DivergenceAnalysisImpl>(*f_, nullptr, dt, li, *sda_, false);
      for (Instruction& i : instructions(*f_)) {
        if (i.getParent() == prologue_) {
          // The kernel's locals become per-thread memory.
          if (isa<AllocaInst>(i)) da->markDivergent(i);
          continue;
        }
        if (isa<AllocaInst>(i) || isa<LoadInst>(i) || isa<AtomicRMWInst>(i) || isa<AtomicCmpXchgInst>(i) ||
            isa<VAArgInst>(i)) {
          da->markDivergent(i);
        } else if (auto* call = dyn_cast<CallBase>(&i); call && !call->getType()->isVoidTy()) {
          if (barrier_kind(*call)) continue;
          auto read = builtin_read(*call);
          Function* callee = call->getCalledFunction();
          bool pure = callee && callee->doesNotAccessMemory() && !read;
          if (!pure) da->markDivergent(i);
        }
      }
      for (PHINode* phi : joined) da->markDivergent(*phi);
      da->compute();
      bool more = false;
      for (BasicBlock& bb : *f_) {
        Value* cond = branch_condition(bb);
        if (!cond || !da->isDivergent(*cond)) continue;
        DomTreeNode* node = pdt.getNode(&bb);
        BasicBlock* meet = node && node->getIDom() ? node->getIDom()->getBlock() : nullptr;
        // For each block up to the post-dominator: which sides reach it.
        DenseMap<BasicBlock*, SmallPtrSet<BasicBlock*, 2>> sides;
        for (BasicBlock* side : successors(&bb)) {
          SmallVector<BasicBlock*, 16> work{side};
          SmallPtrSet<BasicBlock*, 16> seen;
          while (!work.empty()) {
            BasicBlock* at = work.pop_back_val();
            if (at == &bb || !seen.insert(at).second) continue;
            sides[at].insert(side);
            if (at == meet) continue;
            for (BasicBlock* next : successors(at)) work.push_back(next);
          }
        }
        // A phi whose edges come from different sides (the branch itself
        // counts as the side its edge is) tells the threads apart.
        auto side_of = [&](BasicBlock* pred, BasicBlock* at) {
          if (pred == &bb) return SmallPtrSet<BasicBlock*, 2>{at};
          auto it = sides.find(pred);
          return it == sides.end() ? SmallPtrSet<BasicBlock*, 2>{} : it->second;
        };
        for (auto& [at, from] : sides) {
          if (from.size() < 2) continue;
          for (PHINode& phi : at->phis()) {
            if (da->isDivergent(phi) || phi.hasConstantValue() || joined.contains(&phi)) continue;
            const SmallPtrSet<BasicBlock*, 2> first = side_of(phi.getIncomingBlock(0), at);
            bool mixed = false;
            for (unsigned k = 1; k < phi.getNumIncomingValues() && !mixed; ++k) {
              const SmallPtrSet<BasicBlock*, 2> other = side_of(phi.getIncomingBlock(k), at);
              mixed = other.size() != first.size() || any_of(other, [&](BasicBlock* x) { return !first.contains(x); });
            }
            if (mixed) more = joined.insert(&phi).second || more;
          }
        }
      }
      if (!more) return da;
    }
  }

  // Values that live across a barrier: recomputed where they are pure
  // functions of the thread's indices and block-wide values, else kept in
  // a slot, one per block when all threads hold the same value, else one
  // per thread.
  std::string keep_live_values() {
    DominatorTree dt(*f_);
    PostDominatorTree pdt(*f_);
    LoopInfo li(dt);
    std::unique_ptr<DivergenceAnalysisImpl> analysis = divergence(dt, pdt, li);
    DivergenceAnalysisImpl& da = *analysis;

    // Where a thread leaves a region is the same for the whole block unless
    // a divergent branch in it can lead to more than one place.
    for (Region& r : regions_) {
      for (BasicBlock* bb : r.blocks) {
        Value* cond = branch_condition(*bb);
        if (!cond || !da.isDivergent(*cond)) continue;
        divergent_conditions_.insert(cond);
        SmallPtrSet<BasicBlock*, 4> reached;
        for (BasicBlock* s : successors(bb)) exits_reachable(r, s, reached);
        if (reached.size() > 1) r.uniform_exit = false;
      }
    }

    std::vector<std::pair<Instruction*, SmallPtrSet<BasicBlock*, 4>>> crossing;
    for (Instruction& i : instructions(*f_)) {
      if (i.getParent() == prologue_ || i.use_empty()) continue;
      SmallPtrSet<BasicBlock*, 4> barriers = barriers_live_into(i);
      if (!barriers.empty()) crossing.push_back({&i, std::move(barriers)});
    }

    std::vector<Instruction*> recompute;
    for (auto& [i, barriers] : crossing) {
      if (i->getType()->isTokenTy()) return "a token value lives across a barrier";
      unsigned budget = kMaxRematerialized;
      if (rematerializable(i, budget)) {
        recompute.push_back(i);
        continue;
      }
      bool divergent = da.isDivergent(*i) || any_of(i->uses(), [&](const Use& u) { return da.isDivergentUse(u); });
      kept_.push_back(KeptValue{i, !divergent, std::move(barriers)});
    }

    for (Instruction* i : recompute) {
      // One copy per place: a phi that has two entries for one block (a
      // switch's cases, a branch whose arms meet) must get the same value in both.
      DenseMap<Instruction*, Value*> copies;
      for (Use& u : make_early_inc_range(i->uses())) {
        auto* user = cast<Instruction>(u.getUser());
        Instruction* at = user;
        if (auto* phi = dyn_cast<PHINode>(user)) at = phi->getIncomingBlock(u)->getTerminator();
        if (at->getParent() == i->getParent()) continue;
        auto [it, fresh] = copies.try_emplace(at, nullptr);
        if (fresh) {
          DenseMap<Value*, Value*> done;
          it->second = recompute_at(i, at, done);
        }
        u.set(it->second);
      }
    }
    return {};
  }

  // Adds the places region `r` can end at from block `from`.
  void exits_reachable(const Region& r, BasicBlock* from, SmallPtrSetImpl<BasicBlock*>& out,
                       SmallPtrSetImpl<BasicBlock*>* passed = nullptr) const {
    SmallPtrSet<BasicBlock*, 16> seen;
    SmallVector<BasicBlock*, 16> work{from};
    while (!work.empty()) {
      BasicBlock* bb = work.pop_back_val();
      if (bb == end_ || barrier_index_.count(bb)) {
        out.insert(bb);
        continue;
      }
      if (!r.blocks.contains(bb) || !seen.insert(bb).second) continue;
      if (passed) passed->insert(bb);
      for (BasicBlock* s : successors(bb)) work.push_back(s);
    }
  }

  // The barrier blocks `v` is live into: where it must be kept.
  SmallPtrSet<BasicBlock*, 4> barriers_live_into(Instruction& v) const {
    BasicBlock* def = v.getParent();
    SmallPtrSet<BasicBlock*, 32> live_in;
    SmallPtrSet<BasicBlock*, 4> out;
    SmallVector<BasicBlock*, 32> work;
    for (Use& u : v.uses()) {
      auto* user = cast<Instruction>(u.getUser());
      BasicBlock* b = isa<PHINode>(user) ? cast<PHINode>(user)->getIncomingBlock(u) : user->getParent();
      if (b != def) work.push_back(b);
    }
    while (!work.empty()) {
      BasicBlock* b = work.pop_back_val();
      if (!live_in.insert(b).second) continue;
      if (barrier_index_.count(b)) out.insert(b);
      for (BasicBlock* p : predecessors(b))
        if (p != def) work.push_back(p);
    }
    return out;
  }

  // Whether `v` is a pure function of arguments, block-wide values and the
  // thread's indices, small enough to compute again.
  bool rematerializable(Value* v, unsigned& budget) const {
    if (isa<Argument>(v) || isa<Constant>(v)) return true;
    auto* i = dyn_cast<Instruction>(v);
    if (!i) return false;
    if (i->getParent() == prologue_) return !isa<AllocaInst>(i);
    if (budget == 0) return false;
    --budget;
    if (auto* call = dyn_cast<CallBase>(i)) {
      auto read = builtin_read(*call);
      return read && read->builtin == Builtin::ThreadIdx;
    }
    if (!(isa<BinaryOperator>(i) || isa<CastInst>(i) || isa<GetElementPtrInst>(i) || isa<CmpInst>(i) ||
          isa<SelectInst>(i) || isa<UnaryOperator>(i) || isa<ExtractValueInst>(i) || isa<FreezeInst>(i)))
      return false;
    for (Value* op : i->operands())
      if (!rematerializable(op, budget)) return false;
    return true;
  }

  Value* recompute_at(Value* v, Instruction* at, DenseMap<Value*, Value*>& done) {
    auto* i = dyn_cast<Instruction>(v);
    if (!i || i->getParent() == prologue_) return v;
    if (auto it = done.find(v); it != done.end()) return it->second;
    Instruction* copy = i->clone();
    copy->insertBefore(at);
    copy->setName(i->getName() + ".again");
    for (unsigned k = 0; k < copy->getNumOperands(); ++k) copy->setOperand(k, recompute_at(copy->getOperand(k), copy, done));
    done[v] = copy;
    return copy;
  }

  // Per-thread memory: each of the kernel's locals becomes a slot in the
  // block's scratch, one element per thread, addressed through a stand-in
  // call until the regions are cloned; so does each kept value that differs
  // between threads. A value the whole block shares gets one alloca.
  void privatize() {
    for (KeptValue& k : kept_) kept_index_[k.value] = &k;
    const DataLayout& dl = m_.getDataLayout();
    struct Wanted {
      uint64_t size;
      Align align;
      AllocaInst* local;   // a kernel local, or
      KeptValue* kept;     // a kept value
    };
    std::vector<Wanted> wanted;
    for (AllocaInst* a : kernel_locals_)
      wanted.push_back({a->getAllocationSize(dl).value_or(TypeSize::getFixed(1)).getFixedValue(), a->getAlign(), a, nullptr});
    IRBuilder<> pb(prologue_->getTerminator());
    for (KeptValue& k : kept_) {
      Type* type = k.value->getType();
      wanted.push_back({dl.getTypeAllocSize(type).getFixedValue(), dl.getABITypeAlign(type), nullptr, &k});
    }
    std::stable_sort(wanted.begin(), wanted.end(), [](const Wanted& a, const Wanted& b) { return a.align > b.align; });

    uint64_t offset = 0;
    for (Wanted& w : wanted) {
      unsigned id = slots_.size();
      slots_.push_back(Slot{alignTo(std::max<uint64_t>(w.size, 1), w.align), w.align, offset});
      offset += slots_.back().stride;
      if (w.kept) {
        w.kept->slot = id;
        continue;
      }
      AllocaInst* a = w.local;
      for (Use& u : make_early_inc_range(a->uses())) {
        auto* user = cast<Instruction>(u.getUser());
        if (auto* intrinsic = dyn_cast<IntrinsicInst>(user);
            intrinsic && (intrinsic->isLifetimeStartOrEnd() || intrinsic->getIntrinsicID() == Intrinsic::var_annotation)) {
          intrinsic->eraseFromParent();
          continue;
        }
        Instruction* at = user;
        if (auto* phi = dyn_cast<PHINode>(user)) at = phi->getIncomingBlock(u)->getTerminator();
        u.set(CallInst::Create(private_slot_fn(), {ConstantInt::get(Type::getInt32Ty(ctx_), id)}, a->getName(), at));
      }
      a->eraseFromParent();
    }
    scratch_per_thread_ = alignTo(offset, 16);
    Value* threads = pb.CreateZExt(threads_, pb.getInt64Ty());
    for (Slot& slot : slots_)
      slot_bases_.push_back(pb.CreateInBoundsGEP(pb.getInt8Ty(), scratch_, pb.CreateMul(threads, pb.getInt64(slot.offset)), "slot"));
  }

  Function* private_slot_fn() {
    return declare(kPrivateSlot, FunctionType::get(PointerType::getUnqual(ctx_), {Type::getInt32Ty(ctx_)}, false));
  }
  Function* contribute_fn() {
    return declare(kContribute, FunctionType::get(Type::getVoidTy(ctx_), {Type::getInt32Ty(ctx_), Type::getInt1Ty(ctx_)}, false));
  }
  Function* declare(const char* name, FunctionType* type) {
    FunctionCallee c = m_.getOrInsertFunction(name, type);
    auto* f = cast<Function>(c.getCallee());
    f->setDoesNotThrow();
    return f;
  }

  void build_loops() {
    originals_.clear();
    for (BasicBlock& bb : *f_)
      if (&bb != prologue_ && &bb != end_) originals_.push_back(&bb);
    for (Region& r : regions_) r.head = BasicBlock::Create(ctx_, "region", f_, end_);
    prologue_->getTerminator()->setSuccessor(0, regions_[0].head);
    for (unsigned k = 0; k < regions_.size(); ++k) build_region(k);
    if (regions_.size() == 1 && barriers_.empty() && !checked_ && shared_base_->use_empty() &&
        dynamic_base_->use_empty() && targets_of(regions_[0], end_).size() <= 1)
      build_rows(regions_[0]);
  }

  // The z and y thread loops' heads, entered from `from`: their counters and
  // the linear number of the row's first thread. Thread numbers are 64-bit
  // from the start: slot addresses then stay affine in x, which the
  // vectoriser needs for consecutive accesses.
  struct ThreadRows {
    PHINode* z;
    PHINode* y;
    Value* row;
  };
  ThreadRows open_thread_rows(IRBuilder<>& b, BasicBlock* from, BasicBlock* zh, BasicBlock* yh, const Twine& name) {
    Type* i32 = b.getInt32Ty();
    b.SetInsertPoint(zh);
    PHINode* z = b.CreatePHI(i32, 2, name + ".z");
    z->addIncoming(b.getInt32(0), from);
    b.CreateBr(yh);
    b.SetInsertPoint(yh);
    PHINode* y = b.CreatePHI(i32, 2, name + ".y");
    y->addIncoming(b.getInt32(0), zh);
    auto wide = [&](Value* v) { return b.CreateZExt(v, b.getInt64Ty()); };
    Value* row = b.CreateMul(b.CreateAdd(b.CreateMul(wide(z), wide(dim_[1]), "", true, true), wide(y), "", true, true),
                             wide(dim_[0]), "row", true, true);
    return {z, y, row};
  }

  // Marks the memory accesses of `blocks` as ones a thread loop's iterations
  // may make in any order, and returns their group. (Accesses to the
  // prologue's allocas -- counters, the exit mask, the locals of a kernel
  // without barriers -- are shared by the iterations and left out.)
  MDNode* parallel_accesses(ArrayRef<BasicBlock*> blocks) {
    MDNode* group = MDNode::getDistinct(ctx_, {});
    for (BasicBlock* bb : blocks)
      for (Instruction& i : *bb)
        if ((isa<LoadInst>(i) || isa<StoreInst>(i)) && !isa<AllocaInst>(getUnderlyingObject(getLoadStorePointerOperand(&i))))
          i.setMetadata(LLVMContext::MD_access_group, group);
    return group;
  }

  // Ends the loop over `counter` at `latch`: the next value goes back to
  // `header` while below `limit`, else on to `exit`. With `group`, the loop
  // is marked parallel over those accesses.
  void close_loop(IRBuilder<>& b, BasicBlock* latch, PHINode* counter, Value* limit, BasicBlock* header,
                  BasicBlock* exit, MDNode* group = nullptr) {
    b.SetInsertPoint(latch);
    Value* next = b.CreateAdd(counter, b.getInt32(1), "", true, true);
    BranchInst* back = b.CreateCondBr(b.CreateICmpULT(next, limit), header, exit);
    counter->addIncoming(next, latch);
    if (!group) return;
    MDNode* parallel = MDNode::get(ctx_, {MDString::get(ctx_, "llvm.loop.parallel_accesses"), group});
    MDNode* loop = MDNode::getDistinct(ctx_, {nullptr, parallel});
    loop->replaceOperandWith(0, loop);
    back->setMetadata(LLVMContext::MD_loop, loop);
  }

  // A kernel without barriers or shared memory also runs a row of blocks
  // along x in one call (place.blocks_x of them, when above 1), a row of
  // threads of every block before the next: a kernel over a 2-D array in
  // 2-D blocks then walks the array's rows from end to end, not a tile at
  // a time, which the caches and the prefetchers follow far better. Each
  // block's x is written back to the place as it starts, so that a fault
  // names its block.
  //
  //   for (z, y threads) for (bx = place.block.x; bx < place.block.x + blocks_x; ++bx) for (x threads) body
  void build_rows(Region& r) {
    IRBuilder<> b(prologue_->getTerminator());
    Type* i32 = b.getInt32Ty();
    Type* i64 = b.getInt64Ty();
    using gpu_runtime::BlockPlace;
    Value* count = b.CreateLoad(i32, b.CreateConstInBoundsGEP1_64(b.getInt8Ty(), place_, offsetof(BlockPlace, blocks_x)),
                                "blocks.x");
    Value* last_x = b.CreateAdd(block_x_, count, "blocks.x.end");
    BasicBlock* zh = BasicBlock::Create(ctx_, "rows.z", f_, end_);
    BasicBlock* yh = BasicBlock::Create(ctx_, "rows.y", f_, end_);
    BasicBlock* bh = BasicBlock::Create(ctx_, "rows.block", f_, end_);
    BasicBlock* xh = BasicBlock::Create(ctx_, "rows.x", f_, end_);
    BasicBlock* xl = BasicBlock::Create(ctx_, "rows.next.x", f_, end_);
    BasicBlock* bl = BasicBlock::Create(ctx_, "rows.next.block", f_, end_);
    BasicBlock* yl = BasicBlock::Create(ctx_, "rows.next.y", f_, end_);
    BasicBlock* zl = BasicBlock::Create(ctx_, "rows.next.z", f_, end_);
    // The head goes to the rows when the call has more than one block.
    Instruction* old = r.head->getTerminator();
    BasicBlock* one_block = old->getSuccessor(0);
    IRBuilder<> hb(old);
    hb.CreateCondBr(hb.CreateICmpUGT(count, hb.getInt32(1)), zh, one_block);
    old->eraseFromParent();

    auto [z, y, row] = open_thread_rows(b, r.head, zh, yh, "rows.tid");
    b.CreateBr(bh);
    b.SetInsertPoint(bh);
    PHINode* bx = b.CreatePHI(i32, 2, "rows.block.x");
    bx->addIncoming(block_x_, yh);
    // Volatile, so that it stays in each block's iteration, in order.
    b.CreateStore(bx, b.CreateConstInBoundsGEP1_64(b.getInt8Ty(), place_, offsetof(BlockPlace, block)), true);
    b.CreateBr(xh);
    b.SetInsertPoint(xh);
    PHINode* x = b.CreatePHI(i32, 2, "rows.tid.x");
    x->addIncoming(b.getInt32(0), bh);
    Value* linear = b.CreateAdd(row, b.CreateZExt(x, i64), "rows.tid.linear", true, true);

    std::unique_ptr<Copy> c = copy_region(r, ".rows", xl, xl);
    b.CreateBr(c->blocks.front());
    Value* tid[3] = {x, y, z};
    bind_copy(*c, r, tid, linear, xh, SmallPtrSet<Value*, 1>());
    for (BasicBlock* bb : c->blocks)
      for (Instruction& i : *bb) i.replaceUsesOfWith(block_x_, bx);

    // The x loop is parallel, as in a block.
    close_loop(b, xl, x, dim_[0], xh, bl, parallel_accesses(c->blocks));
    close_loop(b, bl, bx, last_x, bh, yl);
    close_loop(b, yl, y, dim_[1], yh, zl);
    close_loop(b, zl, z, dim_[2], zh, end_);
    rows_ = true;
  }

  // One copy of a region's blocks: for thread 0 alone, or for the thread loop.
  struct Copy {
    ValueToValueMapTy vmap;
    SmallVector<BasicBlock*, 16> blocks;
    SmallPtrSet<BasicBlock*, 16> set;
    DenseMap<BasicBlock*, BasicBlock*> exits;  // barrier block or end_ -> the copy's exit block
  };

  // Where a region can end, in a fixed order: its barriers, then the kernel's end.
  static std::vector<BasicBlock*> targets_of(const Region& r, BasicBlock* end) {
    std::vector<BasicBlock*> out(r.barriers.begin(), r.barriers.end());
    if (r.returns) out.push_back(end);
    return out;
  }

  // Copies the region's blocks before `before`; every way out of the region
  // goes to an exit block of the copy that continues at `next`.
  std::unique_ptr<Copy> copy_region(Region& r, const Twine& tag, BasicBlock* before, BasicBlock* next) {
    auto c = std::make_unique<Copy>();
    for (BasicBlock* bb : r.blocks) {
      BasicBlock* clone = CloneBasicBlock(bb, c->vmap, tag, f_);
      clone->moveBefore(before);
      c->vmap[bb] = clone;
      c->blocks.push_back(clone);
      c->set.insert(clone);
    }
    remapInstructionsInBlocks(c->blocks, c->vmap);
    for (BasicBlock* t : targets_of(r, end_)) {
      BasicBlock* e = BasicBlock::Create(ctx_, "exit" + tag, f_, before);
      BranchInst::Create(next, e);
      c->exits[t] = e;
    }
    for (BasicBlock* clone : c->blocks) {
      for (PHINode& phi : make_early_inc_range(clone->phis()))
        for (int k = int(phi.getNumIncomingValues()) - 1; k >= 0; --k)
          if (!c->set.contains(phi.getIncomingBlock(k))) phi.removeIncomingValue(unsigned(k), false);
      // Leaving the region, or coming back to the barrier it starts after.
      Instruction* term = clone->getTerminator();
      for (unsigned k = 0; k < term->getNumSuccessors(); ++k) {
        BasicBlock* s = term->getSuccessor(k);
        if (!c->set.contains(s)) term->setSuccessor(k, c->exits.lookup(s));
        else if (s == c->blocks.front() && r.entry != regions_[0].entry) term->setSuccessor(k, c->exits.lookup(r.entry));
      }
    }
    // The barrier the region starts after has passed: a counting barrier
    // gives every thread the block's count.
    if (auto it = barrier_index_.find(r.entry); it != barrier_index_.end()) {
      auto* call = cast<CallInst>(&*c->vmap[barriers_[it->second]]);
      if (AllocaInst* counted = counted_[it->second]) {
        IRBuilder<> cb(call);
        Value* count = cb.CreateLoad(cb.getInt32Ty(), counted, "count");
        Value* result = count;
        switch (*barrier_kind(*call)) {
          case BarrierKind::And: result = cb.CreateZExt(cb.CreateICmpEQ(count, threads_), cb.getInt32Ty()); break;
          case BarrierKind::Or: result = cb.CreateZExt(cb.CreateICmpNE(count, cb.getInt32(0)), cb.getInt32Ty()); break;
          default: break;
        }
        call->replaceAllUsesWith(cb.CreateIntCast(result, call->getType(), false));
      }
      call->eraseFromParent();
    }
    return c;
  }

  // Gives a copy its thread: indices, per-thread slots, kept values.
  // `start` is the block that runs before the copy's entry for each thread.
  // `written_once` lists the block-wide kept values the block function
  // writes after the loops instead.
  void bind_copy(Copy& c, Region& r, Value* const tid[3], Value* linear, BasicBlock* start,
                 const SmallPtrSetImpl<Value*>& written_once) {
    // Kept values: read where the region starts (once for the block, or
    // per thread), written where it ends at a barrier they live across,
    // and in between in SSA form again.
    for (KeptValue& k : kept_) {
      BasicBlock* def = k.value->getParent();
      const bool defined_here = r.blocks.contains(def);
      const bool live_in = r.entry != regions_[0].entry && k.barriers.contains(r.entry);
      if (!defined_here && !live_in) continue;
      Type* type = k.value->getType();
      SSAUpdater ssa;
      ssa.Initialize(type, k.value->getName());
      Value* here = defined_here ? static_cast<Value*>(c.vmap[k.value]) : k.value;
      if (live_in) {
        Value* in;
        if (k.uniform) {
          in = uniform_in(r, k);
        } else {
          IRBuilder<> xb(start->getTerminator());
          in = xb.CreateLoad(type, slot_address(xb, k.slot, linear), k.value->getName() + ".in");
        }
        ssa.AddAvailableValue(start, in);
      }
      if (defined_here) ssa.AddAvailableValue(cast<Instruction>(here)->getParent(), here);
      if (live_in) {
        BasicBlock* def_clone = defined_here ? cast<Instruction>(here)->getParent() : nullptr;
        for (Use& u : make_early_inc_range(here->uses())) {
          auto* user = cast<Instruction>(u.getUser());
          if (auto* phi = dyn_cast<PHINode>(user)) {
            if (c.set.contains(phi->getParent())) u.set(ssa.GetValueAtEndOfBlock(phi->getIncomingBlock(u)));
          } else if (c.set.contains(user->getParent()) && user->getParent() != def_clone) {
            u.set(ssa.GetValueInMiddleOfBlock(user->getParent()));
          }
        }
      }
      if (written_once.contains(k.value)) continue;
      for (BasicBlock* bb : r.barriers) {
        if (!k.barriers.contains(bb)) continue;
        BasicBlock* e = c.exits.lookup(bb);
        Value* out = ssa.GetValueInMiddleOfBlock(e);
        IRBuilder<> eb(e->getTerminator());
        eb.CreateStore(out, slot_address(eb, k.slot, linear));
      }
    }

    // Stand-ins become this copy's values.
    for (BasicBlock* bb : c.blocks) {
      for (Instruction& i : make_early_inc_range(*bb)) {
        auto* call = dyn_cast<CallInst>(&i);
        if (!call) continue;
        if (auto read = builtin_read(*call); read && read->builtin == Builtin::ThreadIdx) {
          call->replaceAllUsesWith(tid[read->dim]);
          call->eraseFromParent();
        } else if (Function* callee = call->getCalledFunction(); callee && callee->getName() == kPrivateSlot) {
          IRBuilder<> cb(call);
          Value* at = slot_address(cb, cast<ConstantInt>(call->getArgOperand(0))->getZExtValue(), linear);
          at->takeName(call);
          call->replaceAllUsesWith(at);
          call->eraseFromParent();
        } else if (callee && callee->getName() == kContribute) {
          AllocaInst* counter = counters_[cast<ConstantInt>(call->getArgOperand(0))->getZExtValue()];
          IRBuilder<> cb(call);
          cb.CreateStore(cb.CreateAdd(cb.CreateLoad(cb.getInt32Ty(), counter), cb.CreateZExt(call->getArgOperand(1), cb.getInt32Ty())),
                         counter);
          call->eraseFromParent();
        }
      }
    }
  }

  // A kept value the whole block shares, read once where region `r` starts
  // (from thread 0's slot: every thread wrote the same value).
  Value* uniform_in(Region& r, const KeptValue& k) {
    auto [it, fresh] = r.uniform_in.try_emplace(k.value, nullptr);
    if (fresh) {
      IRBuilder<> hb(r.head->getTerminator());
      it->second = hb.CreateLoad(k.value->getType(), slot_bases_[k.slot], k.value->getName() + ".in");
    }
    return it->second;
  }

  // What the region's head can know before any thread runs it: where all
  // threads will leave it, and the values the whole block shares there,
  // when control in it depends only on such values (a loop counter's test,
  // a condition on the block's index). The threads' loops then need not
  // record where each thread went, nor write those values.
  struct ExitPlan {
    Value* bit = nullptr;  // one bit for the place every thread leaves by; null when the head cannot tell
    DenseMap<BasicBlock*, DenseMap<Value*, Value*>> kept;  // per place: block-wide kept values
    SmallPtrSet<BasicBlock*, 4> ambiguous;                 // places reached by more than one path
  };

  struct Walk {
    Region& r;
    IRBuilder<>& head;
    const std::vector<BasicBlock*>& targets;
    ExitPlan& plan;
    unsigned steps = 0;
  };

  // `v` as the head can compute it, on the path `path` (whose phis `memo`
  // has resolved), or null.
  Value* in_head(Walk& w, Value* v, DenseMap<Value*, Value*>& memo, const SmallPtrSetImpl<BasicBlock*>& path) {
    if (auto it = memo.find(v); it != memo.end()) return it->second;
    if (isa<Argument>(v) || isa<Constant>(v)) return v;
    auto* i = dyn_cast<Instruction>(v);
    if (!i) return nullptr;
    if (i->getParent() == prologue_) return isa<AllocaInst>(i) ? nullptr : v;
    if (!path.contains(i->getParent())) {
      // Not computed on this path yet: the value it had when the region began.
      auto k = kept_index_.find(i);
      if (k == kept_index_.end() || !k->second->uniform || w.r.entry == regions_[0].entry ||
          !k->second->barriers.contains(w.r.entry))
        return nullptr;
      // (Not remembered: further on, the path may compute it anew.)
      return uniform_in(w.r, *k->second);
    }
    // The head computes every path's values, taken or not: nothing that may
    // trap (a division by what may be zero) comes along.
    if (!(isa<BinaryOperator>(i) || isa<CastInst>(i) || isa<CmpInst>(i) || isa<SelectInst>(i) ||
          isa<GetElementPtrInst>(i) || isa<UnaryOperator>(i) || isa<FreezeInst>(i)) ||
        !isSafeToSpeculativelyExecute(i) || ++w.steps > kMaxHeadWork)
      return nullptr;
    SmallVector<Value*, 4> ops;
    for (Value* op : i->operands()) {
      Value* h = in_head(w, op, memo, path);
      if (!h) return nullptr;
      ops.push_back(h);
    }
    Instruction* copy = i->clone();
    for (unsigned k = 0; k < ops.size(); ++k) copy->setOperand(k, ops[k]);
    w.head.Insert(copy, i->getName() + ".head");
    return memo[v] = copy;
  }

  // Follows the region from `bb` (entered from `from`) to where it ends;
  // returns the bit of that place as the head computes it, or null.
  Value* walk(Walk& w, BasicBlock* bb, BasicBlock* from, DenseMap<Value*, Value*> memo, SmallPtrSet<BasicBlock*, 16> path) {
    if (++w.steps > kMaxHeadWork) return nullptr;
    const bool starting = !from;
    if (!starting && (bb == end_ || barrier_index_.count(bb))) return arrive(w, bb, memo, path);
    if (!w.r.blocks.contains(bb) || path.contains(bb)) return nullptr;  // a loop inside the region
    // The phis take their values all at once: one may read another's value
    // from before the edge (a swap of two pointers).
    SmallVector<std::pair<PHINode*, Value*>, 8> entering;
    for (PHINode& phi : bb->phis()) entering.push_back({&phi, in_head(w, phi.getIncomingValueForBlock(from), memo, path)});
    for (auto [phi, h] : entering) memo[phi] = h;
    path.insert(bb);
    auto* br = dyn_cast<BranchInst>(bb->getTerminator());
    if (!br) return nullptr;
    if (br->isUnconditional()) return walk(w, br->getSuccessor(0), bb, std::move(memo), std::move(path));
    Value* cond = divergent_conditions_.contains(br->getCondition()) ? nullptr : in_head(w, br->getCondition(), memo, path);
    if (!cond) {
      // Threads may part here (or the head cannot tell), but all go on to
      // one place.
      SmallPtrSet<BasicBlock*, 4> reached;
      SmallPtrSet<BasicBlock*, 16> passed;
      for (BasicBlock* s : successors(bb)) exits_reachable(w.r, s, reached, &passed);
      if (reached.size() != 1) return nullptr;
      return arrive(w, *reached.begin(), memo, path, &passed);
    }
    Value* taken = walk(w, br->getSuccessor(0), bb, memo, path);
    Value* other = taken ? walk(w, br->getSuccessor(1), bb, memo, path) : nullptr;
    if (!other) return nullptr;
    return w.head.CreateSelect(cond, taken, other);
  }

  // The walk reached place `target`: its bit, and the block-wide kept values
  // live into it as the head computes them. Values computed in `unfollowed`
  // (the blocks between where the walk stopped following the threads and
  // the place they all reach) the head cannot know: the threads write them.
  Value* arrive(Walk& w, BasicBlock* target, DenseMap<Value*, Value*>& memo, const SmallPtrSetImpl<BasicBlock*>& path,
               const SmallPtrSetImpl<BasicBlock*>* unfollowed = nullptr) {
    const unsigned index = std::find(w.targets.begin(), w.targets.end(), target) - w.targets.begin();
    if (index == w.targets.size()) return nullptr;
    auto [values, first] = w.plan.kept.try_emplace(target);
    if (!first) w.plan.ambiguous.insert(target);
    for (const KeptValue& k : kept_) {
      if (!k.uniform || !k.barriers.contains(target) || values->second.count(k.value)) continue;
      if (unfollowed && unfollowed->contains(k.value->getParent())) continue;  // left to the threads to write
      if (Value* h = in_head(w, k.value, memo, path)) values->second[k.value] = h;
    }
    return w.head.getInt64(uint64_t(1) << index);
  }

  ExitPlan plan_exits(Region& r, IRBuilder<>& head, const std::vector<BasicBlock*>& targets) {
    ExitPlan plan;
    if (targets.size() < 2 && !any_of(kept_, [&](const KeptValue& k) {
          return k.uniform && any_of(r.barriers, [&](BasicBlock* bb) { return k.barriers.contains(bb); });
        }))
      return plan;
    if (!r.uniform_exit) return plan;
    Walk w{r, head, targets, plan};
    plan.bit = walk(w, r.entry, nullptr, DenseMap<Value*, Value*>(), SmallPtrSet<BasicBlock*, 16>());
    if (!plan.bit) plan.kept.clear();
    return plan;
  }

  void build_region(unsigned index) {
    Region& r = regions_[index];
    const std::string tag = ".r" + std::to_string(index);
    IRBuilder<> b(r.head);
    Type* i32 = b.getInt32Ty();
    Type* i64 = b.getInt64Ty();
    const std::vector<BasicBlock*> targets = targets_of(r, end_);

    // The count of the barrier the region starts after is set aside before
    // the counters of the barriers it ends at start again from zero: in a
    // loop the two are the same barrier.
    if (auto it = barrier_index_.find(r.entry); it != barrier_index_.end())
      if (AllocaInst* counted = counted_[it->second])
        b.CreateStore(b.CreateLoad(i32, counters_[it->second]), counted);
    for (BasicBlock* bb : r.barriers)
      if (AllocaInst* counter = counters_[barrier_index_.lookup(bb)]) b.CreateStore(b.getInt32(0), counter);
    // (A stand-in end for the head, to insert before until its loops exist.)
    Instruction* head_mark = b.CreateUnreachable();
    IRBuilder<> hb(head_mark);
    ExitPlan plan = plan_exits(r, hb, targets);
    // Block-wide values the head computed for every place they are live
    // into are written once, after the loops.
    SmallPtrSet<Value*, 8> written_once;
    if (plan.bit)
      for (const KeptValue& k : kept_) {
        if (!k.uniform) continue;
        bool known = false, unknown = false;
        for (BasicBlock* t : targets) {
          if (!k.barriers.contains(t)) continue;
          auto it = plan.kept.find(t);
          if (it != plan.kept.end() && it->second.count(k.value) && !plan.ambiguous.contains(t)) known = true;
          else if (it != plan.kept.end()) unknown = true;
        }
        if (known && !unknown) written_once.insert(k.value);
      }
    head_mark->eraseFromParent();
    b.SetInsertPoint(r.head);
    // Otherwise the threads say where they leave the region: one bit per
    // place, or-ed over the threads (a reduction the vectoriser knows).
    AllocaInst* mask = nullptr;
    if (targets.size() > 1 && !plan.bit) {
      IRBuilder<> p(prologue_->getTerminator());
      mask = p.CreateAlloca(i64, nullptr, "exits");
      b.CreateStore(b.getInt64(0), mask);
    }

    BasicBlock* zh = BasicBlock::Create(ctx_, "threads.z" + tag, f_, end_);
    BasicBlock* yh = BasicBlock::Create(ctx_, "threads.y" + tag, f_, end_);
    BasicBlock* xh = BasicBlock::Create(ctx_, "threads.x" + tag, f_, end_);
    BasicBlock* record = mask ? BasicBlock::Create(ctx_, "record" + tag, f_, end_) : nullptr;
    BasicBlock* xl = BasicBlock::Create(ctx_, "next.x" + tag, f_, end_);
    BasicBlock* yl = BasicBlock::Create(ctx_, "next.y" + tag, f_, end_);
    BasicBlock* zl = BasicBlock::Create(ctx_, "next.z" + tag, f_, end_);
    BasicBlock* after = BasicBlock::Create(ctx_, "after" + tag, f_, end_);
    b.CreateBr(zh);

    // Thread loops: z outermost, x innermost.
    auto [z, y, row] = open_thread_rows(b, r.head, zh, yh, "tid");
    b.CreateBr(xh);
    b.SetInsertPoint(xh);
    PHINode* x = b.CreatePHI(i32, 2, "tid.x");
    x->addIncoming(b.getInt32(0), yh);
    Value* linear = b.CreateAdd(row, b.CreateZExt(x, i64), "tid.linear", true, true);
    Value* tid[3] = {x, y, z};
    if (checked_) {
      // The runtime's checks name the thread, and tell barrier phases apart.
      Type* v = b.getVoidTy();
      b.CreateCall(m_.getOrInsertFunction(kCheckThread, FunctionType::get(v, {i32, i32, i32}, false)), {x, y, z});
      IRBuilder<> hb(r.head->getTerminator());
      hb.CreateCall(m_.getOrInsertFunction(kCheckRegion, FunctionType::get(v, false)));
    }

    std::unique_ptr<Copy> c = copy_region(r, tag, record ? record : xl, record ? record : xl);
    b.CreateBr(c->blocks.front());
    bind_copy(*c, r, tid, linear, xh, written_once);
    if (mask) {
      IRBuilder<> rb(record);
      PHINode* bit = rb.CreatePHI(i64, targets.size(), "exit");
      for (unsigned k = 0; k < targets.size(); ++k) bit->addIncoming(rb.getInt64(uint64_t(1) << k), c->exits.lookup(targets[k]));
      rb.CreateStore(rb.CreateOr(rb.CreateLoad(i64, mask), bit), mask);
      rb.CreateBr(xl);
    }

    // The x loop is parallel: threads between two barriers do not depend
    // on each other.
    SmallVector<BasicBlock*, 32> body(c->blocks.begin(), c->blocks.end());
    body.push_back(xh);
    for (auto& [target, e] : c->exits) body.push_back(e);
    close_loop(b, xl, x, dim_[0], xh, yl, parallel_accesses(body));
    close_loop(b, yl, y, dim_[1], yh, zl);
    close_loop(b, zl, z, dim_[2], zh, after);

    // After the loops: where the threads went decides what runs next; if
    // they did not all go to the same place, the block fails.
    b.SetInsertPoint(after);
    auto next_of = [&](BasicBlock* target) { return target == end_ ? end_ : regions_[region_of_.lookup(target)].head; };
    if (targets.empty()) {
      b.CreateRet(b.getInt32(0));
      return;
    }
    // Where the block goes next; the values it shares are written first.
    auto next_block = [&](BasicBlock* target) -> BasicBlock* {
      auto it = plan.kept.find(target);
      if (it == plan.kept.end() || it->second.empty()) return next_of(target);
      BasicBlock* to = BasicBlock::Create(ctx_, "to" + tag, f_, end_);
      IRBuilder<> tb(to);
      for (auto& [value, computed] : it->second)
        if (written_once.contains(value)) tb.CreateStore(computed, slot_bases_[kept_index_.lookup(cast<Instruction>(value))->slot]);
      tb.CreateBr(next_of(target));
      return to;
    };
    if (targets.size() == 1) {
      b.CreateBr(next_block(targets.front()));
      return;
    }
    Value* seen = mask ? static_cast<Value*>(b.CreateLoad(i64, mask, "exits")) : plan.bit;
    BasicBlock* diverged = BasicBlock::Create(ctx_, "diverged" + tag, f_, end_);
    SwitchInst* sw = b.CreateSwitch(seen, diverged, targets.size());
    for (unsigned k = 0; k < targets.size(); ++k) sw->addCase(b.getInt64(uint64_t(1) << k), next_block(targets[k]));

    if (!mask) {
      b.SetInsertPoint(diverged);
      b.CreateUnreachable();
      return;
    }
    b.SetInsertPoint(diverged);
    auto* table_type = ArrayType::get(i32, targets.size());
    std::vector<Constant*> lines;
    for (BasicBlock* t : targets) lines.push_back(b.getInt32(t == end_ ? 0 : barrier_line(*barriers_[barrier_index_.lookup(t)])));
    auto* table = new GlobalVariable(m_, table_type, true, GlobalValue::PrivateLinkage, ConstantArray::get(table_type, lines),
                                     f_->getName() + ".lines" + tag);
    Value* first = b.CreateIntrinsic(Intrinsic::cttz, {i64}, {seen, b.getTrue()});
    Value* rest = b.CreateAnd(seen, b.CreateSub(seen, b.getInt64(1)));
    Value* second = b.CreateIntrinsic(Intrinsic::cttz, {i64}, {rest, b.getTrue()});
    for (unsigned k = 0; k < 2; ++k) {
      Value* at = b.CreateInBoundsGEP(table_type, table, {b.getInt64(0), k == 0 ? first : second});
      size_t offset = offsetof(gpu_runtime::BlockPlace, divergent_lines) + 4 * k;
      b.CreateStore(b.CreateLoad(i32, at), b.CreateConstInBoundsGEP1_64(b.getInt8Ty(), place_, offset));
    }
    b.CreateRet(b.getInt32(1));
  }

  Value* slot_address(IRBuilder<>& b, unsigned slot, Value* linear) {
    return b.CreateInBoundsGEP(b.getInt8Ty(), slot_bases_[slot], b.CreateMul(linear, b.getInt64(slots_[slot].stride), "", true, true));
  }

  std::string remove_original_blocks() {
    SmallPtrSet<BasicBlock*, 32> old(originals_.begin(), originals_.end());
    for (BasicBlock* bb : originals_)
      for (Instruction& i : *bb)
        for (User* u : i.users())
          if (auto* ui = dyn_cast<Instruction>(u); ui && !old.contains(ui->getParent()))
            return "internal error: " + i.getName().str() + " in " + bb->getName().str() + " is used outside its region";
    for (BasicBlock* bb : originals_) bb->dropAllReferences();
    for (BasicBlock* bb : originals_) bb->eraseFromParent();
    return {};
  }

  Function& kernel_;
  Module& m_;
  LLVMContext& ctx_;
  const SetVector<Function*>& with_barriers_;
  const bool checked_;
  Function* f_ = nullptr;
  Argument* place_ = nullptr;
  BasicBlock* prologue_ = nullptr;
  BasicBlock* end_ = nullptr;
  Value* dim_[3] = {};
  Value* threads_ = nullptr;
  Value* scratch_ = nullptr;
  Value* block_x_ = nullptr;      // blockIdx.x as the place gives it
  Value* shared_base_ = nullptr;  // the block's shared memory
  Value* dynamic_base_ = nullptr;
  bool rows_ = false;             // whether the function also runs rows of blocks
  std::unique_ptr<SyncDependenceAnalysis> sda_;  // what the divergence analysis refers to
  std::vector<CallInst*> barriers_;
  std::vector<AllocaInst*> counters_;
  std::vector<AllocaInst*> counted_;  ///< per counting barrier: its count, read by the region after it
  DenseMap<BasicBlock*, unsigned> barrier_index_;
  std::vector<Region> regions_;
  DenseMap<BasicBlock*, unsigned> region_of_;
  std::vector<KeptValue> kept_;
  SmallPtrSet<Value*, 16> divergent_conditions_;  // branch conditions that differ between threads
  DenseMap<Instruction*, KeptValue*> kept_index_;
  std::vector<AllocaInst*> kernel_locals_;  // the kernel's own fixed-size locals
  std::vector<Slot> slots_;
  std::vector<Value*> slot_bases_;
  uint64_t scratch_per_thread_ = 0;
  std::vector<BasicBlock*> originals_;
};

}  // namespace

BlockForm build_block_form(Function& kernel, const SetVector<Function*>& with_barriers, bool checked) {
  return Builder(kernel, with_barriers, checked).run();
}

}  // namespace compiler::pass
