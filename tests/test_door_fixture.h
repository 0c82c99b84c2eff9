// What the door tests share: every module the session touches reset, a clock and a sleep
// that tests move by hand, a link session with a socketpair as the caller, and a terminal
// emulator that shows what the caller's screen shows.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vterm.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ansi_internal.h"
#include "doorkit/comm.h"
#include "comm_internal.h"
#include "doorkit/console.h"
#include "console_internal.h"
#include "crt2_internal.h"
#include "doorkit/door.h"
#include "door_internal.h"
#include "net.h"

namespace doortest {

// One millisecond counter drives the door's clock, the console's key clock and Delay.
inline uint64_t gMs = 0;
inline uint64_t gSlept = 0;  // what Delay has slept since the last TakeSlept
// Bytes the caller sends once the door has slept until the given time (ESC, then more).
inline std::vector<std::pair<uint64_t, std::string>> gLater;
inline int gLaterFd = -1;

constexpr TDateTime BASE_DAY = 45000.0;  // 15 March 2023, a day like any other

inline TDateTime FakeNow() { return BASE_DAY + static_cast<double>(gMs) / 86400000.0; }
inline uint64_t FakeMs() { return gMs; }
inline void FakeSleep(uint32_t AMs) {
  gMs += AMs;
  gSlept += AMs;
  for (auto it = gLater.begin(); it != gLater.end();) {
    if (it->first <= gMs) {
      NetSend(gLaterFd, it->second);
      it = gLater.erase(it);
    } else {
      ++it;
    }
  }
}
inline uint64_t TakeSlept() { return std::exchange(gSlept, 0); }
// A point of the session clock, AMs after the fake clock's start.
inline void SetMs(uint64_t AMs) { gMs = AMs; }
inline void AdvanceSeconds(uint64_t ASeconds) { gMs += ASeconds * 1000; }

inline void ResetModules() {
  DoorReset();
  CommReset();
  ConsoleReset();
  AnsiReset();
  Crt2Reset();
  gMs = 0;
  gSlept = 0;
  gLater.clear();
  gLaterFd = -1;
  ConsoleSetClock(FakeMs);
  ConsoleSetSleep(FakeSleep);
  DoorSetClock(FakeNow);
}

inline void NoLogin() {}

// DoorStartup over a list of words; "{fd}" in a word stands for ADoorFd.
inline void Startup(std::vector<std::string> AArgs, int ADoorFd = -1) {
  std::vector<std::string> words{"/usr/local/bin/testdoor"};
  for (std::string &arg : AArgs) {
    size_t at = arg.find("{fd}");
    if (at != std::string::npos) arg.replace(at, 4, std::to_string(ADoorFd));
    words.push_back(arg);
  }
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  DoorStartup(static_cast<int>(words.size()), argv.data());
}

// Everything the caller has been sent so far (the door's writes are done when they return).
inline std::string TakeCaller(int AFd) {
  std::string got;
  char buf[4096];
  for (;;) {
    ssize_t n = recv(AFd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

inline std::string Row(int AY) { return ConsoleRowText(AY); }
inline std::string RowTrimmed(int AY) {
  std::string r = ConsoleRowText(AY);
  r.erase(r.find_last_not_of(' ') + 1);
  return r;
}

// Bytes made readable in failure messages.
inline std::string Escaped(std::string_view ABytes) {
  std::string out;
  for (unsigned char c : ABytes) {
    if (c == 0x1B) {
      out += "\\e";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\b') {
      out += "\\b";
    } else if (c < 0x20 || c >= 0x7F) {
      static const char hex[] = "0123456789ABCDEF";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The caller's terminal: an independent emulator fed with what the door sent.
struct TCallerScreen {
  VTerm *Term;
  VTermScreen *Screen;
  TCallerScreen() : Term(vterm_new(25, 80)), Screen(vterm_obtain_screen(Term)) {
    vterm_set_utf8(Term, 0);
    vterm_screen_reset(Screen, 1);
  }
  ~TCallerScreen() { vterm_free(Term); }
  TCallerScreen(const TCallerScreen &) = delete;
  TCallerScreen &operator=(const TCallerScreen &) = delete;
  void Feed(std::string_view ABytes) { vterm_input_write(Term, ABytes.data(), ABytes.size()); }
  std::string RowText(int AY) const {
    std::string out;
    for (int x = 0; x < 80; x++) {
      VTermScreenCell cell{};
      vterm_screen_get_cell(Screen, VTermPos{AY - 1, x}, &cell);
      out += cell.chars[0] ? static_cast<char>(cell.chars[0]) : ' ';
    }
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
  }
  VTermPos Cursor() const {
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(Term), &pos);
    return pos;
  }
};

// A fixture with every module reset before and after, and a link session on request.
class DoorTest : public ::testing::Test {
 protected:
  TNetPair Net;
  bool Linked = false;

  void SetUp() override { ResetModules(); }
  void TearDown() override {
    if (Linked) {
      DoorClose(false);  // the door's end is closed by the link now
      Net.Door = -1;
    }
    ResetModules();
  }

  // A link session as a board starts it: node 1, the caller's socket by number. The telnet
  // announcements and the first clear screen are taken off the wire.
  void StartLink(std::vector<std::string> AMore = {}) {
    ASSERT_TRUE(NetSocketPair(Net));
    std::vector<std::string> args{"-N1", "-S{fd}"};
    args.insert(args.end(), AMore.begin(), AMore.end());
    Startup(args, Net.Door);
    Linked = true;
    gLaterFd = Net.Peer;
    ASSERT_FALSE(DoorStdio());
    ASSERT_EQ(TakeCaller(Net.Peer), std::string("\xFF\xFB\x00\xFF\xFB\x01\x1B[2J\x1B[1;1f", 16));
  }
  void StartStdio() {
    DoorOnLocalLogin = NoLogin;
    Startup({});
    ASSERT_TRUE(DoorStdio());
  }
  std::string Caller() { return TakeCaller(Net.Peer); }
  void Send(std::string_view ABytes) { ASSERT_TRUE(NetSend(Net.Peer, ABytes)); }
};

}  // namespace doortest
