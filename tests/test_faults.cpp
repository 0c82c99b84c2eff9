// The built door under faults, as a board runs it: the caller's connection on loopback TCP
// inherited with -N1 -S<fd>, the sysop's terminal a real pseudo-terminal. Callers who drop
// at any moment, by an orderly close or a reset; the board's and the sysop's signals; a
// caller who stops reading; a caller who floods the door with keys.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/caller.h"
#include "e2e/node.h"
#include "net.h"
#include "vtscreen.h"

namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using e2e::TNodeRun;

constexpr const char *kQuestionMusic = "Would you like to enable ANSI Music for this demo? (Y/N): ";
constexpr const char *kDropped = "   Caller Dropped Carrier.  Returning To BBS...";
constexpr const char *kFarewell = "Thanks for checking out the Vantorama Demo!";
double Seconds(TClock::duration AD) { return std::chrono::duration<double>(AD).count(); }

// A lost caller ends the door in about 3.5 s: the pump's next second, the message's 2.5 s
// pause. The bound is loose on purpose (a loaded machine, a sanitizer build checking the whole
// heap on the way out): what it catches is a door that waits on its 60 s send time-out, or
// for ever.
constexpr double kDropEndSeconds = 10.0;

// What every end must look like: exit code 0 (no death by SIGPIPE or anything else), the
// sysop's terminal given back.
void ExpectCleanEnd(const TNodeRun &ARun) {
  ASSERT_FALSE(ARun.Running());
  EXPECT_FALSE(WIFSIGNALED(ARun.Status)) << "killed by signal " << WTERMSIG(ARun.Status);
  ASSERT_TRUE(WIFEXITED(ARun.Status));
  EXPECT_EQ(WEXITSTATUS(ARun.Status), 0);
  EXPECT_TRUE(ARun.TerminalGivenBack());
}

// The caller is still on the board: no end of stream, and the board's bytes reach them
// (after whatever the door's last sends left on the way).
void ExpectCallerKept(TNodeRun &ARun) {
  ASSERT_GE(ARun.Pair.Peer, 0);
  const std::string Mark = "Back at the board.";
  ASSERT_TRUE(NetSend(ARun.Pair.Door, Mark));
  std::string Got;
  bool Closed = false;
  const auto Deadline = TClock::now() + std::chrono::seconds(5);
  while (!Got.ends_with(Mark) && !Closed && TClock::now() < Deadline) {
    if (!NetReadable(ARun.Pair.Peer, 100)) continue;
    char Buf[65536];
    const ssize_t N = recv(ARun.Pair.Peer, Buf, sizeof Buf, MSG_DONTWAIT);
    if (N == 0) Closed = true;
    if (N > 0) Got.append(Buf, static_cast<size_t>(N));
  }
  EXPECT_FALSE(Closed || ARun.Caller.Closed) << "the door shut the caller's connection down";
  EXPECT_TRUE(Got.ends_with(Mark));
}

// --- callers who drop -------------------------------------------------------------------

enum class TMoment { Questions, MidFrame, Note, Farewell };
const char *MomentName(TMoment AM) {
  switch (AM) {
    case TMoment::Questions: return "during the questions";
    case TMoment::MidFrame: return "mid-frame";
    case TMoment::Note: return "during a note";
    case TMoment::Farewell: return "during the farewell";
  }
  return "?";
}

struct TDropRun {
  TMoment Moment;
  bool Reset;
  int Target;    // frames or notes to wait for
  int DelayMs;   // more waiting, where the moment is a span of time
  std::unique_ptr<TNodeRun> Run = std::make_unique<TNodeRun>();
  int Phase = 0;
  TClock::time_point At{};
  TClock::time_point Dropped{};
  bool Done = false;

  size_t NotesStarted() const {
    size_t N = 0;
    for (size_t P = Run->Caller.Raw.find("\x1b[N"); P != std::string::npos; P = Run->Caller.Raw.find("\x1b[N", P + 1)) ++N;
    return N;
  }

  void Drop() {
    Run->Drop(Reset);
    Dropped = TClock::now();
    Phase = 9;
  }

  // Moves the run on by what its screens show now.
  void Step() {
    TNodeRun &R = *Run;
    const auto Now = TClock::now();
    switch (Phase) {
      case 0:  // the first question is up
        if (!R.CallerSees(10, kQuestionMusic)) return;
        At = Now + milliseconds(DelayMs);
        if (Moment == TMoment::Note) R.Type("yn");
        if (Moment == TMoment::MidFrame || Moment == TMoment::Farewell) R.Type("nn");
        Phase = 1;
        return;
      case 1:
        if (Moment == TMoment::Questions && Now >= At) Drop();
        if (Moment == TMoment::MidFrame && R.Caller.Frames >= Target) Drop();  // the next frame is on its way
        if (Moment == TMoment::Note && NotesStarted() >= static_cast<size_t>(Target)) Drop();
        if (Moment == TMoment::Farewell && R.Caller.Frames >= Target) {
          R.Type("q");
          Phase = 2;
        }
        return;
      case 2:
        if (R.Caller.Raw.find(kFarewell) == std::string::npos) return;
        At = Now + milliseconds(DelayMs);
        Phase = 3;
        return;
      case 3:
        if (Now >= At) Drop();
        return;
      default:
        return;
    }
  }
};

// Runs the drops ATogether at a time, each to its end (or 8 s after the drop, then killed).
void RunDrops(std::vector<TDropRun> &ARuns, size_t ATogether) {
  size_t Next = 0, Active = 0;
  const auto Deadline = TClock::now() + std::chrono::seconds(240);
  while ((Next < ARuns.size() || Active > 0) && TClock::now() < Deadline) {
    while (Active < ATogether && Next < ARuns.size()) {
      ASSERT_TRUE(ARuns[Next].Run->Start());
      ARuns[Next].At = TClock::now();
      ++Next;
      ++Active;
    }
    std::vector<pollfd> P;
    for (size_t I = 0; I < Next; ++I)
      if (!ARuns[I].Done) ARuns[I].Run->Fds(P);
    poll(P.data(), P.size(), 5);
    for (size_t I = 0; I < Next; ++I) {
      TDropRun &D = ARuns[I];
      if (D.Done) continue;
      D.Run->Pump();
      D.Step();
      const bool Stuck = D.Phase == 9 ? TClock::now() - D.Dropped > std::chrono::seconds(8)
                                      : TClock::now() - D.At > std::chrono::seconds(30);
      if (!D.Run->Running() || Stuck) {
        if (D.Run->Running()) {
          kill(D.Run->Pid, SIGKILL);
          waitpid(D.Run->Pid, &D.Run->Status, 0);
          D.Run->Pid = -1;
          D.Run->Ended = TClock::now();
        }
        D.Run->Pump();
        D.Done = true;
        --Active;
      }
    }
  }
}

TEST(DoorFaultsTest, CallersWhoDropAtAnyMomentEndTheDoorCleanly) {
  std::mt19937 Random(std::random_device{}());
  std::vector<TDropRun> Runs;
  const TMoment kMoments[] = {TMoment::Questions, TMoment::MidFrame, TMoment::Note, TMoment::Farewell};
  for (bool Reset : {false, true}) {
    for (int I = 0; I < 20; ++I) {
      TDropRun D{kMoments[I % 4], Reset, 0, 0};
      switch (D.Moment) {
        case TMoment::Questions: D.DelayMs = static_cast<int>(Random() % 400); break;
        case TMoment::MidFrame: D.Target = 2 + static_cast<int>(Random() % 20); break;
        case TMoment::Note: D.Target = 1 + static_cast<int>(Random() % 2); break;
        case TMoment::Farewell:
          D.Target = 2 + static_cast<int>(Random() % 5);
          D.DelayMs = static_cast<int>(Random() % 900);
          break;
      }
      Runs.push_back(std::move(D));
    }
  }
  RunDrops(Runs, 20);

  double Longest = 0;
  for (const TDropRun &D : Runs) {
    SCOPED_TRACE(std::string(MomentName(D.Moment)) + (D.Reset ? ", reset" : ", closed") + ", target " +
                 std::to_string(D.Target) + ", " + std::to_string(D.DelayMs) + " ms");
    ASSERT_TRUE(D.Done);
    ASSERT_EQ(D.Phase, 9) << "the caller never got to drop";
    ExpectCleanEnd(*D.Run);
    const double Took = Seconds(D.Run->Ended - D.Dropped);
    Longest = std::max(Longest, Took);
    EXPECT_LE(Took, kDropEndSeconds) << "from the drop to the end";
    if (D.Moment != TMoment::Farewell) {
      EXPECT_NE(D.Run->SysopRow(kDropped), 0);
    } else {
      EXPECT_TRUE(D.Run->SysopRow(kDropped) || D.Run->SysopRow("Returning to BBS..."));
    }
  }
  std::printf("40 drops: the longest took %.2f s from the drop to the end\n", Longest);
}

// --- the board's and the sysop's signals ------------------------------------------------

// Starts a door and brings it into the show.
void IntoTheShow(TNodeRun &ARun, int ARcvBuf = 0) {
  ASSERT_TRUE(ARun.Start(ARcvBuf));
  ASSERT_TRUE(ARun.PumpUntil([&] { return ARun.CallerSees(10, kQuestionMusic); }, 15000));
  ARun.Type("nn");
  ASSERT_TRUE(ARun.PumpUntil([&] { return ARun.Caller.Frames >= 5; }, 15000));
}

int QueuedToRead(int AFd) {
  int N = 0;
  ioctl(AFd, FIONREAD, &N);
  return N;
}

// Leaves the caller's bytes unread until the door's sends have filled every buffer on the way.
void StallCaller(TNodeRun &ARun) {
  int Last = -1;
  for (int I = 0; I < 400; ++I) {
    const int Now = QueuedToRead(ARun.Pair.Peer);
    if (Now == Last && Now > 0) break;  // nothing more comes in: the door waits on its send
    Last = Now;
    std::this_thread::sleep_for(milliseconds(50));
  }
}

TEST(DoorFaultsTest, SignalsEndTheDoorWithTheTerminalGivenBackAndTheCallerKept) {
  struct TCase {
    const char *Name;
    int Signal;          // sent to the door, or
    const char *Typed;   // typed on the sysop's terminal
    bool Stalled;        // the caller has stopped reading: the door waits in a send
    bool Hangup;         // ends as on a lost carrier
  };
  const TCase kCases[] = {
      {"SIGHUP from the board", SIGHUP, nullptr, false, true},
      {"SIGHUP while a send waits on a stalled caller", SIGHUP, nullptr, true, true},
      {"SIGTERM from the board", SIGTERM, nullptr, false, false},
      {"SIGTERM while a send waits on a stalled caller", SIGTERM, nullptr, true, false},
      {"the sysop's Ctrl-C", 0, "\x03", false, false},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    TNodeRun Run;
    IntoTheShow(Run, C.Stalled ? 8192 : 0);
    if (C.Stalled) StallCaller(Run);
    const auto Sent = TClock::now();
    if (C.Signal) kill(Run.Pid, C.Signal);
    if (C.Typed) {
      ASSERT_EQ(write(Run.Master, C.Typed, 1), 1);
    }
    // Only the sysop's screen is read now: the caller may stay stalled.
    if (C.Stalled) Run.Caller.Closed = true;
    ASSERT_TRUE(Run.PumpUntil([&] { return !Run.Running(); }, 8000)) << "the door did not end";
    const double Took = Seconds(Run.Ended - Sent);
    ExpectCleanEnd(Run);
    // The other signals end at once, without the 2.5 s pause.
    EXPECT_LE(Took, C.Hangup ? kDropEndSeconds : 2.4);
    if (C.Hangup) {
      EXPECT_NE(Run.SysopRow(kDropped), 0);
    }
    std::printf("%s: ended %.2f s after the signal\n", C.Name, Took);
    if (C.Stalled) Run.Caller.Closed = false;  // it was only left unread
    ExpectCallerKept(Run);
  }
}

// --- a caller who stops reading -------------------------------------------------------------

// The door waits on its send as long as the caller is there: the carrier holds, the sysop's
// screen stays whole, the show goes on once the caller reads again, and it ends cleanly once
// the connection fails.
TEST(DoorFaultsTest, ACallerWhoStopsReadingHoldsTheShowUntilTheConnectionFails) {
  TNodeRun Run;
  IntoTheShow(Run, 8192);
  StallCaller(Run);
  const int Queued = QueuedToRead(Run.Pair.Peer);
  // Two seconds stalled: past the pump's second, the door has not taken the carrier as lost.
  const auto Until = TClock::now() + std::chrono::seconds(2);
  while (TClock::now() < Until) {
    std::this_thread::sleep_for(milliseconds(50));
    std::string Ignored;
    char Buf[4096];
    while (poll(std::vector<pollfd>{{Run.Master, POLLIN, 0}}.data(), 1, 0) > 0) {
      ssize_t N = read(Run.Master, Buf, sizeof Buf);
      if (N <= 0) break;
      Run.LocalLog.append(Buf, static_cast<size_t>(N));
      VtFeed(Run.Local, std::string_view(Buf, static_cast<size_t>(N)));
    }
    ASSERT_EQ(waitpid(Run.Pid, &Run.Status, WNOHANG), 0) << "the door ended while the caller was there";
  }
  EXPECT_EQ(QueuedToRead(Run.Pair.Peer), Queued) << "nothing more got through";
  EXPECT_EQ(Run.SysopRow(kDropped), 0);
  EXPECT_TRUE(Run.SysopSees(1, " THE KELVARRA "));
  EXPECT_TRUE(Run.SysopSees(22, "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit"));

  // Reading again: the show goes on where it stood.
  const int Frames = Run.Caller.Frames;
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames > Frames + 20; }, 15000));
  EXPECT_TRUE(Run.Running());

  // Stalled again, then the connection fails.
  StallCaller(Run);
  const auto Failed = TClock::now();
  Run.Drop(true);
  ASSERT_TRUE(Run.PumpUntil([&] { return !Run.Running(); }, 8000)) << "the door did not end";
  ExpectCleanEnd(Run);
  EXPECT_LE(Seconds(Run.Ended - Failed), kDropEndSeconds);
  // The sysop's screen: the message alone on a clear window; the status bar went with the
  // door, so the board's own screen follows on a clean terminal.
  const int Message = Run.SysopRow(kDropped);
  EXPECT_NE(Message, 0);
  EXPECT_EQ(Run.SysopRow("Left: "), 0);
  for (int Y = 1; Y <= 25; ++Y) {
    if (Y == Message) continue;
    EXPECT_EQ(VtRowText(Run.Local, Y).find_first_not_of(' '), std::string::npos) << "row " << Y << ": " << VtRowText(Run.Local, Y);
  }
}

// --- a caller who floods the door -------------------------------------------------------------

// Megabytes of keys that are none of the exit keys (nor line ends, so none is folded away):
// the show goes on, one key taken per frame, and the door holds at most one receive of them.
TEST(DoorFaultsTest, AFloodOfKeysLeavesTheShowRunningAndWaitsInTheKernel) {
  TNodeRun Run;
  IntoTheShow(Run);
  // Room in the kernel for megabytes (as much of it as the system allows).
  int Big = 4 << 20;
  if (setsockopt(Run.Pair.Door, SOL_SOCKET, SO_RCVBUFFORCE, &Big, sizeof Big) != 0)
    setsockopt(Run.Pair.Door, SOL_SOCKET, SO_RCVBUF, &Big, sizeof Big);
  setsockopt(Run.Pair.Peer, SOL_SOCKET, SO_SNDBUF, &Big, sizeof Big);
  std::string Flood;
  for (int I = 0; Flood.size() < (1u << 16); ++I) {
    const char C = static_cast<char>(I * 37 % 256);
    if (C == 'q' || C == 'Q' || C == '\x1b' || C == '\r' || C == '\n') continue;
    Flood += C;
  }
  const int Frames0 = Run.Caller.Frames;
  const auto T0 = TClock::now();
  long long Sent = 0;
  const long long kTotal = 4ll << 20;
  while (Sent < kTotal && Seconds(TClock::now() - T0) < 4.0) {
    const size_t Off = static_cast<size_t>(Sent % static_cast<long long>(Flood.size()));
    ssize_t N = send(Run.Pair.Peer, Flood.data() + Off, Flood.size() - Off, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (N > 0) Sent += N;
    Run.Pump();
    std::vector<pollfd> P;
    Run.Fds(P);
    poll(P.data(), P.size(), N > 0 ? 0 : 5);
  }
  ASSERT_TRUE(Run.PumpUntil([&] { return Run.Caller.Frames >= Frames0 + 80; }, 15000)) << "the show stopped";
  // What left the kernel for the door: all sent, less what waits in the door's receive queue
  // and in the caller's send queue.
  int InFlight = 0;
  ioctl(Run.Pair.Peer, SIOCOUTQ, &InFlight);
  const long long Taken = Sent - QueuedToRead(Run.Pair.Door) - InFlight;
  // The frames drawn by then have all reached the caller a moment later.
  Run.PumpUntil([] { return false; }, 200);
  const int Frames = Run.Caller.Frames - Frames0;
  const double Took = Seconds(TClock::now() - T0);
  std::printf("flood: %lld bytes sent, %lld taken by the door over %d frames (%.1f fps)\n", Sent, Taken, Frames,
              Frames / Took);
  EXPECT_GT(Sent, 1 << 20) << "the kernel took the caller's megabytes";
  // One key a frame, and at most the one receive the door holds; the slack is the frames
  // drawn while the queues were read.
  EXPECT_LE(Taken, Frames + 1024);
  EXPECT_GE(Taken, Frames - 20);
  EXPECT_TRUE(Run.Running());
  // The caller's Q would wait behind megabytes: the board ends the door instead.
  kill(Run.Pid, SIGTERM);
  ASSERT_TRUE(Run.PumpUntil([&] { return !Run.Running(); }, 8000));
  ExpectCleanEnd(Run);
}

}  // namespace
