// The test board of tools/ run for one caller, who connects over loopback TCP: the board
// writes the node's DOOR32.SYS (or passes -N -S, or runs the door on a pseudo-terminal),
// starts the door and, once the door has let go, greets the caller again.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>

#include "caller.h"

namespace boards {

struct TBoardRun {
  TChild Board;
  int Fd = -1;
  TTelnetCaller Caller;

  ~TBoardRun() { NetClose(Fd); }

  int Port = 0;

  // Starts the board on a free port for one caller, with ADoor started in AWorkdir (empty:
  // the board's default, the door's own folder).
  bool Start(const std::string &AMode, const std::string &ADoor = VANTORAMA_BIN, const std::string &AWorkdir = "") {
    const std::string Python = VANTORAMA_PYTHON;
    std::vector<std::string> Args = {Python, std::string(VANTORAMA_SOURCE_DIR) + "/tools/testboard.py", "--port", "0",
                                     "--once", "--mode", AMode, "--door", ADoor};
    if (!AWorkdir.empty()) Args.insert(Args.end(), {"--workdir", AWorkdir});
    if (!Board.Start(Args, "")) return false;
    const std::string Listening = "listening on 127.0.0.1:";
    if (!Board.LogHas(" mode)", 20000)) {
      ADD_FAILURE() << "the board did not start: " << Board.Log;
      return false;
    }
    Port = std::atoi(Board.Log.c_str() + Board.Log.find(Listening) + Listening.size());
    return Port > 0;
  }

  // Starts the board and connects as its caller.
  bool Call(const std::string &AMode, const std::string &ADoor = VANTORAMA_BIN, const std::string &AWorkdir = "") {
    if (!Start(AMode, ADoor, AWorkdir)) return false;
    Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Addr.sin_port = htons(static_cast<uint16_t>(Port));
    if (connect(Fd, reinterpret_cast<sockaddr *>(&Addr), sizeof(Addr)) != 0) {
      ADD_FAILURE() << "cannot reach the board on port " << Port;
      return false;
    }
    Caller.Fd = Fd;
    return true;
  }

  // The board's words once the door has ended, and its own end.
  void ExpectBoardEnds() {
    EXPECT_TRUE(Board.LogHas("node 1: door ended with exit code 0", 15000)) << Board.Log;
    ASSERT_TRUE(Board.Wait(10000, &Caller)) << "the board did not end";
    EXPECT_TRUE(Board.ExitedWith(0)) << Board.Log;
  }
};

}  // namespace boards
