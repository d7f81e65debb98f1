// Whole-file reads and writes for tests.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace QxTest {

// ReadFile returns the file's bytes (empty when it cannot be read).
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// WriteFile replaces the file's bytes with bytes.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace QxTest
