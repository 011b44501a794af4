// Real files for tests: a temporary directory that removes itself, reading a
// file back whole, and masking the tick counts of a log.
#pragma once

#include <string>

namespace pel::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole file, or an empty text when it cannot be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

// Replaces the tick counts of "<%3d:%ld>" trace lines and "ERROR(%ld)" lines
// by "T", so that a log can be compared byte for byte.
std::string maskTicks(const std::string& log);

}  // namespace pel::test
