// The built door in local mode, the sysop at a real pseudo-terminal: the local login,
// the questions, the show and the farewell, read off an independent terminal emulator.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "net.h"
#include "vtscreen.h"

namespace {

using TClock = std::chrono::steady_clock;

struct TLocalRun {
  int Master = -1;
  pid_t Pid = -1;
  int Status = -1;
  TVtScreen Vt{80, 25, true};

  ~TLocalRun() {
    if (Pid > 0) {
      kill(Pid, SIGKILL);
      waitpid(Pid, nullptr, 0);
    }
    if (Master >= 0) close(Master);
  }

  bool Start(const std::string &AFolder) {
    winsize Size{};
    Size.ws_row = 25;
    Size.ws_col = 80;
    Pid = forkpty(&Master, nullptr, nullptr, &Size);
    if (Pid < 0) return false;
    if (Pid == 0) {
      if (chdir(AFolder.c_str()) != 0) _exit(126);
      setenv("TERM", "xterm", 1);
      setenv("LC_ALL", "C.UTF-8", 1);
      execl(VANTORAMA_BIN, "vantorama", static_cast<char *>(nullptr));
      _exit(127);
    }
    return true;
  }

  // Reads the sysop's terminal until APred holds or ATimeoutMs pass.
  bool PumpUntil(const std::function<bool()> &APred, int ATimeoutMs) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    char Buf[65536];
    while (!APred()) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
      if (Left <= 0) return false;
      pollfd P{Master, POLLIN, 0};
      if (poll(&P, 1, static_cast<int>(std::min<long long>(Left, 50))) <= 0) continue;
      ssize_t N = read(Master, Buf, sizeof(Buf));
      if (N <= 0) return APred();  // the door has gone
      VtFeed(Vt, std::string_view(Buf, static_cast<size_t>(N)));
    }
    return true;
  }

  bool Shows(int AY, const std::string &AText) {
    return PumpUntil([&] { return VtRowText(Vt, AY).find(AText) != std::string::npos; }, 15000);
  }

  bool Type(const std::string &AKeys) { return write(Master, AKeys.data(), AKeys.size()) == ssize_t(AKeys.size()); }

  bool Wait(int ATimeoutMs) {
    const auto Deadline = TClock::now() + std::chrono::milliseconds(ATimeoutMs);
    while (TClock::now() < Deadline) {
      if (waitpid(Pid, &Status, WNOHANG) == Pid) {
        Pid = -1;
        return true;
      }
      PumpUntil([] { return false; }, 20);
    }
    return false;
  }
};

TEST(DoorLocalE2ETest, SysopLogsInWatchesTheShowAndLeaves) {
  TTempDir Folder;
  TLocalRun Run;
  ASSERT_TRUE(Run.Start(Folder.Path));
  ASSERT_TRUE(Run.Shows(3, "LOCAL LOGIN - FOR NODE 0"));
  ASSERT_TRUE(Run.Shows(8, "Name or handle :"));
  ASSERT_TRUE(Run.Type("Tester\r"));
  ASSERT_TRUE(Run.Shows(10, "Would you like to enable ANSI Music for this demo? (Y/N): "));
  ASSERT_TRUE(Run.Type("n"));
  ASSERT_TRUE(Run.Shows(10, "(Y/N): N"));
  ASSERT_TRUE(Run.Shows(12, "Would you like to enable Sixel graphics? (Y/N): "));
  ASSERT_TRUE(Run.Type("N"));
  ASSERT_TRUE(Run.Shows(14, "Loading demo..."));

  // The show: the framed title, the credit line, the greeting scrolling on row 2.
  ASSERT_TRUE(Run.Shows(1, "\u2554\u2550"));
  ASSERT_TRUE(Run.Shows(1, " THE KELVARRA "));
  ASSERT_TRUE(Run.Shows(22, "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit"));
  ASSERT_TRUE(Run.Shows(2, "GREETINGS FROM THE KELVARRA"));
  EXPECT_NE(VtRowText(Run.Vt, 4).find("\u250c\u2500"), std::string::npos);
  // ... and it moves on.
  const std::string Before = VtRowText(Run.Vt, 2);
  ASSERT_TRUE(Run.PumpUntil([&] { return VtRowText(Run.Vt, 2) != Before; }, 5000));

  ASSERT_TRUE(Run.Type("q"));
  ASSERT_TRUE(Run.Shows(1, "Thanks for checking out the Vantorama Demo!"));
  ASSERT_TRUE(Run.Shows(2, "Returning to BBS..."));
  ASSERT_TRUE(Run.Wait(10000));
  ASSERT_TRUE(WIFEXITED(Run.Status));
  EXPECT_EQ(WEXITSTATUS(Run.Status), 0);
}

}  // namespace
