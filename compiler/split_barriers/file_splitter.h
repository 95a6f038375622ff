// The scanner behind split_barriers: one file's tokens, its kernels, their
// statements and declarations, and the forms generated from them. Internal
// to the tool.
#pragma once

#include <cstddef>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "lexer.h"
#include "splitter.h"

namespace split_barriers::detail {

inline constexpr std::string_view kBarrier = "__syncthreads";
inline constexpr std::string_view kShared = "__shared__";
inline const std::set<std::string_view> kBuiltins = {"threadIdx", "blockIdx", "blockDim", "gridDim"};

// Words that may open a declaration of a variable of a built-in or CUDA
// vector type. A statement that opens with another name followed by a name
// may declare a variable of a type we do not know: such kernels are left alone.
inline const std::set<std::string_view> kTypeWords = {
    "constexpr", "void", "const",    "volatile", "unsigned", "signed",   "short",    "long",     "int",     "char",
    "bool",     "float",    "double",   "size_t",   "auto",     "register", "static",  "extern",
    "__shared__", "int8_t", "int16_t",  "int32_t",  "int64_t",  "uint8_t",  "uint16_t", "uint32_t",
    "uint64_t", "ptrdiff_t", "dim3",    "char1",    "char2",    "char3",    "char4",   "uchar1",
    "uchar2",   "uchar3",   "uchar4",   "short1",   "short2",   "short3",   "short4",  "ushort1",
    "ushort2",  "ushort3",  "ushort4",  "int1",     "int2",     "int3",     "int4",    "uint1",
    "uint2",    "uint3",    "uint4",    "long1",    "long2",    "long3",    "long4",   "ulong1",
    "ulong2",   "ulong3",   "ulong4",   "float1",   "float2",   "float3",   "float4",  "double1",
    "double2",  "double3",  "double4"};

inline const std::set<std::string_view> kStatementKeywords = {
    "if", "else", "for", "while", "do", "switch", "case", "default", "break", "continue", "return"};

inline const std::set<std::string_view> kAssignments = {"=",  "+=", "-=",  "*=",  "/=", "%=",
                                                 "&=", "|=", "^=", "<<=", ">>=", "++", "--"};

// A kernel that steps outside plain per-thread code: warp-level operations
// need threads running side by side, the others jump where a region loop
// cannot follow.
bool forbidden_identifier(std::string_view id);

struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

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
  bool scalar = false;  ///< of type words and '*' only: no members, no operators of its own
  bool is_const = false;  ///< the parameter itself is const
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
  bool pointer = false;      ///< declared with '*'
  bool class_type = false;   ///< of a named type (a class, or a typedef we cannot see through), not a pointer
  bool is_const = false;     ///< the variable itself is const
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
  /// Names a kernel's parameters and body use.
  std::set<std::string_view> kernel_names(const KernelSite& k) const { return names_used(k.params_open, k.body_close); }
  /// The names at namespace scope (outside every function and class body),
  /// with their offsets: what code after a kernel may declare.
  std::vector<std::pair<std::size_t, std::string_view>> namespace_names() const;
  /// Where in the file's text the kernel ends.
  std::size_t end_of(const KernelSite& k) const { return tok(k.body_close).end; }
  /// Where in the file's text the kernel starts.
  std::size_t offset_of(const KernelSite& k) const { return tok(k.params_open).begin; }
  std::size_t count(std::string_view word) const;
  bool directive_mentions(std::string_view word) const;
  std::size_t count_in(const KernelSite& kernel, std::string_view word) const;
  std::string row_form(const KernelSite& kernel) const;
  /// The region form of a kernel with barriers. `check_macros` is given the
  /// kernel's parameter and local names and throws Refusal for a macro it
  /// uses that could reach them unseen.
  std::string split(const KernelSite& kernel, const std::set<std::string>& numeric_macros,
                    const std::function<void(const std::set<std::string>&)>& check_macros);
  bool may_change(const KernelSite& k, std::string_view name, std::size_t declared_at) const;
  bool may_escape(const KernelSite& k, std::string_view name, std::size_t declared_at) const;
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
  bool cast_group(std::size_t close) const;
  bool unary(std::size_t i) const;
  bool reference_declarator(std::size_t i) const;
  bool read_only_at(std::size_t i) const;
  bool initialises_named_type(std::size_t i) const;
  bool escapes_at(std::size_t i) const;
  bool value_argument(std::size_t i) const;

  const SourceFile& file_;
  std::vector<Token> tokens_;
  std::vector<std::size_t> partner_;  ///< matching bracket of each bracket token
};

}  // namespace split_barriers::detail
