// The forms split_barriers generates for one kernel: the region form of a
// kernel split at its barriers, the registration of a row form.
#include <algorithm>

#include "file_splitter.h"

namespace split_barriers::detail {

std::string FileSplitter::row_form(const KernelSite& k) const {
  return "namespace {\n[[maybe_unused]] const bool " + k.name +
         "_rows_registered_ = ::gpu_runtime::register_row_form<&" + k.name + ">(reinterpret_cast<const void*>(&" +
         k.name + "));\n}\n";
}

std::string FileSplitter::split(const KernelSite& k, const std::set<std::string>& numeric_macros,
                               const std::function<void(const std::set<std::string>&)>& check_macros) {
  // Barriers: each must be a whole statement at the top of the body.
  std::vector<std::size_t> barriers;
  int depth = 0;
  for (std::size_t i = k.body_open + 1; i < k.body_close; ++i) {
    const Token& t = tok(i);
    if (t.is("(") || t.is("[") || t.is("{")) depth++;
    if (t.is(")") || t.is("]") || t.is("}")) depth--;
    if (!t.is(kBarrier)) continue;
    const bool statement_start = i == k.body_open + 1 || tok(i - 1).is(";") || tok(i - 1).is("}");
    if (depth != 0 || !statement_start) throw Refusal("a barrier inside a nested statement");
    if (!(tok(i + 1).is("(") && tok(i + 2).is(")") && tok(i + 3).is(";")))
      throw Refusal("a barrier that is not a statement of its own");
    barriers.push_back(i);
  }
  if (barriers.empty()) return {};
  const std::vector<Param> parameters = params(k);
  const std::set<std::string> copied = check_body(k, barriers, parameters);

  // The regions between barriers and their statements.
  std::vector<Region> regions;
  std::size_t from = k.body_open + 1;
  for (std::size_t b : barriers) {
    regions.push_back({from, b, {}, {}});
    from = b + 4;
  }
  regions.push_back({from, k.body_close, {}, {}});
  for (Region& r : regions) {
    r.statements = statements(r.first, r.end);
    r.used = names_used(r.first, r.end);
  }

  // Which locals a later region uses: those live on per thread.
  struct Promoted {
    std::string name, type;
    std::size_t region;  ///< where it is declared
    bool parameter = false;
    bool is_const = false;  ///< bound as const, as declared (overloads may tell)
  };
  std::vector<Promoted> promoted;
  std::set<std::string> promoted_names;
  std::set<std::string_view> local_names;
  // Each thread has its own copy of a parameter that may change, as on the
  // device: the copies start as the launch's argument, held under another name.
  for (const Param& p : parameters) {
    if (!copied.count(p.name)) continue;
    if (p.text.find('[') != std::string::npos) throw Refusal("parameter '" + p.name + "' may change and is an array");
    promoted.push_back({p.name, p.storage, 0, true, p.is_const});
  }
  // Locals that later regions compute again rather than keep: set once from
  // indices and unchanging parameters (row and column, element indices), so
  // the compiler sees them as functions of the loop's counters. Parameters
  // and locals that may change are not `known`.
  struct Recomputed {
    std::string name, type;
    const Declarator* declarator;
    std::size_t region;
    std::set<std::string> needs;  ///< other recomputed locals its initialiser reads
  };
  std::vector<Recomputed> recomputed;
  // A pointer kept across a barrier, in a local or a parameter's copy, may
  // hold the address of another local (through a call, a member array):
  // then every top-level local is kept for the whole block and none is
  // computed again, so no such address outlives what it points to.
  bool keep_all = false;
  for (const Param& p : parameters)
    if (copied.count(p.name) && (p.pointer || !p.scalar)) keep_all = true;
  const std::vector<Promoted> copied_parameters = promoted;
  for (int pass = 0; pass < 2; ++pass) {
    promoted = copied_parameters;
    promoted_names.clear();
    local_names.clear();
    recomputed.clear();
    std::set<std::string> known;
    for (const Param& p : parameters)
      if (!p.name.empty() && !copied.count(p.name)) known.insert(p.name);
    bool kept_pointer = false;
    for (std::size_t r = 0; r < regions.size(); ++r) {
      for (const Statement& s : regions[r].statements) {
        if (s.kind != Statement::Kind::Declaration) continue;
        for (const Declarator& d : s.declarators) {
          // A local array's elements could be reached through a pointer kept
          // for a later region, after the iteration that held the array ended.
          if (d.array) throw Refusal("a local array");
          local_names.insert(d.name);
          if (!keep_all && d.plain && !d.class_type && !may_change(k, d.name, d.name_token) &&
              pure_initialiser(d, known, numeric_macros)) {
            Recomputed c{d.name, d.storage_type, &d, r, {}};
            for (std::size_t i = d.init_first; i <= d.init_last; ++i)
              for (const Recomputed& o : recomputed)
                if (tok(i).is_identifier() && tok(i).text == o.name) c.needs.insert(o.name);
            recomputed.push_back(std::move(c));
            known.insert(d.name);
            continue;
          }
          // A local handed to a call (or bound in ways the scan cannot
          // follow) may leave its address in memory: kept for the block.
          bool later = keep_all || may_escape(k, d.name, d.name_token);
          for (std::size_t q = r + 1; q < regions.size(); ++q) later = later || regions[q].used.count(d.name);
          if (!later) continue;
          if (!d.plain) throw Refusal("local '" + d.name + "', used after a barrier, is not a plain scalar");
          // An array of a class type would need its default constructor.
          if (d.class_type) throw Refusal("local '" + d.name + "', used after a barrier, is of a class type");
          kept_pointer = kept_pointer || d.pointer;
          promoted.push_back({d.name, d.storage_type, r, false, d.is_const});
          promoted_names.insert(d.name);
        }
      }
    }
    if (keep_all || !kept_pointer) break;
    keep_all = true;
  }

  std::set<std::string> variables(local_names.begin(), local_names.end());
  for (const Param& p : parameters)
    if (!p.name.empty()) variables.insert(p.name);
  check_macros(variables);

  // A shared array or constant moved ahead of the first region must not
  // hide a name that the body reads before its declaration.
  for (const Region& region : regions) {
    for (const Statement& s : region.statements) {
      if (s.kind != Statement::Kind::Shared) continue;
      for (std::size_t i = s.first; i < s.last; ++i) {
        if (!tok(i).is_identifier() || !(tok(i + 1).is("[") || tok(i + 1).is(";") || tok(i + 1).is("=") ||
                                         tok(i + 1).is(",") || tok(i + 1).is("{")))
          continue;
        if (names_used(k.body_open + 1, s.first).count(tok(i).text))
          throw Refusal("'" + std::string(tok(i).text) + "', declared after its first use, hides another name");
      }
    }
  }

  const std::string fn = k.name + "_in_regions";
  std::string out;
  out += line_directive(k.body_open);
  std::string signature;
  for (const Param& p : parameters) {
    if (!signature.empty()) signature += ", ";
    signature += copied.count(p.name) ? p.type + " " + p.name + "_argument_" : p.text;
  }
  out += "[[gnu::flatten]] static bool " + fn + "(" + signature + ") {\n";
  out += "  const int gpu_split_bx_ = int(blockDim.x), gpu_split_by_ = int(blockDim.y), gpu_split_bz_ = int(blockDim.z);\n";
  for (const Region& r : regions) {
    for (const Statement& s : r.statements) {
      if (s.kind != Statement::Kind::Shared) continue;
      for (std::size_t i = s.first; i <= s.last; ++i)
        if (tok(i).is_identifier() && local_names.count(tok(i).text))
          throw Refusal("a shared array that depends on a local");
      out += line_directive(s.first) + "  " + std::string(text_of(s.first, s.last)) + "\n";
    }
  }
  for (const Promoted& p : promoted) {
    out += "  " + p.type + " " + p.name + "_per_thread_[::gpu_runtime::kMaxThreadsPerBlock];\n";
    out += "  static_assert(sizeof(" + p.name + "_per_thread_) <= 1024 * 1024, \"split_barriers: '" + p.name +
           "' is too large to keep for every thread on a worker's stack\");\n";
  }

  for (std::size_t r = 0; r < regions.size(); ++r) {
    const Region& region = regions[r];
    const bool last = r + 1 == regions.size();
    // Signed counters (a block has at most 1024 threads): the compiler may
    // then take a kernel's int copies of its indices as plain induction
    // variables, which lets it vectorise the region's loop.
    out += "  for (int gpu_split_tz_ = 0, gpu_split_t_ = 0; gpu_split_tz_ < gpu_split_bz_; ++gpu_split_tz_)\n"
           "  for (int gpu_split_ty_ = 0; gpu_split_ty_ < gpu_split_by_; ++gpu_split_ty_)\n"
           "  for (int gpu_split_tx_ = 0; gpu_split_tx_ < gpu_split_bx_; ++gpu_split_tx_, ++gpu_split_t_) {\n"
           "    threadIdx = uint3{unsigned(gpu_split_tx_), unsigned(gpu_split_ty_), unsigned(gpu_split_tz_)};\n";
    for (const Promoted& p : promoted) {
      const std::string slot = p.name + "_per_thread_[gpu_split_t_]";
      const std::string bound = "    [[maybe_unused]] " + std::string(p.is_const ? "const " : "") + p.type + "& " + p.name;
      if (p.parameter && r == 0) out += bound + " = (" + slot + " = " + p.name + "_argument_);\n";
      else if (p.region < r && region.used.count(p.name)) out += bound + " = " + slot + ";\n";
    }
    // Recomputed locals of earlier regions this one reads, with the ones
    // they are computed from, in the order of their declarations.
    std::set<std::string> wanted;
    for (const Recomputed& c : recomputed)
      if (c.region < r && region.used.count(c.name)) wanted.insert(c.name);
    for (auto c = recomputed.rbegin(); c != recomputed.rend(); ++c)
      if (wanted.count(c->name)) wanted.insert(c->needs.begin(), c->needs.end());
    for (const Recomputed& c : recomputed) {
      if (!wanted.count(c.name)) continue;
      out += line_directive(c.declarator->name_token) + "    [[maybe_unused]] " + c.type +
             (c.declarator->is_const ? " const " : " ") + c.name + " = " + c.declarator->init + ";\n";
    }
    out += "    {\n";
    bool has_return = false;
    for (const Statement& s : region.statements) {
      if (s.kind == Statement::Kind::Shared) continue;
      out += line_directive(s.first);
      const bool rewrite = s.kind == Statement::Kind::Declaration &&
                           std::any_of(s.declarators.begin(), s.declarators.end(),
                                       [&](const Declarator& d) { return promoted_names.count(d.name); });
      if (rewrite) {
        for (const Declarator& d : s.declarators) {
          if (promoted_names.count(d.name)) {
            const std::string slot = d.name + "_per_thread_[gpu_split_t_]";
            out += "[[maybe_unused]] " + std::string(d.is_const ? "const " : "") + d.storage_type + "& " + d.name;
            out += d.init.empty() ? " = " + slot + "; " : " = (" + slot + " = " + d.init + "); ";
          } else {
            out += s.prefix + " " + d.text + "; ";
          }
        }
        out += "\n";
        continue;
      }
      // Verbatim, with a return ending this thread's share of the last region.
      std::size_t copied = tok(s.first).begin;
      for (std::size_t i = s.first; i <= s.last; ++i) {
        if (!tok(i).is("return")) continue;
        has_return = true;
        out += file_.text.substr(copied, tok(i).begin - copied) + "goto gpu_split_thread_done_";
        copied = tok(i).end;
      }
      out += file_.text.substr(copied, tok(s.last).end - copied) + "\n";
    }
    out += "    }\n";
    if (last && has_return) out += "    gpu_split_thread_done_:;\n";
    out += "  }\n";
  }
  out += "  return true;\n}\n";
  out += "namespace {\n[[maybe_unused]] const bool " + fn +
         "_registered_ = ::gpu_runtime::register_region_form<&" + fn + ">(reinterpret_cast<const void*>(&" +
         k.name + "));\n}\n";
  return out;
}

}  // namespace split_barriers::detail
