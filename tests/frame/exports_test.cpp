// The shared library exports the 26 pel functions with C linkage and nothing
// else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> definedSymbols(const std::string& library) {
  std::set<std::string> names;
  std::string command = "nm -D --defined-only " + library + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    char address[64], type[8], name[400];
    if (sscanf(line, "%63s %7s %399s", address, type, name) == 3) names.insert(name);
  }
  pclose(pipe);
  return names;
}

}  // namespace

TEST(Exports, OnlyThePelFunctions) {
  const std::set<std::string> expected = {
      "pelAttach",        "pelRelease",       "pelDriver",        "pelClose",
      "pelAbort",         "pelIntegerParam",  "pelStringParam",   "pelErrorText",
      "pelStatistics",    "pelDebug",         "pelSmtpConnect",   "pelSendEmail",
      "pelVerifyUser",    "pelVerifyFormat",  "pelPop3Connect",   "pelGetEmailCount",
      "pelGetEmailSize",  "pelGetEmailUID",   "pelDeleteEmail",   "pelCommand",
      "pelGetEmailLines", "pelGetEmailFile",  "pelEncodeBuffer",  "pelDecodeBuffer",
      "pelExtractText",   "pelExtractLine",
  };
  std::set<std::string> found = definedSymbols(PEL32_LIBRARY_PATH);
  // The sanitizer runtimes add their own entry points to an instrumented
  // library; only the library's own names count.
  std::set<std::string> own;
  for (const std::string& name : found) {
    if (name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0 ||
        name.rfind("__sanitizer", 0) == 0 || name.rfind("__lsan", 0) == 0) {
      continue;
    }
    own.insert(name);
  }
  EXPECT_EQ(own, expected);
}
