#include "thread_range.h"

#include <optional>

#include "llvm/Analysis/LoopInfo.h"
#include "llvm/IR/Dominators.h"
#include "llvm/IR/IRBuilder.h"
#include "llvm/IR/PatternMatch.h"

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
  for (Instruction& i : *s->latch)
    if (&i != s->step && &i != s->leave_test && !i.isTerminator() && !isa<PHINode>(i)) return false;
  if (!s->latch->phis().empty()) return false;
  for (Instruction& i : *header)
    if (i.mayHaveSideEffects() || (isa<PHINode>(i) && &i != s->counter)) return false;
  // Nothing computed in the loop may be used after it: its value would
  // come from another thread.
  for (BasicBlock* bb : loop.blocks())
    for (Instruction& i : *bb)
      for (User* u : i.users())
        if (auto* ui = dyn_cast<Instruction>(u); ui && !loop.contains(ui)) return false;

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

}  // namespace

PreservedAnalyses NarrowThreadLoops::run(Function& f, FunctionAnalysisManager& fam) {
  if (!f.hasFnAttribute("gpu-block-form")) return PreservedAnalyses::all();
  LoopInfo& li = fam.getResult<LoopAnalysis>(f);
  bool changed = false;
  for (Loop* loop : li.getLoopsInPreorder()) changed |= narrow(*loop);
  return changed ? PreservedAnalyses::none() : PreservedAnalyses::all();
}

}  // namespace compiler::pass
