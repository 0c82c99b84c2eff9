// The watchers' wire: what a door tells the sysop's watchers (doorwatch) about its screen,
// what they send back, and where a node's socket lies. Shared by the door and doorwatch;
// not for door programs.
//
// Every message is its type byte, its payload's length in two bytes (low byte first) and
// the payload. The door greets every connection with a hello; a watcher that sends an
// attach gets the whole screen, then every change of it: rows, each frame ended by the
// cursor. The watcher sends the sysop's keys as the console queues them (0 and the scan
// code for an extended key).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "doorkit/console.h"
#include "console_internal.h"

constexpr uint8_t WATCH_VERSION = 1;

constexpr uint8_t WATCH_HELLO = 'H';    // door: who is on the node (TWatchHello)
constexpr uint8_t WATCH_REFUSED = 'N';  // door: this user may not watch; the door hangs up
constexpr uint8_t WATCH_ROW = 'R';      // door: row 1-25, then 80 cells, character and attribute
constexpr uint8_t WATCH_CURSOR = 'C';   // door: column, row, shown; ends a frame
constexpr uint8_t WATCH_ATTACH = 'A';   // watcher: send me the screen
constexpr uint8_t WATCH_KEYS = 'K';     // watcher: the sysop's keys

constexpr size_t WATCH_MAX_PAYLOAD = 255;
constexpr size_t WATCH_ROW_PAYLOAD = 1 + 2 * CONSOLE_COLS;
constexpr size_t WATCH_NAME_MAX = 64;  // the caller's and the door's names in a hello

struct TWatchHello {
  uint8_t Version = WATCH_VERSION;
  int32_t Node = 0;
  bool Limits = false;  // the door keeps the caller's time and idle limits (a link session)
  int32_t SecondsLeft = 0;
  int32_t SecondsIdle = 0;
  std::string Caller;
  std::string Door;
};

void WatchPut(std::string &AOut, uint8_t AType, std::string_view APayload);
void WatchPutHello(std::string &AOut, const TWatchHello &AHello);
void WatchPutRow(std::string &AOut, int AY, const TConsoleCell *ACells);
void WatchPutCursor(std::string &AOut, int AX, int AY, bool AVisible);

// False for a payload that is not what its type carries.
bool WatchGetHello(std::string_view APayload, TWatchHello &AHello);
bool WatchGetRow(std::string_view APayload, int &AY, TConsoleCell *ACells);
bool WatchGetCursor(std::string_view APayload, int &AX, int &AY, bool &AVisible);

// Whole messages out of a byte stream that may cut them anywhere.
struct TWatchReader {
  std::string Buffer;
  size_t Used = 0;  // bytes at the front already handed out
};
void WatchFeed(TWatchReader &AReader, std::string_view ABytes);
// 1: a message taken (its payload stays valid until the next feed), 0: not whole yet,
// -1: the stream is broken (a payload longer than any message has), so the peer is dropped.
int WatchTake(TWatchReader &AReader, uint8_t &AType, std::string_view &APayload);

// Where a node's socket lies: the folder of the user's runtime folder ($XDG_RUNTIME_DIR)
// where there is one, else one under /tmp named for the user id.
std::string WatchFolder(uid_t AUser);
std::string WatchSocketName(int32_t ANode);
// Every folder where sockets of AUser's doors may lie; for root, every user's.
std::vector<std::string> WatchFolders(uid_t AUser);
