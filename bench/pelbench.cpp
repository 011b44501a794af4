// pelbench: the multi-channel sending benchmark of bench/run.sh.
//
//   pelbench --server HOST:PORT [--channels 32] [--messages 20]
//            [--mode parallel|sequential] [--poll-ms 1]
//
// Every channel connects, sends its messages one after another on its one
// connection, and closes. In parallel mode all channels are driven side by
// side from one loop around pelDriver (integer parameter 9 off); in
// sequential mode the same loop drives one channel at a time, the next one
// starting when the previous one has closed. Prints one line:
//
//   sent M messages on C channels in W ms (driver calls D, not due N,
//   idle rounds I sleeping S ms)
//
// and exits 1 with the library's error text when a step fails.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pel32.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kNotDue = 9999;

struct Settings {
  std::string host = "127.0.0.1";
  int port = 25;
  int channels = 32;
  int messages = 20;
  bool parallel = true;
  int pollMs = 1;
};

std::string errorText(int32_t chan, int32_t code) {
  char text[512];
  int32_t n = pelErrorText(chan, code, text, static_cast<int32_t>(sizeof text));
  std::string out = n > 0 ? std::string(text, static_cast<size_t>(n)) : "unknown error";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out + " (" + std::to_string(code) + ")";
}

[[noreturn]] void fail(int32_t chan, const char* what, int32_t code) {
  std::fprintf(stderr, "pelbench: channel %d, %s: %s\n", chan, what, errorText(chan, code).c_str());
  std::exit(1);
}

// One channel's work: connect, `messages` sends, close.
struct Channel {
  int32_t chan = 0;
  int step = 0;  // 0 connect, 1..messages send, messages+1 close, then done
  bool active = false;
  int32_t lastResult = -1;
  int64_t lastCounters = -1;
};

const char kText[] =
    "This is a small benchmark message.\n"
    "It has a few lines of plain text and no attachment, so that the time\n"
    "measured is that of the SMTP exchange itself.\n";

// Arms the channel's next operation; false when it has nothing more to do.
bool arm(Channel& c, const Settings& s) {
  int32_t r = 0;
  const char* what = "";
  if (c.step == 0) {
    pelIntegerParam(c.chan, PARAM_SMTP_SERVER_PORT, s.port);
    r = pelSmtpConnect(c.chan, s.host.c_str(), "Bench <bench@example.org>", nullptr);
    what = "connect";
  } else if (c.step <= s.messages) {
    std::string subject =
        "bench channel " + std::to_string(c.chan) + " message " + std::to_string(c.step);
    r = pelSendEmail(c.chan, "<sink@example.org>", nullptr, nullptr, subject.c_str(), kText,
                     nullptr);
    what = "send";
  } else if (c.step == s.messages + 1) {
    r = pelClose(c.chan);
    what = "close";
  } else {
    return false;
  }
  if (r < 0) fail(c.chan, what, r);
  return true;
}

struct LoopStats {
  long long calls = 0, notDue = 0, idleRounds = 0;
  double idleMs = 0;
};

// Drives the channels in `group` side by side until each has closed.
void drive(std::vector<Channel*> group, const Settings& s, LoopStats& st) {
  for (Channel* c : group) c->active = arm(*c, s);
  for (;;) {
    bool any = false, moved = false;
    for (Channel* c : group) {
      if (!c->active) continue;
      any = true;
      int32_t r = pelDriver(c->chan);
      ++st.calls;
      if (r == kNotDue) {
        ++st.notDue;
        continue;
      }
      if (r < 0) fail(c->chan, "driving", r);
      int64_t counters = pelStatistics(c->chan, 15);
      if (r != c->lastResult || counters != c->lastCounters) moved = true;
      c->lastResult = r;
      c->lastCounters = counters;
      if (r == 0) {
        ++c->step;
        c->active = arm(*c, s);
        c->lastResult = -1;
      }
    }
    if (!any) return;
    if (!moved) {
      ++st.idleRounds;
      Clock::time_point t0 = Clock::now();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      st.idleMs += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    }
  }
}

int number(const char* option, const char* text, int low, int high) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || v < low || v > high) {
    std::fprintf(stderr, "pelbench: %s needs a number from %d to %d\n", option, low, high);
    std::exit(2);
  }
  return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "pelbench: %s needs a value\n", a.c_str());
      return 2;
    }
    const char* v = argv[++i];
    if (a == "--server") {
      std::string text = v;
      size_t colon = text.rfind(':');
      s.host = text.substr(0, colon);
      if (colon != std::string::npos) {
        s.port = number("--server", text.substr(colon + 1).c_str(), 1, 65535);
      }
    } else if (a == "--channels") {
      s.channels = number("--channels", v, 1, 128);
    } else if (a == "--messages") {
      s.messages = number("--messages", v, 1, 100000);
    } else if (a == "--mode") {
      if (std::strcmp(v, "parallel") && std::strcmp(v, "sequential")) {
        std::fprintf(stderr, "pelbench: --mode is parallel or sequential\n");
        return 2;
      }
      s.parallel = std::strcmp(v, "parallel") == 0;
    } else if (a == "--poll-ms") {
      s.pollMs = number("--poll-ms", v, 0, 1000);
    } else {
      std::fprintf(stderr, "pelbench: unknown option %s\n", a.c_str());
      return 2;
    }
  }

  if (pelAttach(s.channels) != 1) {
    std::fprintf(stderr, "pelbench: cannot attach %d channels\n", s.channels);
    return 1;
  }
  std::vector<Channel> channels(static_cast<size_t>(s.channels));
  for (int i = 0; i < s.channels; ++i) {
    channels[static_cast<size_t>(i)].chan = i;
    pelIntegerParam(i, PARAM_DRIVE_IN_CALL, 0);
  }
  pelIntegerParam(0, PARAM_POLL_SLEEP_MS, s.pollMs);

  LoopStats st;
  Clock::time_point begin = Clock::now();
  if (s.parallel) {
    std::vector<Channel*> all;
    for (Channel& c : channels) all.push_back(&c);
    drive(all, s, st);
  } else {
    for (Channel& c : channels) drive({&c}, s, st);
  }
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  pelRelease();
  std::printf(
      "sent %d messages on %d channels in %.0f ms (driver calls %lld, not due %lld, idle rounds "
      "%lld sleeping %.0f ms)\n",
      s.channels * s.messages, s.channels, ms, st.calls, st.notDue, st.idleRounds, st.idleMs);
  return 0;
}
