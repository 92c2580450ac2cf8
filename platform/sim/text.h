// Small text helpers of the simulated machine (8-bit texts, compared the way the platform compares names).
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace sim {

inline char upperChar(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

inline std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), upperChar);
  return text;
}

inline bool iequals(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return upperChar(x) == upperChar(y);
         });
}

// Blanks and tabs (and a stray carriage return) at both ends removed.
inline std::string trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  auto last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

inline std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  if (text.empty()) return parts;
  size_t start = 0;
  for (;;) {
    auto at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return parts;
}

// Copies text with its terminator into a caller's buffer of `size` characters, cut to fit.
// Returns the number of characters copied without the terminator.
inline size_t copyCut(const std::string& text, char* buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  size_t n = std::min(text.size(), size - 1);
  std::copy_n(text.data(), n, buffer);
  buffer[n] = '\0';
  return n;
}

}  // namespace sim
