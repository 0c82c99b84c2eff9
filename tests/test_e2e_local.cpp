// The built door in local mode, the sysop at a real pseudo-terminal that takes UTF-8, run by
// the test kit: the local login, the questions, the show and the farewell. What the kit
// reads off the terminal is checked against an independent terminal emulator too.
#include <gtest/gtest.h>

#include <string>

#include "doorkit/testkit.h"
#include "net.h"
#include "vtscreen.h"

namespace {

// Reads until row AY shows AText anywhere in it.
bool Shows(TDoorTestRun &ARun, int AY, const std::string &AText) {
  return DoorTestUntil(ARun, [&] { return DoorTestRow(AY).find(AText) != std::string::npos; });
}

TEST(DoorLocalE2ETest, SysopLogsInWatchesTheShowAndLeaves) {
  TTempDir Folder;
  TDoorTestOptions Options;
  Options.Program = VANTORAMA_BIN;
  Options.Way = twLocal;
  Options.Folder = Folder.Path;
  Options.Utf8Terminal = true;
  TDoorTestRun Run;
  ASSERT_TRUE(DoorTestStart(Run, Options));
  ASSERT_TRUE(Shows(Run, 3, "LOCAL LOGIN - FOR NODE 0"));
  ASSERT_TRUE(Shows(Run, 8, "Name or handle :"));
  ASSERT_TRUE(DoorTestType(Run, "Tester\r"));
  ASSERT_TRUE(Shows(Run, 10, "Would you like to enable ANSI Music for this demo? (Y/N): "));
  ASSERT_TRUE(DoorTestType(Run, "n"));
  ASSERT_TRUE(Shows(Run, 10, "(Y/N): N"));
  ASSERT_TRUE(Shows(Run, 12, "Would you like to enable Sixel graphics? (Y/N): "));
  ASSERT_TRUE(DoorTestType(Run, "N"));
  ASSERT_TRUE(Shows(Run, 14, "Loading demo..."));

  // The show: the framed title, the credit line, the greeting scrolling on row 2.
  ASSERT_TRUE(Shows(Run, 1, "\xC9\xCD"));
  ASSERT_TRUE(Shows(Run, 1, " THE KELVARRA "));
  ASSERT_TRUE(Shows(Run, 22, "BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit"));
  ASSERT_TRUE(Shows(Run, 2, "GREETINGS FROM THE KELVARRA"));
  EXPECT_NE(DoorTestRow(4).find("\xDA\xC4"), std::string::npos);
  // The sysop's terminal itself, on an emulator of its own: the boxes in Unicode.
  TVtScreen Vt{80, 25, true};
  VtFeed(Vt, Run.Terminal);
  EXPECT_NE(VtRowText(Vt, 1).find("\u2554\u2550"), std::string::npos) << VtRowText(Vt, 1);
  EXPECT_NE(VtRowText(Vt, 1).find(" THE KELVARRA "), std::string::npos);
  EXPECT_NE(VtRowText(Vt, 4).find("\u250c\u2500"), std::string::npos);
  EXPECT_NE(VtRowText(Vt, 22).find("BBS Demo by Maelgrin - April 2025 - Press ESC or Q to exit"), std::string::npos);
  // ... and it moves on.
  const std::string Before = DoorTestRow(2);
  ASSERT_TRUE(DoorTestUntil(Run, [&] { return DoorTestRow(2) != Before; }, 5000));

  ASSERT_TRUE(DoorTestType(Run, "q"));
  ASSERT_TRUE(Shows(Run, 1, "Thanks for checking out the Vantorama Demo!"));
  ASSERT_TRUE(Shows(Run, 2, "Returning to BBS..."));
  ASSERT_TRUE(DoorTestWait(Run, 10000));
  EXPECT_EQ(DoorTestExitCode(Run), 0);
}

}  // namespace
