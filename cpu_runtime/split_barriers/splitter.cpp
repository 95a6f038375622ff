#include "splitter.h"

#include <algorithm>
#include <optional>

#include "file_splitter.h"
#include "lexer.h"

namespace split_barriers {

using namespace detail;

namespace {

std::string open_namespaces(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += n.empty() ? "namespace {\n" : "namespace " + n + " {\n";
  return out;
}

std::string close_namespaces(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) out += "}\n";
  return out;
}

}  // namespace

SplitOutcome split_translation_unit(const std::vector<SourceFile>& files) {
  SplitOutcome outcome;
  std::vector<std::string> forms;
  std::vector<std::pair<std::string, std::string>> row_candidates;  // report line, code
  // Region forms copy kernel text to the end of the unit, where a macro
  // undefined or redefined on the way would read differently.
  std::set<std::string> numeric_macros;
  bool undefines = false;
  for (const SourceFile& file : files) {
    for (const Token& t : tokenize(file.text)) {
      if (t.kind != TokenKind::Directive) continue;
      const std::vector<Token> words = tokenize(t.text.substr(1));
      if (words.size() >= 2 && words[0].is("undef")) undefines = true;
      if (words.size() == 3 && words[0].is("define") && words[1].is_identifier() &&
          words[2].kind == TokenKind::Number)
        numeric_macros.insert(std::string(words[1].text));
    }
  }
  bool stray_barrier = false;  // a barrier outside the top level of a kernel
  bool stray_shared = false;   // shared memory outside a kernel body
  for (const SourceFile& file : files) {
    std::optional<FileSplitter> splitter;
    try {
      splitter.emplace(file);
    } catch (const Refusal& r) {
      // Unbalanced brackets: nothing in it can be read safely.
      stray_barrier = true;
      outcome.report.push_back(file.path + ": not scanned: " + r.what());
      continue;
    }
    if (splitter->directive_mentions(kBarrier)) stray_barrier = true;
    if (splitter->directive_mentions(kShared)) stray_shared = true;
    std::size_t barriers_in_kernels = 0, shared_in_kernels = 0;
    const std::vector<KernelSite> kernels = splitter->find_kernels();
    for (const KernelSite& k : kernels) {
      const std::size_t barriers = splitter->count_in(k, kBarrier);
      const std::size_t shared = splitter->count_in(k, kShared);
      barriers_in_kernels += barriers;
      shared_in_kernels += shared;
      const std::string where = file.path + ": kernel " + k.name;
      // Forms are registered by the kernel's plain name in the namespace
      // it stands in: a template (whose forms would have to follow its
      // instantiations), an overloaded name, a definition qualified with
      // another namespace and one the preprocessor may leave out get none.
      std::string unfit;
      if (k.is_template) unfit = "a template";
      else if (std::count_if(kernels.begin(), kernels.end(), [&](const KernelSite& o) { return o.name == k.name; }) > 1)
        unfit = "an overloaded name";
      else if (k.qualified) unfit = "a qualified name";
      else if (k.conditional) unfit = "inside a preprocessor conditional";
      if (!unfit.empty()) {
        if (barriers > 0) outcome.report.push_back(where + ": left to fibers: " + unfit);
        continue;
      }
      if (barriers == 0) {
        // Rows pay where the compiler can vectorise the loop over a row's
        // threads, which takes a body without loops; for other kernels the
        // plain loop over one block's threads is as fast or faster (a
        // search kernel ran at half speed in rows).
        if (shared > 0 || splitter->count_in(k, "for") + splitter->count_in(k, "while") +
                                  splitter->count_in(k, "do") > 0)
          continue;
        row_candidates.push_back({where, open_namespaces(k.namespaces) + splitter->row_form(k) +
                                             close_namespaces(k.namespaces)});
        continue;
      }
      try {
        forms.push_back(open_namespaces(k.namespaces) + splitter->split(k, numeric_macros) +
                        close_namespaces(k.namespaces));
        outcome.report.push_back(where + ": split at its barriers");
      } catch (const Refusal& r) {
        outcome.report.push_back(where + ": left to fibers: " + r.what());
      }
    }
    if (barriers_in_kernels != splitter->count(kBarrier)) stray_barrier = true;
    if (shared_in_kernels != splitter->count(kShared)) stray_shared = true;
  }
  if (stray_barrier) {
    outcome.report.push_back("a barrier outside the top level of a kernel body: every kernel runs as written");
    return outcome;
  }
  if (undefines && !forms.empty()) {
    outcome.report.push_back("a #undef: no kernel is split at its barriers");
    forms.clear();
  }
  for (const std::string& f : forms) outcome.code += f;
  // Blocks may run side by side only where no function they call could use
  // shared memory.
  if (stray_shared) {
    outcome.report.push_back("shared memory outside a kernel body: no kernel runs in rows");
    return outcome;
  }
  for (const auto& [where, code] : row_candidates) {
    outcome.code += code;
    outcome.report.push_back(where + ": runs in rows (no barrier, no shared memory, no loop)");
  }
  return outcome;
}

}  // namespace split_barriers
