// A child's command line and environment block on Windows: text the
// C runtime and CreateProcess read back. Nothing of POSIX here.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "child_win32.h"
#include "tools/child/child_process.h"

namespace {

// |arg| as the C runtime's argument splitting reads it back: backslashes
// are plain characters but before a quote, where each pair is one
// backslash and an odd one makes the quote a plain quote.
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Before a quote the backslashes double and one more escapes it;
    // before anything else they stay as they are.
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  // Before the closing quote they double too.
  quoted.append(2 * backslashes, '\\');
  return quoted + "\"";
}

bool SameNameNoCase(std::string_view entry, const std::string& variable) {
  if (entry.size() <= variable.size() || entry[variable.size()] != '=') return false;
  return std::equal(variable.begin(), variable.end(), entry.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

}  // namespace

std::string WindowsCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) {
    if (!line.empty()) line.push_back(' ');
    line += Quoted(arg);
  }
  return line;
}

std::string ChildEnvironmentBlock(
    const char* parent, const std::vector<std::pair<std::string, std::string>>& settings) {
  std::string block;
  // Entries follow each other, each ended by a NUL; an empty one ends the
  // block. Those that start with '=' (the drives' working folders) have
  // no name to match and are kept.
  for (const char* entry = parent; entry != nullptr && *entry != '\0';
       entry += std::strlen(entry) + 1) {
    const bool replaced = std::any_of(settings.begin(), settings.end(), [&](const auto& setting) {
      return SameNameNoCase(entry, setting.first);
    });
    if (!replaced) block.append(entry).push_back('\0');
  }
  for (const auto& [variable, value] : settings) {
    block.append(variable).append(1, '=').append(value).push_back('\0');
  }
  block.push_back('\0');
  return block;
}
