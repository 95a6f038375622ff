#include "splitter.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

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

// The order in which the preprocessor reads the unit: a file's text up to
// an #include, then the included file, then the rest. A position is the
// piece it falls in and its offset there; positions compare in that order.
class UnitOrder {
 public:
  explicit UnitOrder(const std::vector<SourceFile>& files) : files_(files), visited_(files.size()) {
    for (std::size_t f = 0; f < files.size(); ++f)
      if (!visited_[f]) read(f);
  }

  std::pair<std::size_t, std::size_t> position(std::size_t file, std::size_t offset) const {
    for (std::size_t p = 0; p < pieces_.size(); ++p)
      if (pieces_[p].file == file && offset >= pieces_[p].begin && offset < pieces_[p].end) return {p, offset};
    return {pieces_.size(), offset};
  }

 private:
  struct Piece {
    std::size_t file, begin, end;
  };
  void read(std::size_t f) {
    visited_[f] = true;
    std::size_t from = 0;
    for (const SourceFile::Include& inc : files_[f].includes) {
      if (inc.offset < from) continue;
      pieces_.push_back({f, from, inc.offset});
      if (inc.file < files_.size() && !visited_[inc.file]) read(inc.file);
      from = inc.offset;
    }
    pieces_.push_back({f, from, files_[f].text.size() + 1});
  }

  const std::vector<SourceFile>& files_;
  std::vector<bool> visited_;
  std::vector<Piece> pieces_;
};

// The unit's object-like and function-like macros, from its #define lines.
class Macros {
 public:
  Macros(const std::vector<SourceFile>& files, const UnitOrder& order) {
    for (std::size_t f = 0; f < files.size(); ++f) {
      for (const Token& t : tokenize(files[f].text)) {
        if (t.kind != TokenKind::Directive) continue;
        const std::vector<Token> words = tokenize(t.text.substr(1));
        // push_macro and pop_macro change a definition as #undef does.
        if (words.size() >= 2 && (words[0].is("undef") || (words[0].is("pragma") && (words[1].is("push_macro") ||
                                                                                    words[1].is("pop_macro")))))
          undefines_ = true;
        if (words.size() < 2 || !words[0].is("define") || !words[1].is_identifier()) continue;
        Definition d{order.position(f, t.begin), {}, {}};
        std::size_t w = 2;
        // A function-like macro: its parameters follow the name at once.
        if (w < words.size() && words[w].is("(") && words[w].begin == words[1].end) {
          for (++w; w < words.size() && !words[w].is(")"); ++w)
            if (words[w].is_identifier()) d.parameters.insert(std::string(words[w].text));
          ++w;
        }
        for (; w < words.size(); ++w) d.replacement.push_back(std::string(words[w].text));
        definitions_[std::string(words[1].text)].push_back(std::move(d));
      }
    }
  }

  bool undefines() const { return undefines_; }
  bool defined(std::string_view name) const { return definitions_.count(std::string(name)) > 0; }

  /// Names every definition of which is the same single number.
  std::set<std::string> numbers() const {
    std::set<std::string> out;
    for (const auto& [name, defs] : definitions_) {
      bool number = true;
      for (const Definition& d : defs)
        number = number && d.parameters.empty() && d.replacement.size() == 1 &&
                 tokenize(d.replacement[0]).size() == 1 &&
                 tokenize(d.replacement[0])[0].kind == TokenKind::Number && d.replacement == defs[0].replacement;
      if (number) out.insert(name);
    }
    return out;
  }

  /// Why a kernel at `where`, using this macro, cannot have its text
  /// copied to the end of the unit, or empty. `variables` are the kernel's
  /// parameters and locals: a macro that names one of them behind the
  /// kernel's back (not through its own parameters) could read or change it
  /// where the splitter does not look.
  std::string unfit_for_copy(std::string_view name, std::pair<std::size_t, std::size_t> where,
                             const std::set<std::string>& variables, int depth = 0) const {
    static const std::set<std::string_view> statement_words = {";", "{", "}", "return", "goto", "__syncthreads",
                                                               "__shared__"};
    const auto it = definitions_.find(std::string(name));
    if (it == definitions_.end()) return {};
    if (depth > 16) return "macro '" + std::string(name) + "' expands too deeply";
    for (const Definition& d : it->second) {
      if (d.position >= where) return "macro '" + std::string(name) + "' is defined after it";
      for (std::size_t w = 0; w < d.replacement.size(); ++w) {
        const std::string& word = d.replacement[w];
        if (statement_words.count(word) || kAssignments.count(word))
          return "macro '" + std::string(name) + "' may declare or change variables";
        const bool member = w > 0 && (d.replacement[w - 1] == "." || d.replacement[w - 1] == "->" ||
                                      d.replacement[w - 1] == "::");
        if (member || d.parameters.count(word)) continue;
        if (defined(word)) {
          if (std::string why = unfit_for_copy(word, where, variables, depth + 1); !why.empty()) return why;
        } else if (variables.count(word)) {
          return "macro '" + std::string(name) + "' names '" + word + "' of the kernel";
        }
      }
    }
    return {};
  }

 private:
  struct Definition {
    std::pair<std::size_t, std::size_t> position;
    std::set<std::string> parameters;      ///< of a function-like macro
    std::vector<std::string> replacement;  ///< its tokens' texts
  };
  std::map<std::string, std::vector<Definition>> definitions_;
  bool undefines_ = false;
};

// Where each file's text lands: under #if (an include guard aside), or
// inside braces such as a namespace's, as the files that include it place it
// (and are placed themselves). Its kernels may then not be compiled at all,
// or not under the names the forms at the end of the unit use.
struct Placement {
  bool conditional = false;
  bool enclosed = false;
};

std::vector<Placement> placements_of(const std::vector<SourceFile>& files) {
  std::vector<std::vector<Token>> tokens;
  for (const SourceFile& file : files) tokens.push_back(tokenize(file.text));
  std::vector<Placement> out(files.size());
  // Files include others before those are read; a few passes settle chains.
  for (std::size_t pass = 0; pass < files.size(); ++pass) {
    for (std::size_t f = 0; f < files.size(); ++f) {
      for (const SourceFile::Include& inc : files[f].includes) {
        if (inc.file >= files.size()) continue;
        int depth = 0;
        ConditionalGroups groups;
        for (std::size_t i = 0; i < tokens[f].size() && tokens[f][i].begin < inc.offset; ++i) {
          if (tokens[f][i].is("{")) ++depth;
          if (tokens[f][i].is("}")) --depth;
          groups.see(tokens[f], i);
        }
        Placement& p = out[inc.file];
        p.conditional = p.conditional || out[f].conditional || groups.inside();
        p.enclosed = p.enclosed || out[f].enclosed || depth > 0;
      }
    }
  }
  return out;
}

}  // namespace

SplitOutcome split_translation_unit(const std::vector<SourceFile>& files) {
  SplitOutcome outcome;
  std::vector<std::string> forms;
  std::vector<std::pair<std::string, std::string>> row_candidates;  // report line, code
  // Region forms copy kernel text to the end of the unit, where a macro
  // defined, undefined or redefined on the way would read differently.
  const UnitOrder order(files);
  const std::vector<Placement> placements = placements_of(files);
  // Headers the splitter does not read (found through the include path)
  // may define or undefine macros; after a kernel, its copied text could
  // read them otherwise. Digraphs and alternative tokens hide brackets,
  // directives and operators from the scan.
  std::vector<std::pair<std::size_t, std::size_t>> unread_includes;
  for (std::size_t f = 0; f < files.size(); ++f) {
    for (const Token& t : tokenize(files[f].text)) {
      if (t.kind != TokenKind::Directive || directive_word(t) != "include") continue;
      const bool read = std::any_of(files[f].includes.begin(), files[f].includes.end(),
                                    [&](const SourceFile::Include& inc) { return inc.offset == t.begin; });
      if (!read) unread_includes.push_back(order.position(f, t.begin));
    }
  }
  static const std::vector<std::string_view> alternative_tokens = {
      "<%", "%>", "<:", ":>", "%:", "%:%:", "and", "and_eq", "bitand", "bitor", "compl", "not", "not_eq", "or",
      "or_eq", "xor", "xor_eq"};
  auto alternatives_in = [&](const FileSplitter& splitter, const KernelSite* k) {
    std::size_t n = 0;
    for (std::string_view word : alternative_tokens) n += k ? splitter.count_in(*k, word) : splitter.count(word);
    return n;
  };
  bool stray_alternatives = false;  // outside kernel bodies: they may hide directives or brackets
  // Names the unit declares at namespace scope, in unit order: a region form
  // stands at the end, where a name declared after its kernel (an overload,
  // a namespace member) could mean something else to the copied text.
  std::vector<std::pair<std::pair<std::size_t, std::size_t>, std::string>> declared;
  const Macros macros(files, order);
  const std::set<std::string> numeric_macros = macros.numbers();

  // Every file's kernels first: a name defined twice in the unit (overloads,
  // or alternatives chosen by the preprocessor) names no one kernel.
  std::vector<std::optional<FileSplitter>> splitters(files.size());
  std::vector<std::vector<KernelSite>> kernels(files.size());
  std::map<std::string, int> definitions;
  bool stray_barrier = false;  // a barrier outside the top level of a kernel
  bool stray_shared = false;   // shared memory outside a kernel body
  for (std::size_t f = 0; f < files.size(); ++f) {
    try {
      splitters[f].emplace(files[f]);
    } catch (const Refusal& r) {
      // Unbalanced brackets: nothing in it can be read safely.
      stray_barrier = true;
      outcome.report.push_back(files[f].path + ": not scanned: " + r.what());
      continue;
    }
    kernels[f] = splitters[f]->find_kernels();
    for (const auto& [offset, name] : splitters[f]->namespace_names())
      declared.push_back({order.position(f, offset), std::string(name)});
    for (const KernelSite& k : kernels[f]) definitions[k.name]++;
  }

  for (std::size_t f = 0; f < files.size(); ++f) {
    if (!splitters[f]) continue;
    const SourceFile& file = files[f];
    FileSplitter& splitter = *splitters[f];
    if (splitter.directive_mentions(kBarrier)) stray_barrier = true;
    if (splitter.directive_mentions(kShared)) stray_shared = true;
    std::size_t barriers_in_kernels = 0, shared_in_kernels = 0, alternatives_in_kernels = 0;
    for (const KernelSite& k : kernels[f]) {
      const std::size_t alternatives = alternatives_in(splitter, &k);
      alternatives_in_kernels += alternatives;
      const std::size_t barriers = splitter.count_in(k, kBarrier);
      const std::size_t shared = splitter.count_in(k, kShared);
      barriers_in_kernels += barriers;
      shared_in_kernels += shared;
      const std::string where = file.path + ": kernel " + k.name;
      // Forms are registered by the kernel's plain name in the namespace
      // it stands in: a template (whose forms would have to follow its
      // instantiations), a name defined twice, a definition qualified with
      // another namespace and one the preprocessor may leave out get none.
      std::string unfit;
      if (k.is_template) unfit = "a template";
      else if (definitions[k.name] > 1) unfit = "a name defined more than once";
      else if (k.qualified) unfit = "a qualified name";
      else if (k.conditional || placements[f].conditional) unfit = "inside a preprocessor conditional";
      else if (placements[f].enclosed) unfit = "in a file included inside braces";
      else if (alternatives > 0) unfit = "digraphs or alternative tokens";
      // A region form stands at the end of the unit, where a macro
      // undefined or restored on the way reads otherwise.
      if (unfit.empty() && barriers > 0 && macros.undefines()) unfit = "a #undef or pop_macro in the unit";
      if (!unfit.empty()) {
        if (barriers > 0) outcome.report.push_back(where + ": left to fibers: " + unfit);
        continue;
      }
      if (barriers == 0) {
        // Rows pay where the compiler can vectorise the loop over a row's
        // threads, which takes a body without loops; for other kernels the
        // plain loop over one block's threads is as fast or faster (a
        // search kernel ran at half speed in rows).
        if (shared > 0 || splitter.count_in(k, "for") + splitter.count_in(k, "while") +
                                  splitter.count_in(k, "do") > 0)
          continue;
        row_candidates.push_back({where, open_namespaces(k.namespaces) + splitter.row_form(k) +
                                             close_namespaces(k.namespaces)});
        continue;
      }
      try {
        const auto at = order.position(f, splitter.offset_of(k));
        for (const auto& unread : unread_includes)
          if (unread > at) throw Refusal("a header the splitter does not read is included after it");
        const std::set<std::string_view> names = splitter.kernel_names(k);
        const auto end = order.position(f, splitter.end_of(k));
        const auto check_macros = [&](const std::set<std::string>& variables) {
          for (std::string_view name : names)
            if (const std::string why = macros.unfit_for_copy(name, at, variables); !why.empty()) throw Refusal(why);
          for (const auto& [position, name] : declared) {
            if (position < end) continue;
            if (name == "using") throw Refusal("a using declaration or directive after it");
            if (names.count(name) && !variables.count(name))
              throw Refusal("'" + name + "' is declared again after it");
          }
        };
        forms.push_back(open_namespaces(k.namespaces) + splitter.split(k, numeric_macros, check_macros) +
                        close_namespaces(k.namespaces));
        outcome.report.push_back(where + ": split at its barriers");
      } catch (const Refusal& r) {
        outcome.report.push_back(where + ": left to fibers: " + r.what());
      }
    }
    if (barriers_in_kernels != splitter.count(kBarrier)) stray_barrier = true;
    if (shared_in_kernels != splitter.count(kShared)) stray_shared = true;
    if (alternatives_in_kernels != alternatives_in(splitter, nullptr)) stray_alternatives = true;
  }
  if (stray_barrier) {
    outcome.report.push_back("a barrier outside the top level of a kernel body: every kernel runs as written");
    return outcome;
  }
  if (stray_alternatives) {
    outcome.report.push_back("digraphs or alternative tokens outside kernels: every kernel runs as written");
    return outcome;
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
