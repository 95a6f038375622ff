// A tokenizer for CUDA-dialect C++ sources, enough to find kernels, their
// statements and the names they use. Comments and whitespace are dropped;
// a preprocessor directive (with its continuation lines) is one token.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace split_barriers {

enum class TokenKind { Identifier, Number, Literal, Punct, Directive };

struct Token {
  TokenKind kind;
  std::string_view text;
  std::size_t begin;  ///< offset of the first character in the source
  std::size_t end;    ///< offset one past the last character
  int line;           ///< 1-based line of the first character

  bool is(std::string_view s) const { return kind != TokenKind::Literal && text == s; }
  bool is_identifier() const { return kind == TokenKind::Identifier; }
};

/// Splits `source` into tokens. The views point into `source`.
std::vector<Token> tokenize(std::string_view source);

/// The first word of a directive: "include", "if", "endif", ...
std::string_view directive_word(const Token& directive);

/// The #if groups open at each point of a token sequence, fed the tokens in
/// order. An include guard (#ifndef X right before #define X) counts as none.
class ConditionalGroups {
 public:
  /// Takes in token i of `tokens`.
  void see(const std::vector<Token>& tokens, std::size_t i);
  /// True inside a group that is not an include guard.
  bool inside() const;

 private:
  std::vector<bool> open_;  ///< one per open group: true unless an include guard
};

}  // namespace split_barriers
