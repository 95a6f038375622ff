#include "thread_range.h"

#include <optional>

#include "llvm/Analysis/LoopInfo.h"
#include "llvm/IR/Dominators.h"
#include "llvm/IR/IRBuilder.h"
#include "llvm/IR/PatternMatch.h"
#include "llvm/Transforms/Utils/Cloning.h"
#include "llvm/Transforms/Utils/ValueMapper.h"

using namespace llvm;
using namespace llvm::PatternMatch;

namespace compiler::pass {
namespace {

// Whether `loop` is one of the thread loops the pass made: marked parallel.
bool is_thread_loop(const Loop& loop) {
  MDNode* id = loop.getLoopID();
  if (!id) return false;
  for (const MDOperand& op : id->operands())
    if (auto* node = dyn_cast<MDNode>(op.get()); node && node->getNumOperands() > 0)
      if (auto* name = dyn_cast<MDString>(node->getOperand(0)); name && name->getString() == "llvm.loop.parallel_accesses")
        return true;
  return false;
}

// The loop's shape: header with the counter, a latch that steps it by one
// and leaves when it reaches `end`.
struct Shape {
  PHINode* counter;
  Value* start;
  Instruction* step;       // counter + 1
  ICmpInst* leave_test;    // step == end (leave) or step < end (stay)
  Value* end;
  BasicBlock* preheader;
  BasicBlock* latch;
  BasicBlock* exit;
};

std::optional<Shape> shape_of(Loop& loop) {
  BasicBlock* header = loop.getHeader();
  BasicBlock* latch = loop.getLoopLatch();
  BasicBlock* preheader = loop.getLoopPreheader();
  BasicBlock* exit = loop.getExitBlock();
  if (!latch || !preheader || !exit || latch == header || loop.getExitingBlock() != latch) return std::nullopt;
  auto* br = dyn_cast<BranchInst>(latch->getTerminator());
  if (!br || !br->isConditional()) return std::nullopt;
  auto* test = dyn_cast<ICmpInst>(br->getCondition());
  if (!test || !test->hasOneUse()) return std::nullopt;
  for (PHINode& phi : header->phis()) {
    Value* next = phi.getIncomingValueForBlock(latch);
    if (!match(next, m_Add(m_Specific(&phi), m_One()))) continue;
    Value* end = nullptr;
    const bool leave_on_eq = test->getPredicate() == ICmpInst::ICMP_EQ && br->getSuccessor(0) == exit;
    const bool stay_on_ult = test->getPredicate() == ICmpInst::ICMP_ULT && br->getSuccessor(1) == exit;
    if (!(leave_on_eq || stay_on_ult) || test->getOperand(0) != next) continue;
    end = test->getOperand(1);
    if (!loop.isLoopInvariant(end)) continue;
    return Shape{&phi, phi.getIncomingValueForBlock(preheader), cast<Instruction>(next), test, end, preheader, latch, exit};
  }
  return std::nullopt;
}

// The range [first, last) of counters for which `test` (on the counter)
// holds, as values computed before the loop; null when it is not of a
// form this knows.
bool passing_range(ICmpInst* test, PHINode* counter, Loop& loop, IRBuilder<>& b, Value*& first, Value*& last) {
  ICmpInst::Predicate pred = test->getPredicate();
  Value* lhs = test->getOperand(0);
  Value* rhs = test->getOperand(1);
  if (rhs == counter) {
    std::swap(lhs, rhs);
    pred = ICmpInst::getSwappedPredicate(pred);
  }
  if (lhs != counter || !loop.isLoopInvariant(rhs)) return false;
  Type* t = counter->getType();
  Value* zero = ConstantInt::get(t, 0);
  // Signed tests: the counter is a thread number, never negative.
  auto nonneg = [&](Value* v) { return b.CreateSelect(b.CreateICmpSLT(v, zero), zero, v); };
  auto plus_one = [&](Value* v) {  // saturating
    Value* all = Constant::getAllOnesValue(t);
    return b.CreateSelect(b.CreateICmpEQ(v, all), all, b.CreateAdd(v, ConstantInt::get(t, 1)));
  };
  switch (pred) {
    case ICmpInst::ICMP_ULT: last = rhs; return true;
    case ICmpInst::ICMP_ULE: last = plus_one(rhs); return true;
    case ICmpInst::ICMP_SLT: last = nonneg(rhs); return true;
    case ICmpInst::ICMP_SLE: last = nonneg(plus_one(rhs)); return true;
    case ICmpInst::ICMP_UGE: first = rhs; return true;
    case ICmpInst::ICMP_UGT: first = plus_one(rhs); return true;
    case ICmpInst::ICMP_EQ: first = rhs; last = plus_one(rhs); return true;
    default: return false;
  }
}

// Whether a value computed in the loop is used after it. A thread loop
// whose threads a transformation reorders or skips must have none: the
// value would come from another thread.
bool used_after(const Loop& loop) {
  for (BasicBlock* bb : loop.blocks())
    for (Instruction& i : *bb)
      for (User* u : i.users())
        if (auto* ui = dyn_cast<Instruction>(u); ui && !loop.contains(ui)) return true;
  return false;
}

// Whether the latch does nothing but step the counter and test it, so that
// a thread sent straight to it does no work.
bool latch_only_steps(const Shape& s) {
  for (Instruction& i : *s.latch)
    if (&i != s.step && &i != s.leave_test && !i.isTerminator() && !i.isDebugOrPseudoInst()) return false;
  return true;
}

bool narrow(Loop& loop) {
  if (!loop.isInnermost() || !is_thread_loop(loop)) return false;
  std::optional<Shape> s = shape_of(loop);
  if (!s) return false;
  BasicBlock* header = loop.getHeader();
  auto* br = dyn_cast<BranchInst>(header->getTerminator());
  if (!br || !br->isConditional()) return false;
  auto* test = dyn_cast<ICmpInst>(br->getCondition());
  if (!test) return false;
  // Which side does the work: the other must go straight to the latch,
  // which does nothing but step the counter.
  unsigned work_side;
  if (br->getSuccessor(1) == s->latch) work_side = 0;
  else if (br->getSuccessor(0) == s->latch) work_side = 1;
  else return false;
  if (!latch_only_steps(*s)) return false;
  for (Instruction& i : *header)
    if (i.mayHaveSideEffects() || (isa<PHINode>(i) && &i != s->counter)) return false;
  if (used_after(loop)) return false;

  IRBuilder<> b(s->preheader->getTerminator());
  Value* first = nullptr;
  Value* last = nullptr;
  if (!passing_range(test, s->counter, loop, b, first, last)) return false;
  if (work_side == 1) return false;  // the work is where the test fails: a range with a hole; leave it
  Value* start = s->start;
  Value* end = s->end;
  if (first) start = b.CreateBinaryIntrinsic(Intrinsic::umax, start, first, nullptr, "first.thread");
  if (last) end = b.CreateBinaryIntrinsic(Intrinsic::umin, end, last, nullptr, "last.thread");
  // Skip the loop when no thread passes.
  BasicBlock* pre = s->preheader;
  Instruction* old_term = pre->getTerminator();
  BranchInst::Create(header, s->exit, b.CreateICmpULT(start, end), pre);
  old_term->eraseFromParent();
  // Phis at the exit take no loop values (checked above): the skipping
  // edge brings them what the latch did.
  for (PHINode& phi : s->exit->phis()) phi.addIncoming(phi.getIncomingValueForBlock(s->latch), pre);
  s->counter->setIncomingValue(s->counter->getBasicBlockIndex(pre), start);
  s->leave_test->setOperand(1, end);
  br->setCondition(ConstantInt::getTrue(br->getContext()));
  return true;
}


// A thread loop whose body tests the thread's number against a bound the
// loop does not change, with work on both sides (`t >= offset ? a[t] +
// a[t - offset] : a[t]` in a scan), runs as two loops: one over the threads
// below the bound, one over the rest, each knowing the test's outcome. Each
// half is then a straight line the vectoriser can take whole; together, an
// index like t - offset is one the vectoriser can prove never wraps.
//
//   for (t = start; t < mid; ++t) body(test known);   mid = bound clamped to [start, end]
//   for (t = mid; t < end; ++t) body(the other outcome);
bool split(Loop& loop) {
  if (!loop.isInnermost() || !is_thread_loop(loop)) return false;
  std::optional<Shape> s = shape_of(loop);
  if (!s) return false;
  BasicBlock* header = loop.getHeader();
  for (PHINode& phi : header->phis())
    if (&phi != s->counter) return false;
  if (used_after(loop)) return false;
  BranchInst* branch = nullptr;
  ICmpInst* test = nullptr;
  for (BasicBlock* bb : loop.blocks()) {
    auto* br = dyn_cast<BranchInst>(bb->getTerminator());
    if (bb == s->latch || !br || !br->isConditional()) continue;
    auto* c = dyn_cast<ICmpInst>(br->getCondition());
    if (!c || c->isEquality()) continue;
    if (c->getOperand(0) != s->counter && c->getOperand(1) != s->counter) continue;
    if (!loop.isLoopInvariant(c->getOperand(c->getOperand(0) == s->counter ? 1 : 0))) continue;
    const ICmpInst::Predicate pred = c->getOperand(0) == s->counter ? c->getPredicate() : c->getSwappedPredicate();
    if (pred == ICmpInst::ICMP_SGE || pred == ICmpInst::ICMP_SGT) continue;  // no range form for these
    branch = br;
    test = c;
    break;
  }
  if (!branch) return false;

  LLVMContext& ctx = header->getContext();
  Function& f = *header->getParent();
  IRBuilder<> b(s->preheader->getTerminator());
  Value* first = nullptr;
  Value* last = nullptr;
  if (!passing_range(test, s->counter, loop, b, first, last) || (first && last)) return false;
  // Below the bound the test fails when it gives the first passing thread,
  // passes when it gives the first failing one.
  const bool below_passes = last != nullptr;
  Value* bound = first ? first : last;
  Value* mid = b.CreateBinaryIntrinsic(Intrinsic::umin, b.CreateBinaryIntrinsic(Intrinsic::umax, bound, s->start), s->end,
                                       nullptr, "threads.split");

  ValueToValueMapTy vmap;
  SmallVector<BasicBlock*, 16> below;
  for (BasicBlock* bb : loop.blocks()) {
    BasicBlock* copy = CloneBasicBlock(bb, vmap, ".below", &f);
    copy->moveBefore(header);
    vmap[bb] = copy;
    below.push_back(copy);
  }
  remapInstructionsInBlocks(below, vmap);
  BasicBlock* above = BasicBlock::Create(ctx, "threads.above", &f, header);

  // The preheader enters the lower loop, or the upper when it is empty.
  Instruction* old_term = s->preheader->getTerminator();
  BranchInst::Create(cast<BasicBlock>(vmap[header]), above, b.CreateICmpULT(s->start, mid), s->preheader);
  old_term->eraseFromParent();
  // The lower loop stops at mid and goes on to the upper, under a loop ID
  // of its own.
  auto* low_latch = cast<BranchInst>(cast<BasicBlock>(vmap[s->latch])->getTerminator());
  for (unsigned k = 0; k < low_latch->getNumSuccessors(); ++k)
    if (low_latch->getSuccessor(k) == s->exit) low_latch->setSuccessor(k, above);
  cast<ICmpInst>(vmap[s->leave_test])->setOperand(1, mid);
  if (MDNode* old_id = low_latch->getMetadata(LLVMContext::MD_loop)) {
    SmallVector<Metadata*, 4> ops{nullptr};
    for (unsigned k = 1; k < old_id->getNumOperands(); ++k) ops.push_back(old_id->getOperand(k));
    MDNode* id = MDNode::getDistinct(ctx, ops);
    id->replaceOperandWith(0, id);
    low_latch->setMetadata(LLVMContext::MD_loop, id);
  }
  cast<BranchInst>(vmap[branch])->setCondition(ConstantInt::getBool(ctx, below_passes));
  // The upper loop starts at mid, or is skipped.
  BranchInst::Create(header, s->exit, IRBuilder<>(above).CreateICmpULT(mid, s->end), above);
  s->counter->setIncomingBlock(unsigned(s->counter->getBasicBlockIndex(s->preheader)), above);
  s->counter->setIncomingValue(unsigned(s->counter->getBasicBlockIndex(above)), mid);
  branch->setCondition(ConstantInt::getBool(ctx, !below_passes));
  // Phis at the exit take no loop values (checked above).
  for (PHINode& phi : s->exit->phis()) phi.addIncoming(phi.getIncomingValueForBlock(s->latch), above);
  return true;
}

// A thread loop whose threads mostly do nothing, behind a test of loads
// (`if (i < n && mask[i])` around a loop over a node's edges): a first pass
// over 64 threads at a time evaluates the test alone, which vectorises,
// and gathers the passing threads in a bit mask; the threads it found then
// run the loop's body (test included) one after another.
//
//   for (base = start; base < end; base += 64) {
//     bits = 0; for (i = 0; i < min(64, end - base); ++i) bits |= test(base + i) << i;
//     for (; bits; bits &= bits - 1) body(base + ctz(bits));
//   }
bool filter(Loop& loop) {
  if (loop.isInnermost() || !is_thread_loop(loop)) return false;
  std::optional<Shape> s = shape_of(loop);
  if (!s || !latch_only_steps(*s)) return false;
  BasicBlock* header = loop.getHeader();
  // The test: blocks from the header on, each going on or to the latch,
  // until the first block that is not such a test (the work).
  std::vector<BasicBlock*> tests;
  BasicBlock* work = nullptr;
  bool loads = false;
  for (BasicBlock* bb = header; bb;) {
    if (bb != header && (bb->getSinglePredecessor() == nullptr || !bb->phis().empty())) break;
    auto* br = dyn_cast<BranchInst>(bb->getTerminator());
    if (!br || !br->isConditional()) break;
    BasicBlock* next = br->getSuccessor(0) == s->latch ? br->getSuccessor(1)
                       : br->getSuccessor(1) == s->latch ? br->getSuccessor(0) : nullptr;
    if (!next || next == s->latch) break;
    bool plain = true;
    for (Instruction& i : *bb) {
      // Debug records describe the code and never stop a test from being one.
      if (&i == s->counter || i.isTerminator() || i.isDebugOrPseudoInst()) continue;
      if (isa<PHINode>(i) || i.mayHaveSideEffects() || isa<CallBase>(i)) plain = false;
      loads |= isa<LoadInst>(i);
    }
    if (!plain) break;
    tests.push_back(bb);
    work = next;
    bb = next;
  }
  if (tests.empty() || !loads) return false;
  if (used_after(loop)) return false;

  LLVMContext& ctx = header->getContext();
  Function& f = *header->getParent();
  Type* t = s->counter->getType();
  Type* i64 = Type::getInt64Ty(ctx);
  BasicBlock* chunk = BasicBlock::Create(ctx, "threads.chunk", &f, header);
  BasicBlock* scan = BasicBlock::Create(ctx, "threads.scan", &f, header);
  BasicBlock* scanned = BasicBlock::Create(ctx, "threads.scanned", &f, header);
  BasicBlock* drain = BasicBlock::Create(ctx, "threads.passing", &f, header);
  BasicBlock* pick = BasicBlock::Create(ctx, "threads.pick", &f, header);
  BasicBlock* next_chunk = BasicBlock::Create(ctx, "threads.next_chunk", &f, header);

  IRBuilder<> b(chunk);
  PHINode* base = b.CreatePHI(t, 2, "chunk.base");
  base->addIncoming(s->start, s->preheader);
  s->preheader->getTerminator()->setSuccessor(0, chunk);
  Value* count = b.CreateBinaryIntrinsic(Intrinsic::umin, b.CreateSub(s->end, base), ConstantInt::get(t, 64), nullptr, "chunk.size");
  b.CreateBr(scan);

  // The scan: the tests, copied, for thread base + i.
  b.SetInsertPoint(scan);
  PHINode* i = b.CreatePHI(t, 2, "scan.i");
  PHINode* bits = b.CreatePHI(i64, 2, "scan.bits");
  i->addIncoming(ConstantInt::get(t, 0), chunk);
  bits->addIncoming(b.getInt64(0), chunk);
  Value* thread = b.CreateAdd(base, i, "scan.thread", true, true);
  ValueToValueMapTy vmap;
  vmap[s->counter] = thread;
  SmallVector<BasicBlock*, 8> copies;
  for (BasicBlock* bb : tests) {
    BasicBlock* copy = CloneBasicBlock(bb, vmap, ".scan", &f);
    copy->moveBefore(scanned);
    vmap[bb] = copy;
    copies.push_back(copy);
  }
  // The copy of the counter's phi gives way to the scanned thread.
  auto* counter_copy = cast<Instruction>(static_cast<Value*>(vmap[s->counter]));
  vmap[s->counter] = thread;
  counter_copy->eraseFromParent();
  remapInstructionsInBlocks(copies, vmap);
  b.CreateBr(copies.front());
  b.SetInsertPoint(scanned);
  PHINode* passed = b.CreatePHI(b.getInt1Ty(), copies.size(), "scan.passed");
  for (BasicBlock* copy : copies) {
    auto* br = cast<BranchInst>(copy->getTerminator());
    const unsigned to_latch = br->getSuccessor(0) == s->latch ? 0 : 1;
    if (copy != copies.back()) {
      br->setSuccessor(to_latch, scanned);
      passed->addIncoming(b.getFalse(), copy);
    } else {
      Value* cond = br->getCondition();
      Value* pass = to_latch == 1 ? cond : BinaryOperator::CreateNot(cond, "pass", br);
      BranchInst::Create(scanned, copy);
      br->eraseFromParent();
      passed->addIncoming(pass, copy);
    }
  }
  Value* more = b.CreateOr(bits, b.CreateShl(b.CreateZExt(passed, i64), b.CreateZExtOrTrunc(i, i64)), "scan.bits.next");
  Value* ni = b.CreateAdd(i, ConstantInt::get(t, 1), "", true, true);
  i->addIncoming(ni, scanned);
  bits->addIncoming(more, scanned);
  BranchInst* back = b.CreateCondBr(b.CreateICmpULT(ni, count), scan, drain);
  MDNode* enable = MDNode::get(ctx, {MDString::get(ctx, "llvm.loop.vectorize.enable"), ConstantAsMetadata::get(b.getTrue())});
  MDNode* id = MDNode::getDistinct(ctx, {nullptr, enable});
  id->replaceOperandWith(0, id);
  back->setMetadata(LLVMContext::MD_loop, id);

  // The passing threads, one after another, through the loop's own body.
  b.SetInsertPoint(drain);
  PHINode* pending = b.CreatePHI(i64, 2, "pending");
  pending->addIncoming(more, scanned);
  b.CreateCondBr(b.CreateICmpEQ(pending, b.getInt64(0)), next_chunk, pick);
  b.SetInsertPoint(pick);
  Value* k = b.CreateBinaryIntrinsic(Intrinsic::cttz, pending, b.getTrue());
  Value* rest = b.CreateAnd(pending, b.CreateSub(pending, b.getInt64(1)), "pending.rest");
  Value* x = b.CreateAdd(base, b.CreateZExtOrTrunc(k, t), "thread", true, true);
  b.CreateBr(header);
  s->counter->replaceAllUsesWith(x);
  s->counter->eraseFromParent();
  // The latch goes back for the next passing thread.
  Instruction* old_latch = s->latch->getTerminator();
  BranchInst::Create(drain, s->latch);
  old_latch->eraseFromParent();
  if (s->leave_test->use_empty()) s->leave_test->eraseFromParent();
  if (s->step->use_empty()) s->step->eraseFromParent();
  pending->addIncoming(rest, s->latch);

  b.SetInsertPoint(next_chunk);
  Value* nb = b.CreateAdd(base, ConstantInt::get(t, 64), "", true, true);
  base->addIncoming(nb, next_chunk);
  b.CreateCondBr(b.CreateICmpULT(nb, s->end), chunk, s->exit);
  for (PHINode& phi : s->exit->phis()) {
    int at = phi.getBasicBlockIndex(s->latch);
    if (at >= 0) phi.setIncomingBlock(unsigned(at), next_chunk);
  }
  (void)work;
  return true;
}
}  // namespace

PreservedAnalyses NarrowThreadLoops::run(Function& f, FunctionAnalysisManager& fam) {
  if (!f.hasFnAttribute("gpu-block-form")) return PreservedAnalyses::all();
  LoopInfo& li = fam.getResult<LoopAnalysis>(f);
  bool changed = false;
  for (Loop* loop : li.getLoopsInPreorder()) changed |= narrow(*loop);
  if (changed) return PreservedAnalyses::none();
  for (Loop* loop : li.getLoopsInPreorder()) changed |= split(*loop);
  if (changed) return PreservedAnalyses::none();
  for (Loop* loop : li.getLoopsInPreorder()) changed |= filter(*loop);
  return changed ? PreservedAnalyses::none() : PreservedAnalyses::all();
}

}  // namespace compiler::pass
