// The drop-file readers on real files: fixtures as boards write them, and edge cases
// written into a fresh folder per test.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "doorkit/console.h"
#include "console_internal.h"
#include "doorkit/door.h"
#include "doorkit/dropfiles.h"
#include "net.h"

// Expected records name only the fields that differ from the load-time defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace std::string_literals;
using TReader = void (*)(const std::string &);

std::string Fixture(const std::string &AName) {
  return VANTORAMA_SOURCE_DIR "/tests/fixtures/dropfiles/"s + AName;
}

// Every field, one "Name=value" word each, text in quotes; tests look for words in it.
std::string Describe(const TDoorDropInfo &D) {
  auto Q = [](const std::string &S) { return "\"" + S + "\""; };
  return " Access=" + std::to_string(D.Access) + " Alias=" + Q(D.Alias) + " Baud=" + std::to_string(D.Baud) +
         " Clean=" + std::to_string(D.Clean) + " ComNum=" + std::to_string(D.ComNum) +
         " ComType=" + std::to_string(D.ComType) + " Emulation=" + (D.Emulation == etANSI ? "ANSI" : "ASCII") +
         " Fairy=" + std::to_string(D.Fairy) + " MaxSeconds=" + std::to_string(D.MaxSeconds) +
         " Node=" + std::to_string(D.Node) + " RealName=" + Q(D.RealName) + " RecPos=" + std::to_string(D.RecPos) +
         " ";
}

// Values no reader writes, so that an untouched field is seen as untouched.
TDoorDropInfo Sentinel() {
  return TDoorDropInfo{.Access = -7, .Alias = "(alias)", .Baud = -7, .Clean = true, .ComNum = -7,
                       .ComType = 9, .Emulation = etASCII, .Fairy = true, .MaxSeconds = -7, .Node = -7,
                       .RealName = "(name)", .RecPos = -7};
}

// Each word of AWords ("ComNum=2 ComType=1") must be in the description.
void ExpectWords(const std::string &AWords) {
  const std::string Got = Describe(DoorDropInfo);
  size_t I = 0;
  while (I < AWords.size()) {
    // A word runs to the next blank outside quotes.
    size_t J = I;
    bool Quoted = false;
    while (J < AWords.size() && (Quoted || AWords[J] != ' ')) Quoted ^= AWords[J++] == '"';
    const std::string Word = AWords.substr(I, J - I);
    EXPECT_NE(Got.find(" " + Word + " "), std::string::npos) << "want " << Word << "\n got" << Got;
    I = J + 1;
  }
}

// Lines joined with LF; line N (from 1) of ALines replaces the empty default.
std::string Lines(int ACount, const std::map<int, std::string> &ALines) {
  std::string Out;
  for (int N = 1; N <= ACount; N++) {
    auto It = ALines.find(N);
    Out += (It == ALines.end() ? "" : It->second) + "\n";
  }
  return Out;
}

struct DropFilesTest : ::testing::Test {
  TTempDir Dir;
  void SetUp() override { DoorDropInfo = TDoorDropInfo{}; }
  void TearDown() override { DoorDropInfo = TDoorDropInfo{}; }
};

TEST_F(DropFilesTest, ReadsWhatBoardsWrite) {
  struct TCase {
    const char *File;
    TReader Reader;
    TDoorDropInfo Expected;
  };
  const TCase kCases[] = {
      {"synchronet/DOOR32.SYS", ReadDoor32,  // LF
       {.Access = 60, .Alias = "jdoe", .Baud = 115200, .ComNum = 7, .ComType = 2, .MaxSeconds = 2700,
        .Node = 3, .RealName = "Jane Doe", .RecPos = 41}},
      {"magicka/DOOR32.SYS", ReadDoor32,  // CR LF
       {.Access = 10, .Alias = "jsmith", .Baud = 38400, .ComNum = 12, .ComType = 2, .MaxSeconds = 7200,
        .Node = 2, .RealName = "John Smith", .RecPos = 16}},
      // Local comm type; minutes written as seconds are taken as minutes all the same.
      {"wwiv/DOOR32.SYS", ReadDoor32,
       {.Access = 255, .Alias = "sysop", .Baud = 38400, .ComNum = 0, .ComType = 0, .MaxSeconds = 216000,
        .Node = 1, .RealName = "Sysop Person", .RecPos = 0}},
      {"enigma/DOOR32.SYS", ReadDoor32,  // telnet with handle -1: start-up refuses it
       {.Access = 20, .Alias = "ann", .Baud = 115200, .ComNum = -1, .ComType = 2, .MaxSeconds = 5400,
        .Node = 4, .RealName = "Ann Other", .RecPos = 2}},
      {"mystic/DOOR32.SYS", ReadDoor32,  // an empty 12th line, a CP437/Latin-1 byte in the name
       {.Access = 30, .Alias = "Mikey", .Baud = 38400, .ComNum = 9, .ComType = 2, .MaxSeconds = 2700,
        .Node = 1, .RealName = "Mike M\xE4rz", .RecPos = 4}},
      {"synchronet/DOOR.SYS", ReadDoorSys,  // COM0: leaves the comm type alone
       {.Access = 60, .Alias = "jdoe", .Baud = 115200, .ComNum = 0, .ComType = 0, .MaxSeconds = 32767,
        .Node = 2, .RealName = "Jane Doe", .RecPos = 41}},
      {"mystic/DOOR.SYS", ReadDoorSys,
       {.Access = 30, .Alias = "Mikey", .Baud = 38400, .ComNum = 1, .ComType = 1, .MaxSeconds = 2700,
        .Node = 1, .RealName = "Mike Maerz", .RecPos = 4}},
      {"synchronet/DORINFO1.DEF", ReadDorInfo,
       {.Access = 60, .Alias = "JANE", .Baud = 115200, .ComNum = 0, .ComType = 0, .MaxSeconds = 2700,
        .RealName = "JANE DOE"}},
      {"mystic/DORINFO1.DEF", ReadDorInfo,
       {.Access = 30, .Alias = "Mike", .Baud = 38400, .ComNum = 1, .ComType = 1, .Emulation = etASCII,
        .MaxSeconds = 2700, .RealName = "Mike"}},
      {"twelve/DORINFO1.DEF", ReadDorInfo,  // stops at 12 lines
       {.Access = 10, .Alias = "Ann", .Baud = 19200, .ComNum = 2, .ComType = 1, .MaxSeconds = 300,
        .RealName = "Ann Other"}},
      {"lord/INFO.1", ReadLordInfo,
       {.Alias = "Barak", .Baud = 57600, .Clean = true, .ComNum = 6, .ComType = 2, .Fairy = true,
        .MaxSeconds = 2400, .RealName = "Kay Lee", .RecPos = 4}},
      {"lord/INFO.2", ReadLordInfo,
       {.Alias = "Guest", .Baud = 2400, .ComNum = 0, .ComType = 0, .Emulation = etASCII, .MaxSeconds = 300,
        .RealName = "Guest", .RecPos = 0}},
      {"bad/short/DOOR32.SYS", ReadDoor32,
       {.Baud = 38400, .ComNum = 5, .ComType = 2, .MaxSeconds = 0, .RecPos = 0}},
      {"bad/empty/DOOR32.SYS", ReadDoor32, {.Baud = 38400, .ComNum = -1, .MaxSeconds = 0}},
      {"bad/malformed/DOOR32.SYS", ReadDoor32,  // words, trailing blanks, commas: defaults
       {.Baud = 38400, .ComNum = -1, .ComType = 0, .MaxSeconds = -2700, .Node = 16,
        .RealName = "Name With Trailing Blank "}},
      {"bad/lone-cr/DORINFO1.DEF", ReadDorInfo,
       {.Access = 50, .Alias = "Zed", .Baud = 9600, .ComNum = 3, .ComType = 1, .MaxSeconds = 1200,
        .RealName = "Zed Zulu"}},
      {"bad/eof-marker/DOOR.SYS", ReadDoorSys,  // 0x1A after line 12: the rest reads empty
       {.Baud = 115200, .Emulation = etASCII, .MaxSeconds = 0, .Node = 2, .RealName = "Jane Doe"}},
      {"bad/no-final-eol/INFO.3", ReadLordInfo,
       {.Alias = "Sam", .Baud = 9600, .Clean = true, .ComNum = 9, .ComType = 2, .Fairy = true,
        .MaxSeconds = 900, .RealName = "Sam Spade", .RecPos = 7}},
      // Other boards' formats: no socket in any of them, so always comm type 0 (stdio).
      {"synchronet/CHAIN.TXT", ReadChainTxt,  // LF, upper-cased names, seconds as "%8ld.00"
       {.Access = 60, .Alias = "JDOE", .Baud = 115200, .MaxSeconds = 2700, .RealName = "JANE DOE", .RecPos = 41}},
      {"wwiv/CHAIN.TXT", ReadChainTxt,  // LF and CR LF mixed; a local caller's speed is KB
       {.Access = 255, .Alias = "sysop", .Baud = 0, .MaxSeconds = 999999, .RealName = "Sysop Person"}},
      {"batch/DOORFILE.SR", ReadDoorFileSr,  // every line ends in a blank
       {.Alias = "Dave Batch", .Baud = 19200, .MaxSeconds = 1800, .RealName = "David Batchelor"}},
      {"synchronet/DOORFILE.SR", ReadDoorFileSr,  // the older seven lines: the name is the handle
       {.Alias = "Jane Doe", .Baud = 115200, .MaxSeconds = 2700, .RealName = "Jane Doe"}},
      {"icy/DOORFILE.SR", ReadDoorFileSr,  // a city line at 4; ANSI and time unknown (-1)
       {.Alias = "icy user", .Baud = 57600, .MaxSeconds = 3600, .RealName = "Ivy Cee"}},
      {"synchronet/SFDOORS.DAT", ReadSfDoors,
       {.Access = 60, .Alias = "Jane", .Baud = 115200, .MaxSeconds = 2700, .Node = 3, .RealName = "Jane Doe",
        .RecPos = 41}},
      {"icy/SFDOORS.DAT", ReadSfDoors,  // CR LF, a non-ASCII FALSE on lines 17 and 18
       {.Access = 20, .Alias = "Ivy", .Baud = 0, .Emulation = etASCII, .MaxSeconds = 1800, .Node = 2,
        .RealName = "Ivy Cee", .RecPos = 6}},
      {"synchronet/CALLINFO.BBS", ReadCallInfo,
       {.Access = 60, .Alias = "JANE DOE", .Baud = 115200, .MaxSeconds = 2700, .Node = 3, .RealName = "JANE DOE",
        .RecPos = 41}},
      {"wwiv/CALLINFO.BBS", ReadCallInfo,  // 31 lines: no node; MONO; padded minutes
       {.Access = 255, .Alias = "Sysop Person", .Baud = 0, .Emulation = etASCII, .MaxSeconds = 7200,
        .RealName = "Sysop Person"}},
      {"synchronet/TRIBBS.SYS", ReadTriBbs,  // 19 lines, time capped at 32767 minutes
       {.Access = 60, .Alias = "jdoe", .Baud = 115200, .MaxSeconds = 32767 * 60, .Node = 3, .RealName = "Jane Doe",
        .RecPos = 41}},
      {"icy/TRIBBS.SYS", ReadTriBbs,  // CR LF, a RIP line, no alias
       {.Access = 20, .Alias = "Ivy Cee", .Baud = 0, .Emulation = etASCII, .MaxSeconds = 1800, .Node = 2,
        .RealName = "Ivy Cee", .RecPos = 6}},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.File);
    DoorDropInfo = TDoorDropInfo{};
    C.Reader(Fixture(C.File));
    EXPECT_EQ(Describe(DoorDropInfo), Describe(C.Expected));
  }
}

TEST_F(DropFilesTest, EachLineRuleAndItsEdges) {
  struct TCase {
    const char *Name;
    TReader Reader;
    std::string Contents;
    const char *Words;  // what must hold afterwards; every reader starts from Sentinel()
  };
  const TCase kCases[] = {
      {"DOOR32 all lines", ReadDoor32, "2\n1000\n38400\nBoard\n5\nA Name\nAn Alias\n30\n45\n1\n3\n",
       "ComType=2 ComNum=1000 Baud=38400 RecPos=4 Access=30 MaxSeconds=2700 Emulation=ANSI Node=3 "
       "RealName=\"A Name\" Alias=\"An Alias\" Clean=1 Fairy=1"},
      {"DOOR32 emulation 0", ReadDoor32, Lines(11, {{10, "0"}}), "Emulation=ASCII"},
      {"DOOR32 emulation 2", ReadDoor32, Lines(11, {{10, "2"}}), "Emulation=ANSI"},
      {"DOOR32 emulation 4", ReadDoor32, Lines(11, {{10, "4"}}), "Emulation=ANSI"},
      {"DOOR32 emulation empty", ReadDoor32, Lines(11, {}), "Emulation=ANSI"},
      {"DOOR32 comm type low byte", ReadDoor32, Lines(11, {{1, "258"}}), "ComType=2"},
      {"DOOR32 comm type -1", ReadDoor32, Lines(11, {{1, "-1"}}), "ComType=255"},
      {"DOOR32 three lines", ReadDoor32, "2\n5\n9600\n",
       "RealName=\"\" Alias=\"\" RecPos=0 Access=0 MaxSeconds=0 Emulation=ANSI Node=0 Baud=9600"},
      {"DOOR32 empty handle", ReadDoor32, Lines(11, {{1, "2"}}), "ComNum=-1"},
      {"DOOR32 hex and blanks", ReadDoor32, Lines(11, {{2, " \t$1F"}, {9, "0x10"}, {11, "&17"}}),
       "ComNum=31 MaxSeconds=960 Node=15"},
      // Sums a board's numbers could push past 32 bits stop at the limit instead.
      {"DOOR32 huge minutes", ReadDoor32, Lines(11, {{9, "99999999"}}), "MaxSeconds=2147483647"},
      {"DOOR32 lowest record", ReadDoor32, Lines(11, {{5, "-2147483648"}}), "RecPos=-2147483648"},
      {"DOOR32 number past 32 bits", ReadDoor32, Lines(11, {{3, "2147483648"}}), "Baud=38400"},
      {"DOOR32 name kept as is", ReadDoor32, Lines(11, {{6, "  padded  "}, {7, "MiXeD"}}),
       "RealName=\"  padded  \" Alias=\"MiXeD\""},

      {"DOOR.SYS COM2:", ReadDoorSys, Lines(52, {{1, "COM2:"}}), "ComNum=2 ComType=1"},
      {"DOOR.SYS COM0:", ReadDoorSys, Lines(52, {{1, "COM0:"}}), "ComNum=0 ComType=9"},
      {"DOOR.SYS COM1 no colon", ReadDoorSys, Lines(52, {{1, "COM1"}}), "ComNum=0 ComType=9"},
      {"DOOR.SYS COM12:", ReadDoorSys, Lines(52, {{1, "COM12:"}}), "ComNum=12 ComType=1"},
      {"DOOR.SYS COM-1:", ReadDoorSys, Lines(52, {{1, "COM-1:"}}), "ComNum=-1 ComType=9"},
      {"DOOR.SYS GR", ReadDoorSys, Lines(52, {{20, "GR"}}), "Emulation=ANSI"},
      {"DOOR.SYS gr", ReadDoorSys, Lines(52, {{20, "gr"}}), "Emulation=ANSI"},
      {"DOOR.SYS GR blank", ReadDoorSys, Lines(52, {{20, "GR "}}), "Emulation=ASCII"},
      {"DOOR.SYS NG", ReadDoorSys, Lines(52, {{20, "NG"}}), "Emulation=ASCII"},
      {"DOOR.SYS seconds unscaled", ReadDoorSys, Lines(52, {{18, "3600"}, {19, "60"}}), "MaxSeconds=3600"},
      {"DOOR.SYS speed with blank", ReadDoorSys, Lines(52, {{5, "19200 "}}), "Baud=38400"},
      {"DOOR.SYS used lines", ReadDoorSys,
       Lines(52, {{4, "7"}, {5, "2400"}, {10, "Full Name"}, {15, "99"}, {26, "1"}, {36, "Handle"}}),
       "Node=7 Baud=2400 RealName=\"Full Name\" Access=99 RecPos=0 Alias=\"Handle\" Clean=1 Fairy=1"},
      {"DOOR.SYS empty", ReadDoorSys, "",
       "ComNum=0 ComType=9 Node=0 Baud=38400 RealName=\"\" Access=0 MaxSeconds=0 Emulation=ASCII RecPos=0 "
       "Alias=\"\""},

      {"DORINFO COM2", ReadDorInfo, Lines(13, {{4, "COM2"}}), "ComNum=2 ComType=1"},
      {"DORINFO COM0", ReadDorInfo, Lines(13, {{4, "COM0"}}), "ComNum=0 ComType=9"},
      {"DORINFO speed and settings", ReadDorInfo, Lines(13, {{5, "19200 BAUD,N,8,1"}}), "Baud=19200"},
      {"DORINFO speed alone", ReadDorInfo, Lines(13, {{5, "19200"}}), "Baud=38400"},
      {"DORINFO leading blank", ReadDorInfo, Lines(13, {{5, " 19200 BAUD"}}), "Baud=38400"},
      {"DORINFO two names", ReadDorInfo, Lines(13, {{7, "A"}, {8, "B"}}), "Alias=\"A\" RealName=\"A B\""},
      {"DORINFO first name only", ReadDorInfo, Lines(13, {{7, "A"}}), "Alias=\"A\" RealName=\"A\""},
      {"DORINFO graphics 1", ReadDorInfo, Lines(13, {{10, "1"}}), "Emulation=ANSI"},
      {"DORINFO graphics empty", ReadDorInfo, Lines(13, {}), "Emulation=ANSI"},
      {"DORINFO graphics 0", ReadDorInfo, Lines(13, {{10, "0"}}), "Emulation=ASCII"},
      {"DORINFO graphics 2", ReadDorInfo, Lines(13, {{10, "2"}}), "Emulation=ASCII"},
      {"DORINFO minutes", ReadDorInfo, Lines(13, {{11, "25"}, {12, "45"}}), "Access=25 MaxSeconds=2700"},
      {"DORINFO leaves the rest", ReadDorInfo, Lines(13, {}), "Node=-7 RecPos=-7 Fairy=1 Clean=1"},

      {"INFO record", ReadLordInfo, Lines(14, {{1, "5"}}), "RecPos=5"},
      {"INFO graphics 3", ReadLordInfo, Lines(14, {{2, "3"}}), "Emulation=ANSI"},
      {"INFO graphics empty", ReadLordInfo, Lines(14, {}), "Emulation=ANSI"},
      {"INFO graphics 0", ReadLordInfo, Lines(14, {{2, "0"}}), "Emulation=ASCII"},
      {"INFO graphics 1", ReadLordInfo, Lines(14, {{2, "1"}}), "Emulation=ASCII"},
      {"INFO graphics 2", ReadLordInfo, Lines(14, {{2, "2"}}), "Emulation=ASCII"},
      {"INFO fairy lower case", ReadLordInfo, Lines(14, {{4, "fairy yes"}}), "Fairy=1"},
      {"INFO fairy blank", ReadLordInfo, Lines(14, {{4, "FAIRY YES "}}), "Fairy=0"},
      {"INFO names", ReadLordInfo, Lines(14, {{6, "Al"}, {7, "First"}, {8, "Last"}}),
       "Alias=\"Al\" RealName=\"First Last\""},
      {"INFO first name only", ReadLordInfo, Lines(14, {{7, "First"}}), "RealName=\"First\""},
      {"INFO telnet", ReadLordInfo, Lines(14, {{12, "telnet"}}), "ComType=2"},
      {"INFO LOCAL", ReadLordInfo, Lines(14, {{12, "LOCAL"}}), "ComType=0"},
      {"INFO WC5", ReadLordInfo, Lines(14, {{12, "WC5"}}), "ComType=3"},
      {"INFO empty kind", ReadLordInfo, Lines(14, {}), "ComType=1"},
      {"INFO other kind", ReadLordInfo, Lines(14, {{12, "TELNET "}}), "ComType=1"},
      {"INFO clean on", ReadLordInfo, Lines(14, {{14, "CLEAN MODE ON"}}), "Clean=1"},
      {"INFO clean other", ReadLordInfo, Lines(14, {{14, "CLEAN MODE OFF"}}), "Clean=0"},
      {"INFO eight lines", ReadLordInfo, Lines(8, {{1, "1"}, {5, "10"}}),
       "ComNum=0 Baud=38400 ComType=1 Clean=0 RecPos=1 MaxSeconds=600"},
      {"INFO leaves the rest", ReadLordInfo, Lines(14, {}), "Node=-7 Access=-7"},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    DoorDropInfo = Sentinel();
    C.Reader(Dir.Write("drop", C.Contents));
    ExpectWords(C.Words);
  }
}

// Line ends, the end-of-file byte and line lengths, seen through DOOR32.SYS's name lines.
// Other boards' formats: a line the file lacks keeps its field, one that is there but
// unreadable gives the field's load-time default; numbers padded, with fractions or huge.
TEST_F(DropFilesTest, OtherBoardsFormatsMissingBadAndHugeLines) {
  const TDoorDropInfo Defaults{};
  struct TCase {
    const char *Name;
    TReader Reader;
    std::string Text;
    std::string Words;
  };
  const TCase kCases[] = {
      {"TRIBBS.SYS of two lines keeps the rest", ReadTriBbs, "5\nAnn\n",
       "RecPos=4 RealName=\"Ann\" Alias=\"Ann\" Access=-7 MaxSeconds=-7 Node=-7 Baud=-7 ComType=0 Emulation=ASCII"},
      {"an empty SFDOORS.DAT changes only the comm type", ReadSfDoors, "",
       "RecPos=-7 RealName=\"(name)\" Alias=\"(alias)\" Node=-7 MaxSeconds=-7 ComType=0"},
      {"bad numbers give the defaults", ReadChainTxt, Lines(20, {{1, "x"}, {11, "lots"}, {14, "?"}, {16, "soon"}}),
       "RecPos=0 Access=0 MaxSeconds=" + std::to_string(Defaults.MaxSeconds) + " Emulation=ANSI Baud=0"},
      {"padded, with a fraction, with a sign", ReadChainTxt, Lines(16, {{1, "  +12"}, {11, "\t 90 "}, {16, "  2225.99"}}),
       "RecPos=11 Access=90 MaxSeconds=2225"},
      {"huge minutes saturate", ReadDoorFileSr, Lines(8, {{7, "99999999999999999999"}}),
       "MaxSeconds=2147483647"},
      {"huge negative seconds saturate", ReadChainTxt, Lines(16, {{16, "-99999999999"}}), "MaxSeconds=-2147483648"},
      {"minutes times 60 saturate", ReadCallInfo, Lines(5, {{5, "40000000"}}), "MaxSeconds=2147483647"},
      {"booleans by their first letter", ReadSfDoors, Lines(10, {{10, "tRuE"}}), "Emulation=ANSI"},
      {"MONO with trailing blanks", ReadCallInfo, Lines(6, {{6, "MONO   "}}), "Emulation=ASCII"},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    DoorDropInfo = Sentinel();
    C.Reader(Dir.Write("DROP", C.Text));
    ExpectWords(C.Words);
  }

  // A 10 MB name: kept cut, the lines after it still in their places.
  DoorDropInfo = TDoorDropInfo{};
  ReadSfDoors(Dir.Write("SFDOORS.DAT", "3\n" + std::string(10 << 20, 'n') + "\nx\nFirst\n0\n0\n20\n"));
  EXPECT_EQ(DoorDropInfo.RealName, std::string(DROP_MAX_LINE, 'n'));
  EXPECT_EQ(DoorDropInfo.Alias, "First");
  EXPECT_EQ(DoorDropInfo.MaxSeconds, 1200);
}

TEST_F(DropFilesTest, LineReading) {
  const std::string Long300(300, 'n');
  const std::string Digits300 = std::string(297, '0') + "045";
  // Puts the CR of line 4 last in the reader's first 8 KiB, its LF first in the next.
  const std::string Board(8192 - 1 - 6, 'b');
  struct TCase {
    const char *Name;
    std::string Contents;
    std::string Words;
  };
  const TCase kCases[] = {
      {"CR LF", "2\r\n5\r\n1\r\nb\r\n3\r\nReal\r\nAli\r\n", "ComNum=5 RecPos=2 RealName=\"Real\" Alias=\"Ali\""},
      {"lone CR", "2\r5\r1\rb\r3\rReal\rAli\r", "ComNum=5 RecPos=2 RealName=\"Real\" Alias=\"Ali\""},
      {"mixed", "2\r\n5\n1\rb\r\n3\nReal\rAli", "ComNum=5 RecPos=2 RealName=\"Real\" Alias=\"Ali\""},
      {"CR CR is two lines", "2\r\r5\n", "ComNum=-1 Baud=5"},
      {"LF CR is two lines", "2\n\r5\n", "ComNum=-1 Baud=5"},
      {"0x1A ends the file", "2\n5\n1\nb\n3\nRe\x1A" "al\nAli\n1\n", "RealName=\"Re\" Alias=\"\" Access=0"},
      {"0x1A at a line start", "2\n5\n\x1A" "1\n", "ComNum=5 Baud=38400 RealName=\"\""},
      {"NUL kept in a name", "2\n5\n1\nb\n3\nRe\0al\n"s, "RealName=\"Re\0al\""s},
      {"line end across the read-ahead", "2\n5\n1\n" + Board + "\r\n3\nReal\nAli\n",
       "RecPos=2 RealName=\"Real\" Alias=\"Ali\""},
      {"300-character name whole", "2\n5\n1\nb\n3\n" + Long300 + "\nAli\n",
       "RealName=\"" + Long300 + "\" Alias=\"Ali\""},
      {"number over 255 characters", Lines(11, {{9, Digits300}, {11, Digits300.substr(45)}}),
       "MaxSeconds=0 Node=45"},
  };
  for (const TCase &C : kCases) {
    SCOPED_TRACE(C.Name);
    DoorDropInfo = Sentinel();
    ReadDoor32(Dir.Write("DOOR32.SYS", C.Contents));
    ExpectWords(C.Words);
  }
}

TEST_F(DropFilesTest, HugeLinesAndBinaryFilesStayBounded) {
  // One 10 MB line as the caller's name: kept cut, the next line still found.
  std::string Huge = "2\n5\n1\nb\n3\n" + std::string(10 << 20, 'x') + "\nAli\n30\n";
  ReadDoor32(Dir.Write("DOOR32.SYS", Huge));
  EXPECT_EQ(DoorDropInfo.RealName, std::string(DROP_MAX_LINE, 'x'));
  EXPECT_EQ(DoorDropInfo.Alias, "Ali");
  EXPECT_EQ(DoorDropInfo.Access, 30);

  // A 10 MB number line is no number, even though its start looks like one.
  ReadDorInfo(Dir.Write("DORINFO1.DEF", Lines(3, {}) + "COM" + std::string(10 << 20, '0') + "7\n"));
  EXPECT_EQ(DoorDropInfo.ComNum, 0);
  // Nor a 10 MB speed before the blank.
  ReadDorInfo(Dir.Write("DORINFO1.DEF", Lines(4, {}) + std::string(10 << 20, '1') + " BAUD\n"));
  EXPECT_EQ(DoorDropInfo.Baud, 38400);

  std::string Binary;
  uint32_t Seed = 12345;
  for (int I = 0; I < (1 << 20); I++) {
    Seed = Seed * 1103515245 + 12345;
    Binary.push_back(static_cast<char>(Seed >> 24));
  }
  const TReader Readers[] = {ReadDoor32,   ReadDoorSys,    ReadDorInfo,  ReadLordInfo, ReadChainTxt,
                             ReadDoorFileSr, ReadSfDoors, ReadCallInfo, ReadTriBbs};
  for (TReader Reader : Readers) {
    DoorDropInfo = TDoorDropInfo{};
    Reader(Dir.Write("binary", Binary));
    EXPECT_LE(DoorDropInfo.Alias.size(), DROP_MAX_LINE);
    EXPECT_LE(DoorDropInfo.RealName.size(), 2 * DROP_MAX_LINE + 1);
    EXPECT_TRUE(DoorDropInfo.Emulation == etANSI || DoorDropInfo.Emulation == etASCII);
  }
}

// A folder, a missing file and an unreadable one are files that cannot be opened:
// the record is left as it was.
TEST_F(DropFilesTest, NamesThatCannotBeReadLeaveTheRecord) {
  const std::string Locked = Dir.Write("DOOR32.SYS", "2\n5\n");
  chmod(Locked.c_str(), 0);
  chmod(Dir.Path.c_str(), 0755);
  mkdir(Dir.File("DOOR.SYS").c_str(), 0755);
  const std::string Names[] = {Dir.File("DOOR.SYS"), Dir.File("gone/INFO.1"), Dir.File("DORINFO1.DEF"), Locked};
  const TReader Readers[] = {ReadDoor32,   ReadDoorSys,    ReadDorInfo,  ReadLordInfo, ReadChainTxt,
                             ReadDoorFileSr, ReadSfDoors, ReadCallInfo, ReadTriBbs};
  // Root reads anything: look at the locked file as nobody, in a child.
  const bool AsNobody = geteuid() == 0;
  pid_t Child = AsNobody ? fork() : 0;
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    if (AsNobody && setuid(65534) != 0) _exit(3);
    int Wrong = 0;
    for (const std::string &Name : Names) {
      for (TReader Reader : Readers) {
        DoorDropInfo = Sentinel();
        Reader(Name);
        if (Describe(DoorDropInfo) != Describe(Sentinel())) {
          std::fprintf(stderr, "%s changed the record:%s\n", Name.c_str(), Describe(DoorDropInfo).c_str());
          Wrong++;
        }
      }
    }
    if (AsNobody) _exit(Wrong == 0 ? 0 : 1);
    EXPECT_EQ(Wrong, 0);
    return;
  }
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(WIFEXITED(Status));
  EXPECT_EQ(WEXITSTATUS(Status), 0);
}

// Prints the console's rows and how long the program paused, as it ends.
std::chrono::steady_clock::time_point GStart;
void ShowConsoleAtExit() {
  for (int Y = 1; Y <= CONSOLE_ROWS; Y++) std::fprintf(stderr, "|%s|\n", ConsoleRowText(Y).c_str());
  auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - GStart);
  std::fprintf(stderr, Ms.count() >= 2500 ? "paused\n" : "no pause\n");
}

TEST(DropFilesDeathTest, ReadErrorIsReportedAndTheDoorEndsWithZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Reading /proc/self/mem from its start fails with EIO: a read error that is not the end.
  EXPECT_EXIT(
      {
        ConsoleReset();
        std::atexit(ShowConsoleAtExit);
        GStart = std::chrono::steady_clock::now();
        ReadDoor32("/proc/self/mem");
      },
      ::testing::ExitedWithCode(0),
      "\\|  Cannot read drop file /proc/self/mem: Input/output error +\\|(.|\n)*paused");
}

}  // namespace
