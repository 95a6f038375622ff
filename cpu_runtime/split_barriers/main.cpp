// split_barriers: writes the C++ translation unit the CPU device compiles for
// one CUDA-dialect source: the source itself, then the other forms of its
// kernels (see splitter.h): the region form of every kernel that can be split
// at its barriers, the row form of every kernel without barriers or shared
// memory.
//
//   split_barriers <source> <output> [--depfile <file>] [--report]
//
// Files the source includes with #include "<name>", found beside the file
// that includes them, are scanned too (the kernel sources, local headers).
// --depfile writes the files read, for the build's dependency tracking;
// --report prints one line per kernel given another form or refused one.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lexer.h"
#include "splitter.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& message) {
  std::cerr << "split_barriers: " << message << "\n";
  std::exit(1);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The quoted name of an #include directive, or empty.
std::string included_name(std::string_view directive) {
  std::size_t i = 1;
  while (i < directive.size() && (directive[i] == ' ' || directive[i] == '\t')) ++i;
  if (directive.substr(i, 7) != "include") return {};
  const std::size_t open = directive.find('"', i + 7);
  if (open == std::string_view::npos) return {};
  const std::size_t close = directive.find('"', open + 1);
  if (close == std::string_view::npos) return {};
  return std::string(directive.substr(open + 1, close - open - 1));
}

// The first word of a directive: "include", "if", "endif", ...
std::string_view directive_word(std::string_view d) {
  std::size_t i = 1;
  while (i < d.size() && (d[i] == ' ' || d[i] == '\t')) ++i;
  std::size_t e = i;
  while (e < d.size() && std::isalpha(static_cast<unsigned char>(d[e]))) ++e;
  return d.substr(i, e - i);
}

// The source and, depth first, the files it includes that are found beside
// it; returns the file's index. A file included under #if/#ifdef (an
// include guard aside) is marked conditional, and so is all it includes.
std::size_t collect(const fs::path& path, bool conditional, std::vector<split_barriers::SourceFile>& files,
                    std::map<fs::path, std::size_t>& seen) {
  const fs::path canonical = fs::weakly_canonical(path);
  if (const auto it = seen.find(canonical); it != seen.end()) {
    files[it->second].conditional = files[it->second].conditional && conditional;
    return it->second;
  }
  const std::size_t index = files.size();
  seen[canonical] = index;
  files.push_back({canonical.string(), read_file(canonical), {}, conditional});
  const std::string text = files[index].text;
  const std::vector<split_barriers::Token> tokens = split_barriers::tokenize(text);
  std::vector<bool> open;  // the #if groups around this point; true unless an include guard
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const split_barriers::Token& t = tokens[i];
    if (t.kind != split_barriers::TokenKind::Directive) continue;
    const std::string_view word = directive_word(t.text);
    if (word == "if" || word == "ifdef" || word == "ifndef") {
      const bool guard = word == "ifndef" && i + 1 < tokens.size() &&
                         tokens[i + 1].kind == split_barriers::TokenKind::Directive &&
                         directive_word(tokens[i + 1].text) == "define";
      open.push_back(!guard);
    } else if (word == "endif" && !open.empty()) {
      open.pop_back();
    }
    const std::string name = included_name(t.text);
    if (name.empty()) continue;
    const fs::path next = canonical.parent_path() / name;
    if (!fs::exists(next)) continue;
    const bool under_if = conditional || std::find(open.begin(), open.end(), true) != open.end();
    const std::size_t child = collect(next, under_if, files, seen);
    files[index].includes.push_back({t.begin, child});
  }
  return index;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  std::string depfile;
  bool report = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--depfile") == 0 && i + 1 < argc) {
      depfile = argv[++i];
    } else if (std::strcmp(argv[i], "--report") == 0) {
      report = true;
    } else if (argv[i][0] == '-') {
      fail(std::string("unknown option '") + argv[i] + "'");
    } else {
      positional.push_back(argv[i]);
    }
  }
  if (positional.size() != 2) fail("usage: split_barriers <source> <output> [--depfile <file>] [--report]");

  std::vector<split_barriers::SourceFile> files;
  std::map<fs::path, std::size_t> seen;
  collect(positional[0], false, files, seen);
  const split_barriers::SplitOutcome outcome = split_barriers::split_translation_unit(files);
  if (report)
    for (const std::string& line : outcome.report) std::cout << line << "\n";

  std::string out = "// Generated by split_barriers from " + files.front().path + "; do not edit.\n";
  out += "#include \"" + files.front().path + "\"\n";
  if (!outcome.code.empty()) out += "\n// Other forms of the kernels above, for the CPU device.\n" + outcome.code;
  {
    std::ofstream o(positional[1], std::ios::binary | std::ios::trunc);
    if (!(o << out) || !o.flush()) fail("cannot write " + positional[1]);
  }
  if (!depfile.empty()) {
    std::ofstream d(depfile, std::ios::trunc);
    d << positional[1] << ":";
    for (const auto& f : files) d << " " << f.path;
    d << "\n";
    if (!d.flush()) fail("cannot write " + depfile);
  }
  return 0;
}
