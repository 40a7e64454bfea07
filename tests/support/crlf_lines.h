#pragma once

#include <string>
#include <vector>

// The lines of a program's output, each without the CR LF that ends it. Text after the
// last CR LF is not a line.
inline std::vector<std::string> CrLfLines(const std::string& output) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(output.substr(start, end - start));
  }
  return lines;
}
