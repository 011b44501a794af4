// pelmail: send, list and fetch mail from the command line with pel32.
//
// The tool switches the library's self-driving off (integer parameter 9) on
// every channel it uses and drives all of them from one loop around
// pelDriver. That loop is what lets it print a progress line while a long
// attachment goes out or a large message comes in, and what lets
// `fetch --parallel N` run N POP3 sessions side by side from one thread.
//
// It uses nothing but the public header and the standard library.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "pel32.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The library keeps message and attachment paths in 128-character fields.
constexpr size_t kPathLimit = 128;
// Room left for an attachment's own name after its directory.
constexpr size_t kAttachNameRoom = 32;
constexpr int kMaxChannels = 128;
constexpr int32_t kNotDue = 9999;

const char kUsage[] =
    "usage:\n"
    "  pelmail send  --server HOST[:PORT] --from '<a@b>' --to LIST [--cc LIST]\n"
    "                [--bcc LIST] [--subject S] [--text TEXT | --text-file FILE]\n"
    "                [--attach PATH[|NAME],...] [--html] [--log FILE]\n"
    "  pelmail list  --server HOST[:PORT] --user U --password P [--log FILE]\n"
    "  pelmail fetch --server HOST[:PORT] --user U --password P --dir DIR\n"
    "                [--attachments DIR] [--message N] [--delete] [--parallel N]\n"
    "                [--log FILE]\n"
    "  pelmail --help\n"
    "\n"
    "send    sends one message through an SMTP server (default port 25).\n"
    "list    prints the number of messages in a POP3 mailbox (default port 110),\n"
    "        then one line per message: its number, its size in bytes and its\n"
    "        unique id.\n"
    "fetch   fetches messages from a POP3 mailbox, each into DIR/N.eml (N is the\n"
    "        message number), with every attachment decoded into a file of its\n"
    "        own under ATTACHMENTS/N/, and prints the saved file names.\n"
    "\n"
    "options:\n"
    "  --server HOST[:PORT]   the server's name or dotted IPv4 address, and its\n"
    "                         port when it is not the protocol's standard one\n"
    "  --from '<a@b>'         sender: optional display text, then the address in\n"
    "                         angle brackets (send)\n"
    "  --to LIST              recipients, items separated by ',', each an address in\n"
    "                         angle brackets with optional display text before it\n"
    "  --cc LIST              copy recipients, named in a CC header line\n"
    "  --bcc LIST             blind copy recipients, named in no header line\n"
    "  --subject S            the Subject header line\n"
    "  --text TEXT            the message text (LF or CR LF between lines); a text\n"
    "                         beginning with '@' names a file, as --text-file does\n"
    "  --text-file FILE       take the message text from FILE\n"
    "  --attach PATH[|NAME],...\n"
    "                         files to attach, separated by ','; each is announced\n"
    "                         under its file name, or under NAME when '|NAME'\n"
    "                         follows the path\n"
    "  --html                 send the text as text/html (quoted-printable)\n"
    "  --user U               POP3 user name (list, fetch)\n"
    "  --password P           POP3 password (list, fetch)\n"
    "  --dir DIR              directory for the fetched messages; it is created\n"
    "                         when missing (fetch)\n"
    "  --attachments DIR      directory for the decoded attachments, one\n"
    "                         subdirectory per message; default: the --dir one\n"
    "  --message N            fetch message N only; default: every message\n"
    "  --delete               delete each message from the mailbox once it has\n"
    "                         been fetched (the server removes it at the end of\n"
    "                         the session)\n"
    "  --parallel N           fetch with N POP3 sessions side by side, all driven\n"
    "                         from one thread; 1 to 128, default 1\n"
    "  --log FILE             write the library's protocol log of channel 0 to\n"
    "                         FILE, and that of channel C to FILE.C\n"
    "  --quiet                print no progress lines\n"
    "  --stats                at the end, print how the drive loop spent its\n"
    "                         time (driver calls, steps not due, idle sleeps)\n"
    "  --poll-ms MS           the library's sleep between two looks of its wait\n"
    "                         loops (integer parameter 13); default 1, so that a\n"
    "                         channel waiting inside a step holds up the others\n"
    "                         for at most about that long\n"
    "  --help                 print this text\n"
    "\n"
    "Directory and file paths must stay within 128 characters, the library's\n"
    "limit for the paths it writes; use relative paths for deep directories.\n"
    "The exit status is 0 on success, 1 when the library reported an error (its\n"
    "text is printed), 2 for a wrong command line.\n";

struct Options {
  std::string command;
  std::string host;
  int port = 0;
  std::string from, to, cc, bcc, subject, text, textFile, attach;
  bool html = false;
  std::string user, password, dir, attachDir;
  int message = 0;
  bool remove = false;
  int parallel = 1;
  std::string log;
  bool quiet = false;
  bool stats = false;
  int pollMs = 1;
};

// A failure the command line causes: printed with the usage hint, exit 2.
struct UsageError {
  std::string text;
};

// A failure the library or the file system reports: printed, exit 1.
struct RunError {
  std::string text;
};

std::string trimLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

std::string errorText(int32_t chan, int32_t code) {
  char buffer[512];
  int32_t n = pelErrorText(chan, code, buffer, static_cast<int32_t>(sizeof buffer));
  std::string text = n > 0 ? trimLineEnd(std::string(buffer, static_cast<size_t>(n))) : "";
  if (text.empty()) text = "unknown error";
  return text + " (" + std::to_string(code) + ")";
}

[[noreturn]] void failWith(int32_t chan, const std::string& what, int32_t code) {
  throw RunError{what + ": " + errorText(chan, code)};
}

int parseNumber(const std::string& option, const std::string& text, int low, int high) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
    throw UsageError{option + " needs a number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not '" + text + "'"};
  }
  return static_cast<int>(value);
}

void parseServer(const std::string& text, Options& o) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    o.host = text;
    return;
  }
  o.host = text.substr(0, colon);
  o.port = parseNumber("--server", text.substr(colon + 1), 1, 65535);
}

Options parseArgs(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      o.command = "help";
      return o;
    }
  }
  if (args.empty()) throw UsageError{"no command given"};
  o.command = args[0];
  if (o.command != "send" && o.command != "list" && o.command != "fetch") {
    throw UsageError{"unknown command '" + o.command + "'"};
  }
  bool serverSeen = false;
  for (size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
      return args[++i];
    };
    auto flag = [&]() {
      if (inlineValue) throw UsageError{name + " takes no value"};
    };
    if (name == "--server") {
      parseServer(value(), o);
      serverSeen = true;
    } else if (name == "--from") {
      o.from = value();
    } else if (name == "--to") {
      o.to = value();
    } else if (name == "--cc") {
      o.cc = value();
    } else if (name == "--bcc") {
      o.bcc = value();
    } else if (name == "--subject") {
      o.subject = value();
    } else if (name == "--text") {
      o.text = value();
    } else if (name == "--text-file") {
      o.textFile = value();
    } else if (name == "--attach") {
      o.attach = value();
    } else if (name == "--html") {
      flag();
      o.html = true;
    } else if (name == "--user") {
      o.user = value();
    } else if (name == "--password") {
      o.password = value();
    } else if (name == "--dir") {
      o.dir = value();
    } else if (name == "--attachments") {
      o.attachDir = value();
    } else if (name == "--message") {
      o.message = parseNumber(name, value(), 1, INT32_MAX);
    } else if (name == "--delete") {
      flag();
      o.remove = true;
    } else if (name == "--parallel") {
      o.parallel = parseNumber(name, value(), 1, kMaxChannels);
    } else if (name == "--log") {
      o.log = value();
    } else if (name == "--quiet") {
      flag();
      o.quiet = true;
    } else if (name == "--stats") {
      flag();
      o.stats = true;
    } else if (name == "--poll-ms") {
      o.pollMs = parseNumber(name, value(), 0, 1000);
    } else {
      throw UsageError{"unknown option '" + args[i] + "'"};
    }
  }
  if (!serverSeen || o.host.empty()) throw UsageError{"--server is required"};
  if (o.command == "send") {
    if (o.from.empty()) throw UsageError{"send needs --from"};
    if (o.to.empty()) throw UsageError{"send needs --to"};
    if (!o.text.empty() && !o.textFile.empty()) {
      throw UsageError{"give either --text or --text-file, not both"};
    }
  } else {
    if (o.user.empty()) throw UsageError{o.command + " needs --user"};
    if (o.password.empty()) throw UsageError{o.command + " needs --password"};
  }
  if (o.command == "fetch") {
    if (o.dir.empty()) throw UsageError{"fetch needs --dir"};
    if (o.attachDir.empty()) o.attachDir = o.dir;
    while (o.dir.size() > 1 && o.dir.back() == '/') o.dir.pop_back();
    while (o.attachDir.size() > 1 && o.attachDir.back() == '/') o.attachDir.pop_back();
  }
  return o;
}

std::string humanBytes(double bytes) {
  const char* units[] = {"B", "KB", "MB", "GB"};
  int u = 0;
  while (bytes >= 1024.0 && u < 3) {
    bytes /= 1024.0;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return text;
}

// One progress line on standard error, rewritten in place on a terminal ten
// times a second, and printed as a line of its own once a second otherwise.
class Progress {
 public:
  explicit Progress(bool quiet) : quiet_(quiet), tty_(isTerminal()) {}

  // True when a new line may be shown now; the caller composes the line
  // only then, so that a busy loop does not format text it never prints.
  bool due() {
    if (quiet_) return false;
    Clock::time_point now = Clock::now();
    if (!started_) {
      // Off a terminal, work that ends within the first interval prints no
      // progress at all.
      started_ = true;
      last_ = tty_ ? now - kTtyInterval : now;
    }
    return now - last_ >= (tty_ ? kTtyInterval : kLogInterval);
  }

  void update(const std::string& line) {
    if (quiet_) return;
    last_ = Clock::now();
    if (line.empty() || line == shown_) return;
    shown_ = line;
    if (tty_) {
      std::fprintf(stderr, "\r%-78s", line.c_str());
      pending_ = true;
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
  }

  // Ends a line rewritten in place, before other output.
  void finish() {
    if (pending_) std::fprintf(stderr, "\n");
    pending_ = false;
    started_ = false;
    shown_.clear();
  }

 private:
  static bool isTerminal() {
    const char* term = std::getenv("TERM");
    // Standard error is a terminal when it is a character device; the check
    // goes through the file system so that only the standard library is used.
    std::error_code ec;
    fs::file_status st = fs::status("/proc/self/fd/2", ec);
    return !ec && st.type() == fs::file_type::character && term && std::strcmp(term, "dumb");
  }

  static constexpr std::chrono::milliseconds kTtyInterval{100};
  static constexpr std::chrono::milliseconds kLogInterval{1000};
  bool quiet_;
  bool tty_;
  bool started_ = false;
  bool pending_ = false;
  std::string shown_;
  Clock::time_point last_{};
};

std::string percentText(int64_t done, int64_t total) {
  if (total <= 0) return humanBytes(static_cast<double>(done));
  int64_t shown = std::min(done, total);
  int pct = static_cast<int>(shown * 100 / total);
  return humanBytes(static_cast<double>(shown)) + " of " + humanBytes(static_cast<double>(total)) +
         " (" + std::to_string(pct) + "%)";
}

// The work of one channel: a queue of operations run one after another.
// start() arms the next operation with the library (returning its argument
// check result), finished() is told when the driver has brought it to 0.
class Job {
 public:
  explicit Job(int32_t chan) : chan_(chan) {}
  virtual ~Job() = default;
  int32_t chan() const { return chan_; }
  // Arms the next operation. Returns false when the job has nothing more to
  // do. Throws RunError when the library refuses the operation's arguments.
  virtual bool start() = 0;
  // The armed operation has ended with driver result 0.
  virtual void finished() = 0;
  // What the armed operation is, for error messages.
  virtual std::string what() const = 0;
  // A short progress text for this channel, or empty.
  virtual std::string progress() const { return ""; }

 protected:
  void armed(int32_t result, const std::string& operation) {
    if (result < 0) failWith(chan_, operation, result);
  }
  int32_t chan_;
};

struct LoopStats {
  int64_t driverCalls = 0;
  int64_t notDue = 0;
  int64_t rounds = 0;
  int64_t idleRounds = 0;
  double idleSleepMs = 0;
  double wallMs = 0;
};

// Drives every job's channel one step per round until all jobs are done.
// A round in which no channel got anywhere (every call was not due yet, or
// repeated a state that waits for the server without any byte counter
// moving) sleeps a millisecond instead of spinning. Jobs may be added while
// the loop runs; they start at the end of the round.
class DriveLoop {
 public:
  DriveLoop(Progress& progress, LoopStats& stats) : progress_(progress), stats_(stats) {}

  void add(std::unique_ptr<Job> job) { pending_.push_back(std::move(job)); }

  // Runs until every job has finished; throws RunError on the first failure.
  // `summary`, when given, composes the progress line after every round.
  void run(const std::function<std::string()>& summary = nullptr) {
    Clock::time_point begin = Clock::now();
    startPending();
    for (;;) {
      bool anyActive = false;
      bool moved = false;
      ++stats_.rounds;
      for (Slot& s : slots_) {
        if (!s.active) continue;
        anyActive = true;
        int32_t chan = s.job->chan();
        int32_t r = pelDriver(chan);
        ++stats_.driverCalls;
        if (r == kNotDue) {
          ++stats_.notDue;
          continue;
        }
        if (r < 0) {
          progress_.finish();
          failWith(chan, s.job->what(), r);
        }
        int64_t counters = static_cast<int64_t>(pelStatistics(chan, 12)) +
                           static_cast<int64_t>(pelStatistics(chan, 15));
        if (r != s.lastResult || counters != s.lastCounters) moved = true;
        s.lastResult = r;
        s.lastCounters = counters;
        if (r == 0) {
          s.job->finished();
          s.active = s.job->start();
          s.lastResult = -1;
        }
      }
      if (!pending_.empty()) {
        startPending();
        moved = anyActive = true;
      }
      if (!anyActive) break;
      if (summary && progress_.due()) progress_.update(summary());
      if (!moved) {
        ++stats_.idleRounds;
        Clock::time_point t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stats_.idleSleepMs += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
      }
    }
    progress_.finish();
    stats_.wallMs += std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  }

 private:
  struct Slot {
    std::unique_ptr<Job> job;
    bool active = false;
    int32_t lastResult = -1;
    int64_t lastCounters = -1;
  };

  void startPending() {
    std::vector<std::unique_ptr<Job>> now;
    now.swap(pending_);
    for (std::unique_ptr<Job>& job : now) {
      Slot slot;
      slot.job = std::move(job);
      slot.active = slot.job->start();
      slots_.push_back(std::move(slot));
    }
  }

  Progress& progress_;
  LoopStats& stats_;
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<Job>> pending_;
};

// Attaches the library for `channels` channels, all driven by the
// application, and releases it again when it goes out of scope.
class Library {
 public:
  Library(int32_t channels, const Options& o) {
    int32_t r = pelAttach(channels);
    if (r < 0) throw RunError{"cannot attach the library (" + std::to_string(r) + ")"};
    for (int32_t c = 0; c < channels; ++c) {
      pelIntegerParam(c, PARAM_DRIVE_IN_CALL, 0);
      if (!o.log.empty()) {
        std::string path = c == 0 ? o.log : o.log + "." + std::to_string(c);
        if (pelStringParam(c, STRPARAM_OPEN_LOG, path.c_str()) < 0) {
          pelRelease();
          throw RunError{"cannot create the log file " + path};
        }
      }
    }
    pelIntegerParam(0, PARAM_POLL_SLEEP_MS, o.pollMs);
  }
  ~Library() { pelRelease(); }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
};

void printStats(const Options& o, const LoopStats& s) {
  if (!o.stats) return;
  std::fprintf(stderr,
               "drive loop: %.0f ms, %lld rounds, %lld driver calls (%lld not due), "
               "%lld idle rounds sleeping %.0f ms\n",
               s.wallMs, static_cast<long long>(s.rounds), static_cast<long long>(s.driverCalls),
               static_cast<long long>(s.notDue), static_cast<long long>(s.idleRounds),
               s.idleSleepMs);
}

// ---------------------------------------------------------------- send

int64_t attachmentBytes(const std::string& list) {
  int64_t total = 0;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    std::string entry =
        list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    std::string path = entry.substr(0, entry.find('|'));
    std::error_code ec;
    uintmax_t size = fs::file_size(path, ec);
    if (!ec) total += static_cast<int64_t>(size);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return total;
}

class SendJob : public Job {
 public:
  SendJob(const Options& o) : Job(0), o_(o) {
    if (!o.attach.empty()) attachTotal_ = attachmentBytes(o.attach);
    if (!o.textFile.empty()) {
      std::error_code ec;
      uintmax_t size = fs::file_size(o.textFile, ec);
      if (!ec) textTotal_ = static_cast<int64_t>(size);
    }
  }

  bool start() override {
    switch (step_) {
      case 0:
        pelIntegerParam(chan_, PARAM_SMTP_SERVER_PORT, o_.port ? o_.port : 25);
        armed(pelSmtpConnect(chan_, o_.host.c_str(), o_.from.c_str(), nullptr), what());
        return true;
      case 1: {
        if (o_.html) pelIntegerParam(chan_, PARAM_BODY_KIND, 2);
        std::string text = o_.textFile.empty() ? o_.text : "@" + o_.textFile;
        auto opt = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
        armed(pelSendEmail(chan_, o_.to.c_str(), opt(o_.cc), opt(o_.bcc), opt(o_.subject),
                           opt(text), opt(o_.attach)),
              what());
        return true;
      }
      case 2:
        armed(pelClose(chan_), what());
        return true;
      default:
        return false;
    }
  }

  void finished() override {
    if (step_ == 1) {
      char reply[256];
      pelDebug(chan_, 23, reply, static_cast<int32_t>(sizeof reply));
      serverReply_ = trimLineEnd(reply);
      textSent_ = pelStatistics(chan_, 13);
      encodedSent_ = pelStatistics(chan_, 14);
      attachRead_ = pelStatistics(chan_, 11);
    }
    ++step_;
  }

  std::string what() const override {
    switch (step_) {
      case 0:
        return "connecting to SMTP server " + o_.host;
      case 1:
        return "sending the message";
      default:
        return "closing the SMTP connection";
    }
  }

  std::string progress() const override {
    if (step_ == 0) return "connecting to " + o_.host + " ...";
    if (step_ != 1) return "closing ...";
    int64_t text = pelStatistics(chan_, 10);
    int64_t files = pelStatistics(chan_, 11);
    if (attachTotal_ > 0 && (files > 0 || text >= textTotal_)) {
      return "sending attachments: " + percentText(files, attachTotal_);
    }
    if (textTotal_ > 0) return "sending text: " + percentText(text, textTotal_);
    return "sending: " + humanBytes(static_cast<double>(pelStatistics(chan_, 15))) + " sent";
  }

  void report() const {
    std::printf("sent: %lld text bytes, %lld attachment bytes read, %lld encoded bytes sent\n",
                static_cast<long long>(textSent_), static_cast<long long>(attachRead_),
                static_cast<long long>(encodedSent_));
    std::printf("server: %s\n", serverReply_.c_str());
  }

 private:
  const Options& o_;
  int step_ = 0;
  int64_t attachTotal_ = 0;
  int64_t textTotal_ = 0;
  int64_t textSent_ = 0, encodedSent_ = 0, attachRead_ = 0;
  std::string serverReply_;
};

int runSend(const Options& o) {
  Progress progress(o.quiet);
  LoopStats stats;
  Library lib(1, o);
  DriveLoop loop(progress, stats);
  auto job = std::make_unique<SendJob>(o);
  SendJob* send = job.get();
  loop.add(std::move(job));
  loop.run([send] { return send->progress(); });
  progress.finish();
  send->report();
  printStats(o, stats);
  return 0;
}

// ---------------------------------------------------------------- POP3

void startPop3Connect(int32_t chan, const Options& o) {
  pelIntegerParam(chan, PARAM_POP3_SERVER_PORT, o.port ? o.port : 110);
  int32_t r = pelPop3Connect(chan, o.host.c_str(), o.user.c_str(), o.password.c_str());
  if (r < 0) failWith(chan, "connecting to POP3 server " + o.host, r);
}

std::string uidFromReply(const char* reply) {
  // "+OK 3 uid" CR LF: the id is the third word.
  std::string line = trimLineEnd(reply);
  if (line.rfind("+OK", 0) != 0) return "-";
  size_t a = line.find(' ');
  size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
  if (b == std::string::npos) return "-";
  std::string uid = line.substr(b + 1);
  return uid.empty() ? "-" : uid;
}

class ListJob : public Job {
 public:
  ListJob(const Options& o) : Job(0), o_(o) {}

  bool start() override {
    switch (phase_) {
      case Phase::kConnect:
        startPop3Connect(chan_, o_);
        return true;
      case Phase::kCount:
        armed(pelGetEmailCount(chan_), what());
        return true;
      case Phase::kSize:
        armed(pelGetEmailSize(chan_, current_), what());
        return true;
      case Phase::kUid:
        uid_[0] = '\0';
        armed(pelGetEmailUID(chan_, current_, uid_, static_cast<int32_t>(sizeof uid_)), what());
        return true;
      case Phase::kClose:
        armed(pelClose(chan_), what());
        return true;
      case Phase::kDone:
        return false;
    }
    return false;
  }

  void finished() override {
    switch (phase_) {
      case Phase::kConnect:
        phase_ = Phase::kCount;
        break;
      case Phase::kCount:
        count_ = pelStatistics(chan_, 17);
        std::printf("%d message%s\n", count_, count_ == 1 ? "" : "s");
        current_ = 1;
        phase_ = count_ > 0 ? Phase::kSize : Phase::kClose;
        break;
      case Phase::kSize:
        size_ = pelStatistics(chan_, 18);
        phase_ = Phase::kUid;
        break;
      case Phase::kUid:
        std::printf("%d %d %s\n", current_, size_, uidFromReply(uid_).c_str());
        ++current_;
        phase_ = current_ <= count_ ? Phase::kSize : Phase::kClose;
        break;
      case Phase::kClose:
        phase_ = Phase::kDone;
        break;
      case Phase::kDone:
        break;
    }
  }

  std::string what() const override {
    switch (phase_) {
      case Phase::kConnect:
        return "connecting to POP3 server " + o_.host;
      case Phase::kCount:
        return "counting the messages";
      case Phase::kSize:
      case Phase::kUid:
        return "listing message " + std::to_string(current_);
      default:
        return "closing the POP3 session";
    }
  }

 private:
  enum class Phase { kConnect, kCount, kSize, kUid, kClose, kDone };
  const Options& o_;
  Phase phase_ = Phase::kConnect;
  int32_t count_ = 0;
  int32_t current_ = 0;
  int32_t size_ = 0;
  char uid_[256] = {};
};

int runList(const Options& o) {
  Progress progress(true);
  LoopStats stats;
  Library lib(1, o);
  DriveLoop loop(progress, stats);
  loop.add(std::make_unique<ListJob>(o));
  loop.run();
  std::fflush(stdout);
  printStats(o, stats);
  return 0;
}

// The messages still to fetch, shared by every channel of a fetch, and the
// decision how many channels are worth opening once the count is known.
struct FetchPlan {
  std::deque<int32_t> queue;
  int32_t count = 0;
  int fetched = 0;
  // Called by channel 0 once it has counted and filled the queue.
  std::function<void()> counted;
};

class FetchJob : public Job {
 public:
  FetchJob(int32_t chan, const Options& o, FetchPlan& plan) : Job(chan), o_(o), plan_(plan) {}

  bool start() override {
    switch (phase_) {
      case Phase::kConnect:
        startPop3Connect(chan_, o_);
        return true;
      case Phase::kCount:
        armed(pelGetEmailCount(chan_), what());
        return true;
      case Phase::kNext:
        if (plan_.queue.empty()) {
          phase_ = Phase::kClose;
          return start();
        }
        current_ = plan_.queue.front();
        plan_.queue.pop_front();
        phase_ = Phase::kSize;
        return start();
      case Phase::kSize:
        armed(pelGetEmailSize(chan_, current_), what());
        return true;
      case Phase::kFile: {
        std::string name = std::to_string(current_) + ".eml";
        messagePath_ = o_.dir + "/" + name;
        attachPath_ = o_.attachDir + "/" + std::to_string(current_);
        std::error_code ec;
        fs::create_directories(attachPath_, ec);
        if (ec) throw RunError{"cannot create directory " + attachPath_ + ": " + ec.message()};
        armed(pelGetEmailFile(chan_, current_, name.c_str(), o_.dir.c_str(), attachPath_.c_str()),
              what());
        return true;
      }
      case Phase::kDelete:
        armed(pelDeleteEmail(chan_, current_), what());
        return true;
      case Phase::kClose:
        armed(pelClose(chan_), what());
        return true;
      case Phase::kDone:
        return false;
    }
    return false;
  }

  void finished() override {
    switch (phase_) {
      case Phase::kConnect:
        phase_ = chan_ == 0 ? Phase::kCount : Phase::kNext;
        break;
      case Phase::kCount:
        plan_.count = pelStatistics(chan_, 17);
        if (o_.message > 0) {
          if (o_.message > plan_.count) {
            throw RunError{"message " + std::to_string(o_.message) + ": the mailbox holds " +
                           std::to_string(plan_.count) + " message(s)"};
          }
          plan_.queue.push_back(o_.message);
        } else {
          for (int32_t m = 1; m <= plan_.count; ++m) plan_.queue.push_back(m);
        }
        std::printf("%d message%s in the mailbox, fetching %zu\n", plan_.count,
                    plan_.count == 1 ? "" : "s", plan_.queue.size());
        std::fflush(stdout);
        phase_ = Phase::kNext;
        if (plan_.counted) plan_.counted();
        break;
      case Phase::kSize:
        size_ = pelStatistics(chan_, 18);
        phase_ = Phase::kFile;
        break;
      case Phase::kFile:
        reportMessage();
        ++plan_.fetched;
        phase_ = o_.remove ? Phase::kDelete : Phase::kNext;
        break;
      case Phase::kDelete:
        phase_ = Phase::kNext;
        break;
      case Phase::kClose:
        phase_ = Phase::kDone;
        break;
      default:
        break;
    }
  }

  std::string what() const override {
    switch (phase_) {
      case Phase::kConnect:
        return "connecting to POP3 server " + o_.host;
      case Phase::kCount:
        return "counting the messages";
      case Phase::kSize:
      case Phase::kFile:
        return "fetching message " + std::to_string(current_);
      case Phase::kDelete:
        return "deleting message " + std::to_string(current_);
      default:
        return "closing the POP3 session";
    }
  }

  std::string progress() const override {
    if (phase_ != Phase::kFile) return "";
    int64_t got = pelStatistics(chan_, 12);
    return "#" + std::to_string(current_) + " " + percentText(got, size_);
  }

  // Sets the printer that ends the progress line before a report line.
  void setProgress(Progress* p) { progressLine_ = p; }

 private:
  void reportMessage() {
    if (progressLine_) progressLine_->finish();
    char names[1024];
    pelDebug(chan_, 29, names, static_cast<int32_t>(sizeof names));
    int32_t saved = pelStatistics(chan_, 22);
    std::printf("message %d: %s (%d bytes)\n", current_, messagePath_.c_str(), size_);
    std::string list = names;
    size_t start = 0;
    int shown = 0;
    while (!list.empty() && start <= list.size()) {
      size_t comma = list.find(',', start);
      std::string name =
          list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      if (!name.empty()) {
        std::printf("  attachment: %s/%s\n", attachPath_.c_str(), name.c_str());
        ++shown;
      }
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (saved > shown) {
      std::printf("  (%d more attachment%s saved, names not listed)\n", saved - shown,
                  saved - shown == 1 ? "" : "s");
    }
    std::fflush(stdout);
  }

  enum class Phase { kConnect, kCount, kNext, kSize, kFile, kDelete, kClose, kDone };
  const Options& o_;
  FetchPlan& plan_;
  Phase phase_ = Phase::kConnect;
  int32_t current_ = 0;
  int32_t size_ = 0;
  std::string messagePath_, attachPath_;
  Progress* progressLine_ = nullptr;
};

void checkPathRoom(const Options& o) {
  // N.eml with a number of up to ten digits.
  if (o.dir.size() + 1 + 14 > kPathLimit) {
    throw RunError{"--dir " + o.dir + " is too long: the library keeps message paths of at most " +
                   std::to_string(kPathLimit) + " characters"};
  }
  if (o.attachDir.size() + 12 + kAttachNameRoom > kPathLimit) {
    throw RunError{"--attachments " + o.attachDir +
                   " is too long: the library keeps attachment paths of at most " +
                   std::to_string(kPathLimit) + " characters"};
  }
}

int runFetch(const Options& o) {
  checkPathRoom(o);
  std::error_code ec;
  fs::create_directories(o.dir, ec);
  if (ec) throw RunError{"cannot create directory " + o.dir + ": " + ec.message()};

  Progress progress(o.quiet);
  LoopStats stats;
  Library lib(o.parallel, o);
  FetchPlan plan;
  std::vector<FetchJob*> jobs;
  DriveLoop loop(progress, stats);

  auto addJob = [&](int32_t chan) {
    auto job = std::make_unique<FetchJob>(chan, o, plan);
    job->setProgress(&progress);
    jobs.push_back(job.get());
    loop.add(std::move(job));
  };
  // Channel 0 logs in and counts first; the other sessions are opened once
  // it is known how many of them have a message to fetch (each session that
  // is opened for nothing would cost a login and a close).
  plan.counted = [&] {
    int32_t wanted = std::min<int32_t>(o.parallel, static_cast<int32_t>(plan.queue.size()));
    for (int32_t c = 1; c < wanted; ++c) addJob(c);
  };
  addJob(0);
  loop.run([&] {
    std::string line;
    for (FetchJob* j : jobs) {
      std::string p = j->progress();
      if (p.empty()) continue;
      if (!line.empty()) line += " | ";
      line += p;
    }
    return line.empty() ? line : "fetching " + line;
  });
  std::printf("fetched %d message%s\n", plan.fetched, plan.fetched == 1 ? "" : "s");
  printStats(o, stats);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    o = parseArgs(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "pelmail: %s\n(pelmail --help lists the commands and options)\n",
                 e.text.c_str());
    return 2;
  }
  if (o.command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  try {
    if (o.command == "send") return runSend(o);
    if (o.command == "list") return runList(o);
    return runFetch(o);
  } catch (const RunError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "pelmail: %s\n", e.text.c_str());
    return 1;
  }
}
