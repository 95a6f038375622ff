#include "lexer.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace split_barriers {

namespace {

bool identifier_start(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool identifier_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Longest first, so that "<<=" is not read as "<<" and "=".
// Digraphs (<% for {, ...) are read as tokens of their own, so that a scan
// can tell they are there.
constexpr std::array<std::string_view, 30> kPunctuators = {
    "%:%:", "<<=", ">>=", "...", "->*", "::", "->", "++", "--", "<<", ">>", "<=", ">=", "==", "!=",
    "&&",   "||",  "+=",  "-=",  "*=",  "/=", "%=", "&=", "|=", "^=", "<%", "%>", "<:", ":>", "%:"};

}  // namespace

std::vector<Token> tokenize(std::string_view s) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  int line = 1;
  bool line_start = true;  // only whitespace so far on this line
  auto advance_to = [&](std::size_t end) {
    for (; i < end; ++i)
      if (s[i] == '\n') line++;
  };
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\n') {
      line_start = true;
      advance_to(i + 1);
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    // A backslash ending a line joins it to the next: it separates nothing.
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\n' || (s[i + 1] == '\r' && i + 2 < s.size() && s[i + 2] == '\n'))) {
      advance_to(s[i + 1] == '\n' ? i + 2 : i + 3);
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
      std::size_t end = s.find('\n', i);
      advance_to(end == std::string_view::npos ? s.size() : end);
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      std::size_t end = s.find("*/", i + 2);
      advance_to(end == std::string_view::npos ? s.size() : end + 2);
      continue;
    }
    const std::size_t begin = i;
    const int begin_line = line;
    TokenKind kind;
    if (c == '#' && line_start) {
      // To the end of the line, following backslash continuations.
      std::size_t end = i;
      while (end < s.size() && s[end] != '\n') {
        if (s[end] == '\\' && end + 1 < s.size() && s[end + 1] == '\n') ++end;
        ++end;
      }
      advance_to(end);
      kind = TokenKind::Directive;
    } else if (identifier_start(c)) {
      while (i < s.size() && identifier_char(s[i])) ++i;
      kind = TokenKind::Identifier;
      // A raw string: R"delim( ... )delim", with an optional encoding prefix.
      const std::string_view word = s.substr(begin, i - begin);
      const bool raw = word == "R" || word == "u8R" || word == "uR" || word == "UR" || word == "LR";
      if (raw && i < s.size() && s[i] == '"') {
        const std::size_t open = s.find('(', i);
        const std::string close = ")" + std::string(s.substr(i + 1, open == std::string_view::npos ? 0 : open - i - 1)) + "\"";
        const std::size_t end = open == std::string_view::npos ? std::string_view::npos : s.find(close, open);
        advance_to(end == std::string_view::npos ? s.size() : end + close.size());
        kind = TokenKind::Literal;
      }
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      // A preprocessing number: digits, letters, dots, digit separators and
      // signed exponents (1e-5, 0x1p+3).
      ++i;
      while (i < s.size()) {
        const char d = s[i];
        if ((d == '+' || d == '-') && (s[i - 1] == 'e' || s[i - 1] == 'E' || s[i - 1] == 'p' || s[i - 1] == 'P')) {
          ++i;
        } else if (identifier_char(d) || d == '.' || d == '\'') {
          ++i;
        } else {
          break;
        }
      }
      kind = TokenKind::Number;
    } else if (c == '"' || c == '\'') {
      ++i;
      while (i < s.size() && s[i] != c && s[i] != '\n') i += (s[i] == '\\') ? 2 : 1;
      if (i < s.size() && s[i] == c) ++i;
      kind = TokenKind::Literal;
    } else {
      std::size_t length = 1;
      for (std::string_view p : kPunctuators) {
        if (s.substr(i, p.size()) == p) {
          length = p.size();
          break;
        }
      }
      i += length;
      kind = TokenKind::Punct;
    }
    line_start = false;
    tokens.push_back(Token{kind, s.substr(begin, i - begin), begin, i, begin_line});
  }
  return tokens;
}

std::string_view directive_word(const Token& directive) {
  const std::string_view d = directive.text;
  std::size_t i = 1;
  while (i < d.size() && (d[i] == ' ' || d[i] == '\t')) ++i;
  std::size_t e = i;
  while (e < d.size() && std::isalpha(static_cast<unsigned char>(d[e]))) ++e;
  return d.substr(i, e - i);
}

void ConditionalGroups::see(const std::vector<Token>& tokens, std::size_t i) {
  if (tokens[i].kind != TokenKind::Directive) return;
  const std::string_view word = directive_word(tokens[i]);
  if (word == "if" || word == "ifdef" || word == "ifndef") {
    const bool guard = word == "ifndef" && i + 1 < tokens.size() && tokens[i + 1].kind == TokenKind::Directive &&
                       directive_word(tokens[i + 1]) == "define";
    open_.push_back(!guard);
  } else if (word == "endif" && !open_.empty()) {
    open_.pop_back();
  }
}

bool ConditionalGroups::inside() const { return std::find(open_.begin(), open_.end(), true) != open_.end(); }

}  // namespace split_barriers
