// The drop-file readers over arbitrary file contents: each reader reads the bytes as a
// file, and the text fields must be exactly the lines a plain line splitter finds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "doorkit/door.h"
#include "doorkit/dropfiles.h"
#include "doorkit/stringutils.h"

namespace {

std::string &DropName() {
  static std::string Name = [] {
    const char *Base = std::getenv("TMPDIR");
    std::string Dir = std::string(Base && *Base ? Base : "/tmp") + "/fuzz-dropfiles-XXXXXX";
    if (mkdtemp(Dir.data()) == nullptr) std::abort();
    return Dir + "/DROP";
  }();
  static const bool Tidy = [] {
    std::atexit([] {
      unlink(DropName().c_str());
      rmdir(DropName().substr(0, DropName().size() - 5).c_str());
    });
    return true;
  }();
  (void)Tidy;
  return Name;
}

// The reading rules, written out plainly: CR LF, LF or CR end a line, 0x1A ends the file,
// missing lines are empty, a line keeps its first DROP_MAX_LINE bytes.
std::vector<std::string> SplitLines(const uint8_t *AData, size_t ASize, size_t ACount) {
  std::vector<std::string> Lines(ACount);
  size_t I = 0;
  for (size_t L = 0; L < ACount && I < ASize; L++) {
    std::string Line;
    bool Eof = true;
    while (I < ASize) {
      char C = static_cast<char>(AData[I]);
      if (C == '\x1A') break;
      I++;
      if (C == '\n' || C == '\r') {
        if (C == '\r' && I < ASize && AData[I] == '\n') I++;
        Eof = false;
        break;
      }
      if (Line.size() < DROP_MAX_LINE) Line.push_back(C);
    }
    Lines[L] = Line;
    if (Eof) break;
  }
  return Lines;
}

void Check(bool ACondition, const char *AWhat) {
  if (!ACondition) {
    std::fprintf(stderr, "broken: %s\n", AWhat);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string &Name = DropName();
  // A new file each time: truncating the old one makes the file system flush it to disk.
  unlink(Name.c_str());
  FILE *F = std::fopen(Name.c_str(), "wb");
  if (!F) std::abort();
  if (Size > 0 && std::fwrite(Data, 1, Size, F) != Size) std::abort();
  std::fclose(F);

  std::vector<std::string> L = SplitLines(Data, Size, 52);

  DoorDropInfo = TDoorDropInfo{};
  ReadDoor32(Name);
  Check(DoorDropInfo.ComType == static_cast<uint8_t>(StrToIntDef(L[0], 0)), "DOOR32 comm type");
  Check(DoorDropInfo.ComNum == StrToIntDef(L[1], -1), "DOOR32 handle");
  Check(DoorDropInfo.RealName == L[5] && DoorDropInfo.Alias == L[6], "DOOR32 names");
  Check(DoorDropInfo.Node == StrToIntDef(L[10], 0), "DOOR32 node");
  Check(DoorDropInfo.Emulation == (StrToIntDef(L[9], 1) == 0 ? etASCII : etANSI), "DOOR32 emulation");

  DoorDropInfo = TDoorDropInfo{};
  ReadDoorSys(Name);
  Check(DoorDropInfo.RealName == L[9] && DoorDropInfo.Alias == L[35], "DOOR.SYS names");
  Check(DoorDropInfo.MaxSeconds == StrToIntDef(L[17], 0), "DOOR.SYS seconds");
  Check(DoorDropInfo.ComType <= 1, "DOOR.SYS comm type");

  DoorDropInfo = TDoorDropInfo{};
  ReadDorInfo(Name);
  Check(DoorDropInfo.Alias == L[6], "DORINFO first name");
  Check(DoorDropInfo.RealName == (L[7].empty() ? L[6] : L[6] + " " + L[7]), "DORINFO full name");

  DoorDropInfo = TDoorDropInfo{};
  ReadLordInfo(Name);
  Check(DoorDropInfo.Alias == L[5], "INFO alias");
  Check(DoorDropInfo.RealName == (L[7].empty() ? L[6] : L[6] + " " + L[7]), "INFO full name");
  Check(DoorDropInfo.ComType <= 3, "INFO comm type");

  // Other boards' formats: stdio always, names bounded and without trailing blanks.
  for (void (*Reader)(const std::string &) : {ReadChainTxt, ReadDoorFileSr, ReadSfDoors, ReadCallInfo, ReadTriBbs}) {
    DoorDropInfo = TDoorDropInfo{};
    DoorDropInfo.ComType = 2;
    Reader(Name);
    Check(DoorDropInfo.ComType == 0, "other formats run in stdio mode");
    for (const std::string *Text : {&DoorDropInfo.Alias, &DoorDropInfo.RealName}) {
      Check(Text->size() <= DROP_MAX_LINE, "names bounded");
      Check(Text->empty() || (Text->back() != ' ' && Text->back() != '\t'), "trailing blanks gone");
    }
  }
  return 0;
}
