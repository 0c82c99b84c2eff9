// Vantorama: a demo-scene screen for one caller. Two questions, then the show runs
// frame by frame until the caller presses ESC or Q, and the caller goes back to the board.
#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "demo.h"
#include "doorkit/door.h"

int main(int argc, char **argv) {
  DemoRandomize();
  DoorStartup(argc, argv);
  // A frame is hundreds of small writes: send each frame whole, when the door looks for keys.
  CommSetOutBuffer(true);

  ResetDemoState();
  UseAnsiMusic = AskUseAnsiMusic();
  UseSixel = AskUseSixel();
  InitializeSpiral();
  LoadBackground();

  // No pacing beyond the sleep: a frame lasts 25 ms plus the time its output takes.
  while (!ExitRequested) {
    UpdateTopScroll();
    UpdateSpiral();
    ExitRequested = CheckForExit();
    Delay(25);
  }

  DoorClrScr();
  DoorTextAttr(7);
  DoorGotoXY(1, 1);
  DoorWriteLn("Thanks for checking out the Vantorama Demo!");
  DoorWriteLn("Returning to BBS...");
  Delay(1000);
  DoorShutdown();

  SpiralChars.clear();
  SpiralText.clear();
  CenteredText.clear();
  return 0;
}
