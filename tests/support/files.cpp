#include "support/files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace pel::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pel32-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

std::string maskTicks(const std::string& log) {
  static const std::regex trace(R"(<([ 0-9-]{3,}):-?[0-9]+>)");
  static const std::regex error(R"(ERROR\(-?[0-9]+\))");
  std::string out = std::regex_replace(log, trace, "<$1:T>");
  return std::regex_replace(out, error, "ERROR(T)");
}

}  // namespace pel::test
