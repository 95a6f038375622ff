#include "splitter.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <stdexcept>

#include "lexer.h"

namespace split_barriers {

namespace {

constexpr std::string_view kBarrier = "__syncthreads";
constexpr std::string_view kShared = "__shared__";

// Words that may open a declaration of a variable of a built-in or CUDA
// vector type. A statement that opens with another name followed by a name
// may declare a variable of a type we do not know: such kernels are left alone.
const std::set<std::string_view> kTypeWords = {
    "const",    "volatile", "unsigned", "signed",   "short",    "long",     "int",     "char",
    "bool",     "float",    "double",   "size_t",   "auto",     "register", "static",  "extern",
    "__shared__", "int8_t", "int16_t",  "int32_t",  "int64_t",  "uint8_t",  "uint16_t", "uint32_t",
    "uint64_t", "ptrdiff_t", "dim3",    "char1",    "char2",    "char3",    "char4",   "uchar1",
    "uchar2",   "uchar3",   "uchar4",   "short1",   "short2",   "short3",   "short4",  "ushort1",
    "ushort2",  "ushort3",  "ushort4",  "int1",     "int2",     "int3",     "int4",    "uint1",
    "uint2",    "uint3",    "uint4",    "long1",    "long2",    "long3",    "long4",   "ulong1",
    "ulong2",   "ulong3",   "ulong4",   "float1",   "float2",   "float3",   "float4",  "double1",
    "double2",  "double3",  "double4"};

const std::set<std::string_view> kStatementKeywords = {
    "if", "else", "for", "while", "do", "switch", "case", "default", "break", "continue", "return"};

const std::set<std::string_view> kAssignments = {"=",  "+=", "-=",  "*=",  "/=", "%=",
                                                 "&=", "|=", "^=", "<<=", ">>=", "++", "--"};

// A kernel that steps outside plain per-thread code: warp-level operations
// need threads running side by side, the others jump where a region loop
// cannot follow.
bool forbidden_identifier(std::string_view id) {
  static const std::set<std::string_view> words = {"goto",     "asm",      "__asm__",  "__asm",
                                                   "setjmp",   "longjmp",  "co_await", "co_yield",
                                                   "co_return", "throw",   "try",      "typedef",
                                                   "using",    "this_thread_block"};
  if (words.count(id)) return true;
  for (std::string_view prefix : {"__sync", "__shfl", "__ballot", "__any", "__all", "__activemask"})
    if (id.substr(0, prefix.size()) == prefix && id != kBarrier) return true;
  return false;
}

struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Splitter;

/// One kernel definition found at namespace scope.
struct KernelSite {
  std::string name;
  std::vector<std::string> namespaces;  ///< enclosing, outermost first; "" for an anonymous one
  std::size_t params_open = 0;          ///< token index of '('
  std::size_t params_close = 0;         ///< token index of ')'
  std::size_t body_open = 0;            ///< token index of '{'
  std::size_t body_close = 0;           ///< token index of the matching '}'
  bool is_template = false;
  bool qualified = false;    ///< defined as ns::name: its namespace is not the one it stands in
  bool conditional = false;  ///< inside #if/#ifdef: it may not be compiled at all
};

struct Param {
  std::string text;     ///< as written
  std::string name;     ///< empty for an unnamed one
  std::string type;     ///< as written, without the name
  std::string storage;  ///< the type of a per-thread copy: no top-level const
  bool pointer = false;
};

struct Declarator {
  std::string name;
  std::size_t name_token = 0;
  std::size_t init_first = 0, init_last = 0;  ///< the initialiser's tokens, when it has one
  std::string storage_type;  ///< the type of its per-thread array
  std::string text;          ///< the declarator as written, initialiser included
  std::string init;          ///< the initialiser after '=', or empty
  bool plain = true;         ///< no array, reference, brace or parenthesised initialiser, not auto
  bool array = false;
};

struct Statement {
  std::size_t first = 0, last = 0;  ///< token indices, inclusive
  enum class Kind { Other, Shared, Declaration } kind = Kind::Other;
  std::string prefix;  ///< declarations: the type words as written
  std::vector<Declarator> declarators;
};

struct Region {
  std::size_t first = 0, end = 0;  ///< token indices [first, end)
  std::vector<Statement> statements;
  std::set<std::string_view> used;  ///< names used in the region
};

/// Splits the kernels of one file.
class FileSplitter {
 public:
  FileSplitter(const SourceFile& file) : file_(file), tokens_(tokenize(file.text)) { match_brackets(); }

  std::vector<KernelSite> find_kernels();
  std::size_t count(std::string_view word) const;
  bool directive_mentions(std::string_view word) const;
  std::size_t count_in(const KernelSite& kernel, std::string_view word) const;
  std::string row_form(const KernelSite& kernel) const;
  std::string split(const KernelSite& kernel, const std::set<std::string>& numeric_macros);
  bool may_change(const KernelSite& k, std::string_view name, std::size_t declared_at) const;
  bool pure_initialiser(const Declarator& d, const std::set<std::string>& known,
                        const std::set<std::string>& numeric_macros) const;

 private:
  const Token& tok(std::size_t i) const { return tokens_[i]; }
  std::string_view text_of(std::size_t first, std::size_t last) const {
    return std::string_view(file_.text).substr(tok(first).begin, tok(last).end - tok(first).begin);
  }
  std::string line_directive(std::size_t token) const {
    return "#line " + std::to_string(tok(token).line) + " \"" + file_.path + "\"\n";
  }
  void match_brackets();
  bool is_operand_end(std::size_t i) const;
  std::vector<Statement> statements(std::size_t first, std::size_t end) const;
  void classify(Statement& s) const;
  std::set<std::string_view> names_used(std::size_t first, std::size_t end) const;
  std::vector<Param> params(const KernelSite& k) const;
  std::set<std::string> check_body(const KernelSite& k, const std::vector<std::size_t>& barriers,
                                   const std::vector<Param>& params) const;
  bool enclosing_call(std::size_t i) const;

  const SourceFile& file_;
  std::vector<Token> tokens_;
  std::vector<std::size_t> partner_;  ///< matching bracket of each bracket token
};

void FileSplitter::match_brackets() {
  partner_.assign(tokens_.size(), SIZE_MAX);
  std::vector<std::size_t> open;
  for (std::size_t i = 0; i < tokens_.size(); ++i) {
    const Token& t = tokens_[i];
    if (t.kind != TokenKind::Punct) continue;
    if (t.text == "(" || t.text == "[" || t.text == "{") {
      open.push_back(i);
    } else if (t.text == ")" || t.text == "]" || t.text == "}") {
      if (open.empty()) throw Refusal("unbalanced brackets");
      partner_[i] = open.back();
      partner_[open.back()] = i;
      open.pop_back();
    }
  }
  if (!open.empty()) throw Refusal("unbalanced brackets");
}

std::size_t FileSplitter::count(std::string_view word) const {
  return static_cast<std::size_t>(
      std::count_if(tokens_.begin(), tokens_.end(), [&](const Token& t) { return t.is(word); }));
}

bool FileSplitter::directive_mentions(std::string_view word) const {
  return std::any_of(tokens_.begin(), tokens_.end(), [&](const Token& t) {
    return t.kind == TokenKind::Directive && t.text.find(word) != std::string_view::npos;
  });
}

std::size_t FileSplitter::count_in(const KernelSite& k, std::string_view word) const {
  std::size_t n = 0;
  for (std::size_t i = k.body_open + 1; i < k.body_close; ++i) n += tok(i).is(word) ? 1 : 0;
  return n;
}

std::string FileSplitter::row_form(const KernelSite& k) const {
  return "namespace {\n[[maybe_unused]] const bool " + k.name +
         "_rows_registered_ = ::gpu_runtime::register_row_form<&" + k.name + ">(reinterpret_cast<const void*>(&" +
         k.name + "));\n}\n";
}

std::vector<KernelSite> FileSplitter::find_kernels() {
  std::vector<KernelSite> kernels;
  // Scopes kernels can stand in: namespaces and extern "C" blocks. Any other
  // brace (a function body, a class, an initialiser) is skipped whole.
  struct Scope {
    std::size_t close;
    std::optional<std::string> name;  ///< set for a namespace
  };
  std::vector<Scope> scopes;
  // Open #if groups; an include guard (#ifndef X right before #define X)
  // counts as none.
  std::vector<bool> conditionals;
  auto directive_word = [](std::string_view d) {
    std::size_t i = 1;
    while (i < d.size() && (d[i] == ' ' || d[i] == '\t')) ++i;
    std::size_t e = i;
    while (e < d.size() && std::isalpha(static_cast<unsigned char>(d[e]))) ++e;
    return d.substr(i, e - i);
  };
  auto namespaces = [&] {
    std::vector<std::string> out;
    for (const Scope& s : scopes)
      if (s.name) out.push_back(*s.name);
    return out;
  };
  for (std::size_t i = 0; i < tokens_.size(); ++i) {
    while (!scopes.empty() && i == scopes.back().close) {
      scopes.pop_back();
      ++i;
    }
    if (i >= tokens_.size()) break;
    const Token& t = tok(i);
    if (t.kind == TokenKind::Directive) {
      const std::string_view word = directive_word(t.text);
      if (word == "if" || word == "ifdef" || word == "ifndef") {
        const bool guard = word == "ifndef" && i + 1 < tokens_.size() &&
                           tok(i + 1).kind == TokenKind::Directive && directive_word(tok(i + 1).text) == "define";
        conditionals.push_back(!guard);
      } else if (word == "endif" && !conditionals.empty()) {
        conditionals.pop_back();
      }
      continue;
    }
    if (t.is("{")) {
      if (i >= 1 && tok(i - 1).is("namespace")) {
        scopes.push_back({partner_[i], std::string()});
      } else if (i >= 2 && tok(i - 2).is("namespace") && tok(i - 1).is_identifier()) {
        scopes.push_back({partner_[i], std::string(tok(i - 1).text)});
      } else if (i >= 2 && tok(i - 2).is("extern") && tok(i - 1).kind == TokenKind::Literal) {
        scopes.push_back({partner_[i], std::nullopt});
      } else {
        i = partner_[i];
      }
      continue;
    }
    if (!t.is("__global__")) continue;

    KernelSite k;
    k.namespaces = namespaces();
    for (std::size_t j = i; j-- > 0;) {
      const Token& b = tok(j);
      if (b.is(";") || b.is("{") || b.is("}") || b.kind == TokenKind::Directive) break;
      if (b.is("template") || b.is(">")) k.is_template = true;
    }
    std::size_t j = i + 1;
    while (j < tokens_.size() && !tok(j).is("(") && !tok(j).is(";") && !tok(j).is("{")) ++j;
    while (j < tokens_.size() && tok(j).is("(") && tok(j - 1).is("__launch_bounds__")) {
      j = partner_[j] + 1;
      while (j < tokens_.size() && !tok(j).is("(") && !tok(j).is(";") && !tok(j).is("{")) ++j;
    }
    if (j >= tokens_.size() || !tok(j).is("(") || !tok(j - 1).is_identifier()) continue;
    k.name = std::string(tok(j - 1).text);
    k.qualified = j >= 2 && tok(j - 2).is("::");
    k.conditional = std::find(conditionals.begin(), conditionals.end(), true) != conditionals.end();
    k.params_open = j;
    k.params_close = partner_[j];
    const std::size_t after = k.params_close + 1;
    if (after >= tokens_.size() || !tok(after).is("{")) {
      i = k.params_close;  // a declaration
      continue;
    }
    k.body_open = after;
    k.body_close = partner_[after];
    kernels.push_back(k);
    i = k.body_close;
  }
  return kernels;
}

// True when the token ends an operand, so that a following '[' is a
// subscript and a following '&' or '*' is binary.
bool FileSplitter::is_operand_end(std::size_t i) const {
  const Token& t = tok(i);
  if (t.kind == TokenKind::Number || t.kind == TokenKind::Literal) return true;
  if (t.is_identifier()) return !kStatementKeywords.count(t.text) && !kTypeWords.count(t.text);
  return t.is(")") || t.is("]") || t.is("++") || t.is("--");
}

std::set<std::string_view> FileSplitter::names_used(std::size_t first, std::size_t end) const {
  std::set<std::string_view> used;
  for (std::size_t i = first; i < end; ++i) {
    if (!tok(i).is_identifier()) continue;
    if (i > 0 && (tok(i - 1).is(".") || tok(i - 1).is("->") || tok(i - 1).is("::"))) continue;
    used.insert(tok(i).text);
  }
  return used;
}

// Cuts [first, end) into the statements that stand at its top level. A brace
// that opens a block (after ')', else, do, or at a statement's start) ends its
// statement where it closes; any other brace is an initialiser.
std::vector<Statement> FileSplitter::statements(std::size_t first, std::size_t end) const {
  std::vector<Statement> out;
  std::size_t start = first;
  for (std::size_t i = first; i < end; ++i) {
    const Token& t = tok(i);
    if (t.is(";")) {
      out.push_back(Statement{start, i, Statement::Kind::Other, {}, {}});
      start = i + 1;
    } else if (t.is("(") || t.is("[")) {
      i = partner_[i];
    } else if (t.is("{")) {
      const bool block = i == start || tok(i - 1).is(")") || tok(i - 1).is("else") || tok(i - 1).is("do");
      i = partner_[i];
      if (block) {
        out.push_back(Statement{start, i, Statement::Kind::Other, {}, {}});
        start = i + 1;
      }
    }
  }
  if (start < end) throw Refusal("a statement without its ';' before a barrier");
  for (Statement& s : out) classify(s);
  return out;
}

void FileSplitter::classify(Statement& s) const {
  const Token& head = tok(s.first);
  if (!head.is_identifier() || kStatementKeywords.count(head.text)) return;
  // The declaration's specifiers: type words and at most one other name (a
  // typedef or a class, possibly qualified), which is a type only where a
  // declarator follows it; `x = 1;` and `f(x);` declare nothing.
  std::size_t i = s.first;
  bool named_type = false;
  std::vector<std::string_view> words;
  std::string base;  // the specifiers without top-level qualifiers
  auto add_to_base = [&](std::size_t first, std::size_t last) {
    for (std::size_t t = first; t <= last; ++t) base += (base.empty() ? "" : " ") + std::string(tok(t).text);
  };
  while (i <= s.last && tok(i).is_identifier()) {
    if (kTypeWords.count(tok(i).text)) {
      words.push_back(tok(i).text);
      if (!tok(i).is("const") && !tok(i).is("volatile") && !tok(i).is("register")) add_to_base(i, i);
      ++i;
      continue;
    }
    if (named_type || kStatementKeywords.count(tok(i).text)) break;
    std::size_t k = i + 1;
    while (k + 1 <= s.last && tok(k).is("::") && tok(k + 1).is_identifier()) k += 2;
    std::size_t d = k;
    while (d <= s.last && (tok(d).is("*") || tok(d).is("&") || tok(d).is("&&") || tok(d).is("const") ||
                           tok(d).is("volatile") || kTypeWords.count(tok(d).text)))
      ++d;
    const bool declarator_follows = d <= s.last && tok(d).is_identifier();
    if (k <= s.last && tok(k).is("<") && (words.size() > 0 || k == i + 1))
      throw Refusal("a statement that may declare a variable of a template type: '" +
                    std::string(text_of(s.first, s.last)) + "'");
    if (!declarator_follows) break;
    named_type = true;
    add_to_base(i, k - 1);
    i = k;
  }
  if (words.empty() && !named_type) return;
  auto has = [&](std::string_view w) { return std::find(words.begin(), words.end(), w) != words.end(); };
  s.prefix = std::string(text_of(s.first, i - 1));
  if (has("__shared__")) {
    s.kind = Statement::Kind::Shared;
    return;
  }
  if (has("static") || has("extern")) throw Refusal("a static or extern local");
  s.kind = Statement::Kind::Declaration;

  // Declarators, separated by top-level commas.
  std::size_t d = i;
  while (d < s.last) {
    std::size_t e = d;
    while (e < s.last && !tok(e).is(",")) {
      if (tok(e).is("(") || tok(e).is("[") || tok(e).is("{")) e = partner_[e];
      ++e;
    }
    Declarator decl;
    decl.text = std::string(text_of(d, e - 1));
    std::size_t j = d;
    int stars = 0;
    for (; j < e && (tok(j).is("*") || tok(j).is("&") || tok(j).is("&&") || tok(j).is("const") ||
                     tok(j).is("volatile"));
         ++j) {
      if (tok(j).is("*")) stars++;
      if (tok(j).is("&") || tok(j).is("&&")) decl.plain = false;
    }
    if (j >= e || !tok(j).is_identifier()) throw Refusal("a declaration we cannot read: '" + decl.text + "'");
    decl.name = std::string(tok(j).text);
    decl.name_token = j;
    ++j;
    if (j < e) {
      if (tok(j).is("=") && j + 1 < e) {
        decl.init = std::string(text_of(j + 1, e - 1));
        decl.init_first = j + 1;
        decl.init_last = e - 1;
      } else {
        decl.plain = false;  // an array, or a braced or parenthesised initialiser
        if (tok(j).is("[")) decl.array = true;
      }
    }
    if (has("auto")) decl.plain = false;
    if (stars == 0) {
      decl.storage_type = base;
    } else {
      decl.storage_type = std::string(s.prefix) + std::string(static_cast<std::size_t>(stars), '*');
    }
    s.declarators.push_back(std::move(decl));
    d = e + 1;
  }
}

std::vector<Param> FileSplitter::params(const KernelSite& k) const {
  std::vector<Param> out;
  std::size_t first = k.params_open + 1;
  for (std::size_t i = first; i <= k.params_close; ++i) {
    if (tok(i).is("(") || tok(i).is("[") || tok(i).is("{")) {
      i = partner_[i];
      continue;
    }
    if (!(tok(i).is(",") || i == k.params_close) || i == first) continue;
    Param p;
    std::size_t last = i - 1;
    p.text = std::string(text_of(first, last));
    // An array parameter's name stands before its brackets: int rows[][4].
    for (std::size_t t = first + 1; t < last; ++t) {
      if (tok(t).is("[") && tok(t - 1).is_identifier()) {
        last = t - 1;
        break;
      }
    }
    if (tok(last).is_identifier() && !kTypeWords.count(tok(last).text) && last > first) {
      p.name = std::string(tok(last).text);
      p.type = std::string(text_of(first, last - 1));
      std::size_t last_star = first;
      for (std::size_t t = first; t < last; ++t) {
        if (tok(t).is("*")) {
          p.pointer = true;
          last_star = t;
        }
      }
      // Drop the const that applies to the parameter itself.
      for (std::size_t t = first; t < last; ++t) {
        const bool top_level = !p.pointer || t > last_star;
        if (top_level && (tok(t).is("const") || tok(t).is("volatile"))) continue;
        p.storage += (p.storage.empty() ? "" : " ") + std::string(tok(t).text);
      }
    }
    out.push_back(std::move(p));
    first = i + 1;
  }
  return out;
}

std::set<std::string> FileSplitter::check_body(const KernelSite& k, const std::vector<std::size_t>& barriers,
                                               const std::vector<Param>& params) const {
  const std::size_t last_barrier = barriers.back();
  std::set<std::string_view> param_names, shared_names;
  for (const Param& p : params)
    if (!p.name.empty()) param_names.insert(p.name);
  // Names declared __shared__: arrays and variables of the block, not of a thread.
  for (std::size_t i = k.body_open + 1; i < k.body_close; ++i) {
    if (!tok(i).is("__shared__")) continue;
    for (std::size_t j = i + 1; j < k.body_close && !tok(j).is(";"); ++j)
      if (tok(j).is_identifier() && (tok(j + 1).is("[") || tok(j + 1).is(";") || tok(j + 1).is(",")))
        shared_names.insert(tok(j).text);
  }

  std::set<std::string> copied;  // parameters each thread needs its own copy of
  for (const Param& p : params) {
    // A parameter of a class type can change through its members in ways
    // the tokens do not show.
    if (!p.name.empty() && !p.pointer) {
      bool scalar = true;
      for (const Token& t : tokenize(p.type)) scalar = scalar && kTypeWords.count(t.text);
      if (!scalar) copied.insert(p.name);
    }
  }
  for (std::size_t i = k.body_open + 1; i < k.body_close; ++i) {
    const Token& t = tok(i);
    if (t.kind == TokenKind::Directive) throw Refusal("a preprocessor directive in its body");
    if (t.is_identifier() && forbidden_identifier(t.text)) throw Refusal("'" + std::string(t.text) + "'");
    if (t.is("return") && i < last_barrier) throw Refusal("a return before its last barrier");
    if (t.is("[") && !is_operand_end(i - 1)) throw Refusal("a lambda or attribute");
    // The address of a local or of a parameter would outlive the loop
    // iteration that took it. An element a pointer parameter points to, or
    // shared memory, belongs to no thread.
    if (t.is("&") && !is_operand_end(i - 1)) {
      const Token& target = tok(i + 1);
      const bool through_pointer = param_names.count(target.text) && (tok(i + 2).is("[") || tok(i + 2).is("->"));
      if (!through_pointer && !shared_names.count(target.text))
        throw Refusal("the address of a variable taken with '&'");
    }
    if (!t.is_identifier() || !param_names.count(t.text) || tok(i - 1).is(".") || tok(i - 1).is("->")) continue;
    // A parameter that may change: assigned, incremented, or handed to a
    // function that may take it by reference. (Writing through a pointer
    // parameter, *p = v or p[i] = v, changes the memory, not the parameter.)
    const bool dereferenced = tok(i - 1).is("*") && !is_operand_end(i - 2);
    const bool written = !dereferenced && (kAssignments.count(tok(i + 1).text) || tok(i - 1).is("++") ||
                                           tok(i - 1).is("--"));
    const bool call_argument = (tok(i - 1).is("(") || tok(i - 1).is(",")) &&
                               (tok(i + 1).is(")") || tok(i + 1).is(",")) && i - 1 > k.body_open &&
                               enclosing_call(i);
    if (written || call_argument) copied.insert(std::string(t.text));
  }
  return copied;
}

// True when the token at i stands directly in the argument list of a call.
bool FileSplitter::enclosing_call(std::size_t i) const {
  std::size_t depth = 0;
  for (std::size_t j = i; j-- > 0;) {
    if (tok(j).is(")") || tok(j).is("]") || tok(j).is("}")) {
      j = partner_[j];
      continue;
    }
    if (tok(j).is("(") || tok(j).is("[") || tok(j).is("{")) {
      if (depth == 0) {
        if (!tok(j).is("(") || j == 0) return false;
        const Token& callee = tok(j - 1);
        return (callee.is_identifier() && !kStatementKeywords.count(callee.text) && !kTypeWords.count(callee.text)) ||
               callee.is(">") || callee.is(")");
      }
      --depth;
    }
  }
  return false;
}

// True when the name may be assigned after its declaration (the token at
// declared_at), incremented, or handed to a function that may take it by
// reference. A same-named variable of an inner scope counts too.
bool FileSplitter::may_change(const KernelSite& k, std::string_view name, std::size_t declared_at) const {
  for (std::size_t i = k.body_open + 1; i < k.body_close; ++i) {
    if (i == declared_at || !tok(i).is_identifier() || tok(i).text != name) continue;
    if (tok(i - 1).is(".") || tok(i - 1).is("->") || tok(i - 1).is("::")) continue;
    const bool dereferenced = tok(i - 1).is("*") && !is_operand_end(i - 2);
    if (!dereferenced && kAssignments.count(tok(i + 1).text)) return true;
    if (tok(i - 1).is("++") || tok(i - 1).is("--")) return true;
    if ((tok(i - 1).is("(") || tok(i - 1).is(",")) && (tok(i + 1).is(")") || tok(i + 1).is(",")) && enclosing_call(i))
      return true;
  }
  return false;
}

// True when the initialiser gives the same value whenever a region computes
// it again: it reads only the thread's and block's indices, parameters that
// do not change, numeric macros and locals `known` to be such, and calls no
// function and reads no memory.
bool FileSplitter::pure_initialiser(const Declarator& d, const std::set<std::string>& known,
                                    const std::set<std::string>& numeric_macros) const {
  static const std::set<std::string_view> builtins = {"threadIdx", "blockIdx", "blockDim", "gridDim"};
  static const std::set<std::string_view> operators = {"+",  "-",  "*",  "/",  "%",  "(",  ")",  "?", ":",
                                                       "<",  ">",  "<=", ">=", "==", "!=", "&&", "||", "!",
                                                       "~",  "&",  "|",  "^",  "<<", ">>", "."};
  if (d.init.empty()) return false;
  for (std::size_t i = d.init_first; i <= d.init_last; ++i) {
    const Token& t = tok(i);
    if (t.kind == TokenKind::Number) continue;
    if (t.kind == TokenKind::Punct) {
      if (!operators.count(t.text)) return false;
      if (t.is(".") && !(i > d.init_first && builtins.count(tok(i - 1).text))) return false;
      if ((t.is("*") || t.is("&")) && !is_operand_end(i - 1)) return false;  // a dereference or an address
      continue;
    }
    if (!t.is_identifier()) return false;
    if (kTypeWords.count(t.text)) continue;  // a cast
    if (tok(i + 1).is("(") ) return false;     // a call
    if (builtins.count(t.text)) continue;
    if (i > d.init_first && tok(i - 1).is(".")) {
      if (t.text != "x" && t.text != "y" && t.text != "z") return false;
      continue;
    }
    const std::string name(t.text);
    if (known.count(name) || numeric_macros.count(name) || name == "true" || name == "false") continue;
    return false;
  }
  return true;
}

std::string FileSplitter::split(const KernelSite& k, const std::set<std::string>& numeric_macros) {
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
  };
  std::vector<Promoted> promoted;
  std::set<std::string> promoted_names;
  std::set<std::string_view> local_names;
  // Each thread has its own copy of a parameter that may change, as on the
  // device: the copies start as the launch's argument, held under another name.
  for (const Param& p : parameters) {
    if (!copied.count(p.name)) continue;
    if (p.text.find('[') != std::string::npos) throw Refusal("parameter '" + p.name + "' may change and is an array");
    promoted.push_back({p.name, p.storage, 0, true});
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
  std::set<std::string> known;
  for (const Param& p : parameters)
    if (!p.name.empty() && !copied.count(p.name)) known.insert(p.name);
  for (std::size_t r = 0; r < regions.size(); ++r) {
    for (const Statement& s : regions[r].statements) {
      if (s.kind != Statement::Kind::Declaration) continue;
      for (const Declarator& d : s.declarators) {
        // A local array's elements could be reached through a pointer kept
        // for a later region, after the iteration that held the array ended.
        if (d.array) throw Refusal("a local array");
        local_names.insert(d.name);
        if (d.plain && !may_change(k, d.name, d.name_token) && pure_initialiser(d, known, numeric_macros)) {
          Recomputed c{d.name, d.storage_type, &d, r, {}};
          for (std::size_t i = d.init_first; i <= d.init_last; ++i)
            for (const Recomputed& o : recomputed)
              if (tok(i).is_identifier() && tok(i).text == o.name) c.needs.insert(o.name);
          recomputed.push_back(std::move(c));
          known.insert(d.name);
          continue;
        }
        bool later = false;
        for (std::size_t q = r + 1; q < regions.size(); ++q) later = later || regions[q].used.count(d.name);
        if (!later) continue;
        if (!d.plain) throw Refusal("local '" + d.name + "', used after a barrier, is not a plain scalar");
        promoted.push_back({d.name, d.storage_type, r});
        promoted_names.insert(d.name);
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
  for (const Promoted& p : promoted)
    out += "  " + p.type + " " + p.name + "_per_thread_[::gpu_runtime::kMaxThreadsPerBlock];\n";

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
      const std::string bind =
          "    [[maybe_unused]] " + p.type + "& " + p.name + " = " + p.name + "_per_thread_[gpu_split_t_];";
      if (p.parameter && r == 0) out += bind + " " + p.name + " = " + p.name + "_argument_;\n";
      else if (p.region < r && region.used.count(p.name)) out += bind + "\n";
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
      out += line_directive(c.declarator->name_token) + "    [[maybe_unused]] " + c.type + " const " + c.name +
             " = " + c.declarator->init + ";\n";
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
            out += "[[maybe_unused]] " + d.storage_type + "& " + d.name + " = " + d.name +
                   "_per_thread_[gpu_split_t_]; ";
            if (!d.init.empty()) out += d.name + " = " + d.init + "; ";
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
