// The example door's own test, written as a door writer writes one: the test kit starts
// the door as a board would, types as the caller and reads the caller's screen. Plain C++;
// run it with the door's path: hello_test ./hello (exit code 0: passed).
#include <cstdio>
#include <string>

#include "doorkit/testkit.h"

namespace {

int Failures = 0;

void Check(bool AOk, const char *AWhat) {
  if (!AOk) {
    std::printf("FAILED: %s\n", AWhat);
    Failures++;
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::printf("usage: %s PATH-OF-THE-DOOR\n", argv[0]);
    return 2;
  }
  TDoorTestOptions Options;
  Options.Program = argv[1];
  Options.DropFileName = "DOOR32.SYS";
  Options.Caller.RealName = "Test Caller";
  Options.Caller.Alias = "Tester";
  Options.Caller.Node = 1;

  TDoorTestRun Run;
  Check(DoorTestStart(Run, Options), "the door starts");
  Check(DoorTestShows(Run, 1, 1, "Hello, Tester, welcome to the door kit."), "the greeting");
  Check(DoorTestCell(8, 1).Attr == 0x0E, "the alias in yellow");
  Check(DoorTestShows(Run, 2, 1, "What is your favourite colour? "), "the question");
  DoorTestType(Run, "\x19green\r");  // Ctrl-Y empties the field
  Check(DoorTestShows(Run, 3, 1, "You said green. Back to the board we go."), "the answer");
  Check(DoorTestWait(Run, 10000), "the door ends");
  Check(DoorTestExitCode(Run) == 0, "exit code 0");
  Check(DoorTestCallerConnected(Run), "the caller is back at the board");
  std::printf("%s\n", Failures ? "hello_test: failed" : "hello_test: passed");
  return Failures ? 1 : 0;
}
