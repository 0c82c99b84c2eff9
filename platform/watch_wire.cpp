// The watchers' wire: building and taking apart its messages, and the sockets' folders.
#include "watch_wire.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

void PutInt32(std::string &AOut, int32_t AValue) {
  const uint32_t V = static_cast<uint32_t>(AValue);
  for (int I = 0; I < 4; ++I) AOut += static_cast<char>((V >> (8 * I)) & 0xFF);
}

int32_t GetInt32(std::string_view AIn, size_t AAt) {
  uint32_t V = 0;
  for (int I = 0; I < 4; ++I) V |= static_cast<uint32_t>(static_cast<uint8_t>(AIn[AAt + I])) << (8 * I);
  return static_cast<int32_t>(V);
}

void PutName(std::string &AOut, std::string_view AName) {
  AName = AName.substr(0, WATCH_NAME_MAX);
  AOut += static_cast<char>(AName.size());
  AOut += AName;
}

bool GetName(std::string_view AIn, size_t &AAt, std::string &AName) {
  if (AAt >= AIn.size()) return false;
  const size_t Len = static_cast<uint8_t>(AIn[AAt++]);
  if (Len > WATCH_NAME_MAX || AIn.size() - AAt < Len) return false;
  AName.assign(AIn.substr(AAt, Len));
  AAt += Len;
  return true;
}

bool OwnedFolder(const std::string &APath, uid_t AUser) {
  struct stat St{};
  return lstat(APath.c_str(), &St) == 0 && S_ISDIR(St.st_mode) && St.st_uid == AUser;
}

void AddOnce(std::vector<std::string> &AList, const std::string &APath) {
  if (std::find(AList.begin(), AList.end(), APath) == AList.end()) AList.push_back(APath);
}

}  // namespace

void WatchPut(std::string &AOut, uint8_t AType, std::string_view APayload) {
  AOut += static_cast<char>(AType);
  AOut += static_cast<char>(APayload.size() & 0xFF);
  AOut += static_cast<char>(APayload.size() >> 8);
  AOut += APayload;
}

void WatchPutHello(std::string &AOut, const TWatchHello &AHello) {
  std::string P;
  P += static_cast<char>(AHello.Version);
  PutInt32(P, AHello.Node);
  P += static_cast<char>(AHello.Limits ? 1 : 0);
  PutInt32(P, AHello.SecondsLeft);
  PutInt32(P, AHello.SecondsIdle);
  PutName(P, AHello.Caller);
  PutName(P, AHello.Door);
  WatchPut(AOut, WATCH_HELLO, P);
}

void WatchPutRow(std::string &AOut, int AY, const TConsoleCell *ACells) {
  AOut += static_cast<char>(WATCH_ROW);
  AOut += static_cast<char>(WATCH_ROW_PAYLOAD & 0xFF);
  AOut += static_cast<char>(WATCH_ROW_PAYLOAD >> 8);
  AOut += static_cast<char>(AY);
  for (int X = 0; X < CONSOLE_COLS; ++X) {
    AOut += static_cast<char>(ACells[X].Ch);
    AOut += static_cast<char>(ACells[X].Attr);
  }
}

void WatchPutCursor(std::string &AOut, int AX, int AY, bool AVisible) {
  const char P[3] = {static_cast<char>(AX), static_cast<char>(AY), static_cast<char>(AVisible ? 1 : 0)};
  WatchPut(AOut, WATCH_CURSOR, std::string_view(P, 3));
}

bool WatchGetHello(std::string_view APayload, TWatchHello &AHello) {
  if (APayload.size() < 14) return false;
  AHello.Version = static_cast<uint8_t>(APayload[0]);
  AHello.Node = GetInt32(APayload, 1);
  AHello.Limits = APayload[5] != 0;
  AHello.SecondsLeft = GetInt32(APayload, 6);
  AHello.SecondsIdle = GetInt32(APayload, 10);
  size_t At = 14;
  return GetName(APayload, At, AHello.Caller) && GetName(APayload, At, AHello.Door);
}

bool WatchGetRow(std::string_view APayload, int &AY, TConsoleCell *ACells) {
  if (APayload.size() != WATCH_ROW_PAYLOAD) return false;
  AY = static_cast<uint8_t>(APayload[0]);
  if (AY < 1 || AY > CONSOLE_ROWS) return false;
  for (int X = 0; X < CONSOLE_COLS; ++X)
    ACells[X] = {static_cast<uint8_t>(APayload[1 + 2 * X]), static_cast<uint8_t>(APayload[2 + 2 * X])};
  return true;
}

bool WatchGetCursor(std::string_view APayload, int &AX, int &AY, bool &AVisible) {
  if (APayload.size() != 3) return false;
  AX = static_cast<uint8_t>(APayload[0]);
  AY = static_cast<uint8_t>(APayload[1]);
  AVisible = APayload[2] != 0;
  return AX >= 1 && AX <= CONSOLE_COLS && AY >= 1 && AY <= CONSOLE_ROWS;
}

void WatchFeed(TWatchReader &AReader, std::string_view ABytes) {
  if (AReader.Used > 0) {
    AReader.Buffer.erase(0, AReader.Used);
    AReader.Used = 0;
  }
  AReader.Buffer.append(ABytes);
}

int WatchTake(TWatchReader &AReader, uint8_t &AType, std::string_view &APayload) {
  const std::string_view Rest = std::string_view(AReader.Buffer).substr(AReader.Used);
  if (Rest.size() < 3) return 0;
  const size_t Len = static_cast<uint8_t>(Rest[1]) | (static_cast<size_t>(static_cast<uint8_t>(Rest[2])) << 8);
  if (Len > WATCH_MAX_PAYLOAD) return -1;
  if (Rest.size() < 3 + Len) return 0;
  AType = static_cast<uint8_t>(Rest[0]);
  APayload = Rest.substr(3, Len);
  AReader.Used += 3 + Len;
  return 1;
}

std::string WatchFolder(uid_t AUser) {
  const char *Runtime = std::getenv("XDG_RUNTIME_DIR");
  if (Runtime && Runtime[0] == '/' && OwnedFolder(Runtime, AUser)) return std::string(Runtime) + "/doorkit";
  return "/tmp/doorkit-" + std::to_string(AUser);
}

std::string WatchSocketName(int32_t ANode) { return "node" + std::to_string(ANode) + ".sock"; }

std::vector<std::string> WatchFolders(uid_t AUser) {
  std::vector<std::string> List;
  AddOnce(List, WatchFolder(AUser));
  AddOnce(List, "/run/user/" + std::to_string(AUser) + "/doorkit");
  AddOnce(List, "/tmp/doorkit-" + std::to_string(AUser));
  if (AUser != 0) return List;
  // Root may watch every user's doors.
  if (DIR *D = opendir("/run/user")) {
    while (dirent *E = readdir(D))
      if (E->d_name[0] != '.') AddOnce(List, std::string("/run/user/") + E->d_name + "/doorkit");
    closedir(D);
  }
  if (DIR *D = opendir("/tmp")) {
    while (dirent *E = readdir(D))
      if (std::strncmp(E->d_name, "doorkit-", 8) == 0) AddOnce(List, std::string("/tmp/") + E->d_name);
    closedir(D);
  }
  return List;
}
