#include "file_splitter.h"

#include <algorithm>
#include <optional>

namespace split_barriers::detail {

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

std::vector<KernelSite> FileSplitter::find_kernels() {
  std::vector<KernelSite> kernels;
  // Scopes kernels can stand in: namespaces and extern "C" blocks. Any other
  // brace (a function body, a class, an initialiser) is skipped whole.
  struct Scope {
    std::size_t close;
    std::optional<std::string> name;  ///< set for a namespace
  };
  std::vector<Scope> scopes;
  ConditionalGroups conditionals;
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
      conditionals.see(tokens_, i);
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
    k.conditional = conditionals.inside();
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

std::vector<std::pair<std::size_t, std::string_view>> FileSplitter::namespace_names() const {
  std::vector<std::pair<std::size_t, std::string_view>> out;
  for (std::size_t i = 0; i < tokens_.size(); ++i) {
    const Token& t = tok(i);
    if (t.is("{")) {
      const bool opens_namespace = (i >= 1 && tok(i - 1).is("namespace")) ||
                                   (i >= 2 && tok(i - 2).is("namespace") && tok(i - 1).is_identifier()) ||
                                   (i >= 2 && tok(i - 2).is("extern") && tok(i - 1).kind == TokenKind::Literal);
      if (!opens_namespace) i = partner_[i];  // a body: what it declares is not seen from outside
      continue;
    }
    if (t.is("(")) {  // parameters and arguments declare nothing at namespace scope
      i = partner_[i];
      continue;
    }
    if (t.is_identifier() && !kTypeWords.count(t.text) && !kStatementKeywords.count(t.text))
      out.push_back({t.begin, t.text});
  }
  return out;
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
  // A qualified name, an attribute or a label before a declaration hides it.
  if (head.is("::") || head.is("[") || (head.is_identifier() && tok(s.first + 1).is(":")))
    throw Refusal("a statement we cannot read: '" + std::string(text_of(s.first, s.last)) + "'");
  if (!head.is_identifier() || kStatementKeywords.count(head.text)) return;
  for (std::string_view word : {"struct", "class", "union", "enum", "typename", "alignas", "__attribute__",
                                "__declspec", "thread_local"})
    if (head.is(word)) throw Refusal("a declaration we cannot read: '" + std::string(text_of(s.first, s.last)) + "'");
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
      if (!tok(i).is("const") && !tok(i).is("volatile") && !tok(i).is("register") && !tok(i).is("constexpr"))
        add_to_base(i, i);
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
    // std::size_t and the like: a qualified type word.
    if (declarator_follows && k > i + 1 && kTypeWords.count(tok(k - 1).text)) {
      words.push_back(tok(k - 1).text);
      add_to_base(i, k - 1);
      i = k;
      continue;
    }
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
  // Shared memory and compile-time constants are the same for every thread:
  // declared once, ahead of the region loops.
  if (has("__shared__") || has("constexpr")) {
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
                     tok(j).is("volatile") || tok(j).is("__restrict__") || tok(j).is("__restrict") ||
                     tok(j).is("restrict"));
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
    decl.pointer = stars > 0;
    decl.class_type = named_type && stars == 0;
    if (stars == 0) {
      decl.storage_type = base;
      decl.is_const = has("const");
    } else {
      // The pointer's own type as written, but for the qualifiers after its
      // last '*', which apply to the variable itself.
      std::size_t last_star = d;
      for (std::size_t t = d; t < decl.name_token; ++t)
        if (tok(t).is("*")) last_star = t;
      decl.storage_type = s.prefix;
      for (std::size_t t = d; t < decl.name_token; ++t) {
        if (t > last_star && (tok(t).is("const") || tok(t).is("volatile"))) {
          decl.is_const = decl.is_const || tok(t).is("const");
          continue;
        }
        if (tok(t).is("__restrict__") || tok(t).is("__restrict") || tok(t).is("restrict")) continue;
        decl.storage_type += (tok(t).is("*") ? "" : " ") + std::string(tok(t).text);
      }
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
    // Plain shapes only: type words or a (qualified) name, '*', cv, the
    // parameter's name, array bounds. A default value, a pointer to an array
    // or to a function hide the name from this reading.
    for (std::size_t t = first; t <= last; ++t)
      if (tok(t).is("=") || tok(t).is("(") || tok(t).is("&") || tok(t).is("&&"))
        throw Refusal("a parameter we cannot read: '" + p.text + "'");
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
      p.scalar = true;
      for (std::size_t t = first; t < last; ++t) {
        p.scalar = p.scalar && (kTypeWords.count(tok(t).text) || tok(t).is("*"));
        // Drop the const that applies to the parameter itself.
        const bool top_level = !p.pointer || t > last_star;
        if (top_level && (tok(t).is("const") || tok(t).is("volatile"))) {
          p.is_const = p.is_const || tok(t).is("const");
          continue;
        }
        p.storage += (p.storage.empty() ? "" : " ") + std::string(tok(t).text);
      }
    } else if (!(tok(last).is_identifier() && kTypeWords.count(tok(last).text))) {
      throw Refusal("a parameter we cannot read: '" + p.text + "'");
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
    if (!p.name.empty() && !p.scalar) copied.insert(p.name);
  }
  for (std::size_t i = k.body_open + 1; i < k.body_close; ++i) {
    const Token& t = tok(i);
    if (t.kind == TokenKind::Directive) throw Refusal("a preprocessor directive in its body");
    if (t.is_identifier() && forbidden_identifier(t.text)) throw Refusal("'" + std::string(t.text) + "'");
    if (t.is("return") && i < last_barrier) throw Refusal("a return before its last barrier");
    if (t.is("[") && !is_operand_end(i - 1)) throw Refusal("a lambda or attribute");
    if (t.is_identifier() && (t.is("decltype") || t.is("typeof") || t.is("__typeof__")))
      throw Refusal("'" + std::string(t.text) + "'");
    // A case label must be a constant: a local kept per thread is not one.
    if (t.is("case"))
      for (std::size_t j = i + 1; j < k.body_close && !tok(j).is(":"); ++j)
        if (tok(j).is_identifier() && !kTypeWords.count(tok(j).text)) throw Refusal("a case label with a name");
    // A local class: its member functions' returns are not the kernel's.
    if (t.is("struct") || t.is("class") || t.is("union")) throw Refusal("a local class");
    // A local named like a built-in index hides it from what a region
    // computes again.
    if (kBuiltins.count(t.text)) {
      // Declared: a type (type words, a template, or a name opening a
      // statement) right before it, or before a '*' or '&' before it.
      auto type_at = [&](std::size_t j) {
        const Token& u = tok(j);
        if (u.is(">") || (u.is_identifier() && kTypeWords.count(u.text))) return true;
        if (!u.is_identifier() || kStatementKeywords.count(u.text)) return false;
        const Token& v = tok(j - 1);
        return v.is(";") || v.is("{") || v.is("}") || v.is("(") || v.is("::") ||
               (v.is_identifier() && kTypeWords.count(v.text));
      };
      const Token& before = tok(i - 1);
      if (type_at(i - 1) || ((before.is("*") || before.is("&")) && type_at(i - 2)))
        throw Refusal("a variable named like the built-in '" + std::string(t.text) + "'");
    }
    // A reference can change what it names without naming it.
    if ((t.is("&") || t.is("&&")) && reference_declarator(i)) throw Refusal("a local reference");
    // The address of a local or of a parameter would outlive the loop
    // iteration that took it. An element a pointer parameter points to, or
    // shared memory, belongs to no thread.
    if (t.is("&") && unary(i)) {
      const Token& target = tok(i + 1);
      const bool through_pointer = param_names.count(target.text) && (tok(i + 2).is("[") || tok(i + 2).is("->"));
      if (!through_pointer && !shared_names.count(target.text))
        throw Refusal("the address of a variable taken with '&'");
    }
    if (t.is_identifier() && param_names.count(t.text) && !read_only_at(i)) copied.insert(std::string(t.text));
  }
  return copied;
}

// True when the parenthesised group that closes at `close` can be a cast:
// type words, '*', '&', '::' and at most one other name.
bool FileSplitter::cast_group(std::size_t close) const {
  if (!tok(close).is(")")) return false;
  int names = 0;
  for (std::size_t j = partner_[close] + 1; j < close; ++j) {
    const Token& t = tok(j);
    if (t.is_identifier() && kTypeWords.count(t.text)) continue;
    if (t.is("*") || t.is("&") || t.is("::")) continue;
    if (t.is_identifier() && !kStatementKeywords.count(t.text) && ++names == 1) continue;
    return false;
  }
  return partner_[close] + 1 < close;
}

// True when the '*' or '&' at i applies to what follows (a dereference or an
// address) rather than joining two operands; after a group that may be a
// cast, it is taken to apply.
bool FileSplitter::unary(std::size_t i) const {
  return !is_operand_end(i - 1) || cast_group(i - 1);
}

// True when the '&' or '&&' at i makes a reference in a declaration: it
// follows the declaration's type (type words, or a name at the start of a
// statement) and precedes the declared name.
bool FileSplitter::reference_declarator(std::size_t i) const {
  if (!tok(i + 1).is_identifier()) return false;
  const Token& before = tok(i - 1);
  if (before.is(">") || (before.is_identifier() && kTypeWords.count(before.text))) return true;
  if (!before.is_identifier() || kStatementKeywords.count(before.text)) return false;
  const Token& start = tok(i - 2);
  return start.is(";") || start.is("{") || start.is("}") || start.is("::") || start.is("const") ||
         start.is("volatile") || (start.is_identifier() && kTypeWords.count(start.text));
}

// True when the occurrence of a variable at i only reads its value: it is
// an operand of an arithmetic, comparison or logical operator, an index, a
// value copied by '=', cast, dereferenced or negated, a condition, or a
// pointer indexed or followed by '->'. Anything else may change it: an
// assignment or increment, itself or through a member (v.x += 1), its
// address, a reference bound to it (in a call's arguments, in parentheses,
// in a conditional's branch, in braces), a member function called on it.
// Writing through a pointer (*p = v, p[i] = v, p->x = v) changes the
// memory, not the pointer.
bool FileSplitter::read_only_at(std::size_t i) const {
  static const std::set<std::string_view> binary = {"+",  "-",  "*",  "/",  "%",  "<",  ">",  "<=", ">=",
                                                    "==", "!=", "&&", "||", "&",  "|",  "^",  "<<", ">>"};
  const Token& before = tok(i - 1);
  if (before.is(".") || before.is("->") || before.is("::")) return true;  // a member's name, not the variable
  if (before.is("++") || before.is("--")) return false;
  std::size_t end = i + 1;  // past a member chain: v.x.y
  while (tok(end).is(".") && tok(end + 1).is_identifier()) end += 2;
  const Token& after = tok(end);
  const bool pointee = end == i + 1 && (after.is("[") || after.is("->"));
  if (before.is("&") && unary(i - 1)) return pointee;  // &p[i], &p->x: an address in the memory, not of p
  // *p = v writes the memory p points to; *p++ moves p.
  if (before.is("*") && unary(i - 1) && end == i + 1) return !after.is("++") && !after.is("--");
  if (kAssignments.count(after.text)) return false;
  if (end != i + 1) return binary.count(after.text) || after.is("?") || after.is("]") || after.is(";");
  if (binary.count(after.text) || after.is("?") || after.is("[") || after.is("->")) return true;
  if (before.is("=") && initialises_named_type(i - 1)) return false;  // a typedef'd reference may bind
  if (binary.count(before.text) || before.is("=") || before.is("!") || before.is("~") || before.is("return"))
    return true;
  if (before.is("[") && after.is("]")) return true;
  // The whole condition of an if, while or switch.
  if (before.is("(") && after.is(")") && partner_[i + 1] == i - 1 && i >= 2 &&
      (tok(i - 2).is("if") || tok(i - 2).is("while") || tok(i - 2).is("switch")))
    return true;
  if (value_argument(i)) return true;
  // A cast to a built-in type or a pointer makes a copy; a cast to a name
  // might be to a reference.
  if (before.is(")") && cast_group(i - 1)) {
    for (std::size_t j = partner_[i - 1] + 1; j < i - 1; ++j)
      if (!kTypeWords.count(tok(j).text) && !tok(j).is("*")) return false;
    return true;
  }
  return false;
}

// True when the variable at i is a whole argument of a maths function of
// the C library or the device, all of which take their arguments by value.
bool FileSplitter::value_argument(std::size_t i) const {
  static const std::set<std::string_view> by_value = {
      "fmaf",  "fma",   "fabsf", "fabs",  "sqrtf", "sqrt",      "rsqrtf",     "expf",    "exp",       "exp2f",
      "logf",  "log",   "log2f", "powf",  "pow",   "sinf",      "cosf",       "tanf",    "tanhf",     "truncf",
      "floorf", "ceilf", "roundf", "rintf", "copysignf", "fminf", "fmaxf", "__fdividef", "__ex2approxf", "__expf",
      "__logf", "__sinf", "__cosf", "__powf"};
  if (!(tok(i - 1).is("(") || tok(i - 1).is(",")) || !(tok(i + 1).is(")") || tok(i + 1).is(","))) return false;
  std::size_t j = i;  // back to the call's '('
  while (j > 0) {
    const Token& t = tok(j - 1);
    if (t.is(")") || t.is("]") || t.is("}")) {
      j = partner_[j - 1];
      continue;
    }
    if (t.is("("))
      return j >= 2 && by_value.count(tok(j - 2).text) && (j < 3 || !(tok(j - 3).is(".") || tok(j - 3).is("->")));
    if (t.is("[") || t.is("{") || t.is(";")) return false;
    --j;
  }
  return false;
}

// True when the '=' at i initialises a variable declared with a named type
// (a class, or a typedef that may be a reference): the statement opens
// with a name that is no type word, then the declared name.
bool FileSplitter::initialises_named_type(std::size_t i) const {
  if (i < 2 || !tok(i - 1).is_identifier()) return false;
  std::size_t j = i - 1;  // back to the statement's start, over whole groups
  while (j > 0) {
    const Token& t = tok(j - 1);
    if (t.is(")") || t.is("]") || t.is("}")) {
      if (t.is("}")) break;
      j = partner_[j - 1];
      continue;
    }
    if (t.is(";") || t.is("{") || t.is("(") || t.kind == TokenKind::Directive) break;
    --j;
  }
  for (std::size_t t = j; t < i - 1; ++t) {
    if (kTypeWords.count(tok(t).text) || tok(t).is("*") || tok(t).is("::")) continue;
    if (tok(t).is_identifier() && tok(t + 1).is("::")) continue;  // a namespace: std::size_t
    return tok(t).is_identifier() && !kStatementKeywords.count(tok(t).text);
  }
  return false;
}

// True when a use of the variable at i may hand its address on: any use that
// is neither a plain read nor a plain assignment or increment of it.
bool FileSplitter::escapes_at(std::size_t i) const {
  if (read_only_at(i)) return false;
  const Token& before = tok(i - 1);
  if (before.is("++") || before.is("--")) return false;
  return !kAssignments.count(tok(i + 1).text);
}

/// True when the name may hand its address on anywhere in the body.
bool FileSplitter::may_escape(const KernelSite& k, std::string_view name, std::size_t declared_at) const {
  for (std::size_t i = k.body_open + 1; i < k.body_close; ++i)
    if (i != declared_at && tok(i).is_identifier() && tok(i).text == name && escapes_at(i)) return true;
  return false;
}

// True when the name may change anywhere in the body after its declaration
// (the token at declared_at). A same-named variable of an inner scope counts too.
bool FileSplitter::may_change(const KernelSite& k, std::string_view name, std::size_t declared_at) const {
  for (std::size_t i = k.body_open + 1; i < k.body_close; ++i)
    if (i != declared_at && tok(i).is_identifier() && tok(i).text == name && !read_only_at(i)) return true;
  return false;
}



// True when the initialiser gives the same value whenever a region computes
// it again: it reads only the thread's and block's indices, parameters that
// do not change, numeric macros and locals `known` to be such, and calls no
// function and reads no memory.
bool FileSplitter::pure_initialiser(const Declarator& d, const std::set<std::string>& known,
                                    const std::set<std::string>& numeric_macros) const {
  static const std::set<std::string_view> operators = {"+",  "-",  "*",  "/",  "%",  "(",  ")",  "?", ":",
                                                       "<",  ">",  "<=", ">=", "==", "!=", "&&", "||", "!",
                                                       "~",  "&",  "|",  "^",  "<<", ">>", "."};
  if (d.init.empty()) return false;
  for (std::size_t i = d.init_first; i <= d.init_last; ++i) {
    const Token& t = tok(i);
    if (t.kind == TokenKind::Number) continue;
    if (t.kind == TokenKind::Punct) {
      if (!operators.count(t.text)) return false;
      if (t.is(".") && !(i > d.init_first && kBuiltins.count(tok(i - 1).text))) return false;
      if ((t.is("*") || t.is("&")) && unary(i)) return false;  // a dereference or an address
      continue;
    }
    if (!t.is_identifier()) return false;
    if (kTypeWords.count(t.text)) continue;  // a cast
    if (tok(i + 1).is("(") ) return false;     // a call
    if (kBuiltins.count(t.text)) continue;
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

}  // namespace split_barriers::detail
