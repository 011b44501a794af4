#include "support/mail_servers.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace pel::test {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void notRunning(const std::string& why) {
  throw std::runtime_error(
      "real mail servers are not running: " + why +
      " (ctest starts them through the real_servers fixture, or run "
      "scripts/servers/start.sh DIR and set PEL32_SERVERS_ENV=DIR/servers.env)");
}

MailServers load() {
  const char* path = std::getenv("PEL32_SERVERS_ENV");
  if (path == nullptr || *path == '\0') notRunning("PEL32_SERVERS_ENV is not set");
  std::ifstream in(path);
  if (!in) notRunning(std::string("cannot read ") + path + ": " + std::strerror(errno));

  std::map<std::string, std::string> values;
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  auto value = [&](const char* key) {
    auto it = values.find(key);
    if (it == values.end() || it->second.empty()) {
      notRunning(std::string(path) + " has no " + key);
    }
    return it->second;
  };
  auto port = [&](const char* key) {
    std::string text = value(key);
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || n <= 0 || n > 65535) notRunning(std::string(path) + ": bad " + key);
    return static_cast<int>(n);
  };
  return MailServers{port("SMTP_PORT"),      port("POP3_PORT"), value("POP3_USER"),
                     value("POP3_PASSWORD"), value("MAILDIR"),  value("CAPTURE_DIR")};
}

void removeFilesIn(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

const MailServers& mailServers() {
  // A throwing initialiser leaves the static unset, so every test that needs
  // the servers fails with the same message.
  static const MailServers servers = load();
  return servers;
}

void clearMaildir() {
  const MailServers& servers = mailServers();
  for (const char* sub : {"new", "cur", "tmp"}) removeFilesIn(fs::path(servers.maildir) / sub);
  removeFilesIn(servers.captureDir);
}

void putMessage(const std::string& name, const std::string& bytes) {
  const fs::path maildir = mailServers().maildir;
  // Written in tmp/ and renamed, so the POP3 server never sees half a file.
  const fs::path tmp = maildir / "tmp" / name;
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + tmp.string());
  }
  // One unreadable file breaks the whole mailbox for the mail user.
  fs::permissions(tmp, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::others_read);
  fs::rename(tmp, maildir / "new" / name);
}

std::vector<std::string> capturedMessages() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(mailServers().captureDir)) {
    // Names starting with a dot are captures still being written.
    if (entry.is_regular_file() && entry.path().filename().string().front() != '.') {
      files.push_back(entry.path());
    }
  }
  // The names start with the arrival time, zero-padded.
  std::sort(files.begin(), files.end());
  std::vector<std::string> messages;
  for (const auto& file : files) messages.push_back(readFile(file));
  return messages;
}

}  // namespace pel::test
