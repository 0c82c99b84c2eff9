// Readers for the drop files boards write; each fills DoorDropInfo (door.h).
#pragma once

#include <cstddef>
#include <string>

void ReadDoor32(const std::string &AFileName);    // DOOR32.SYS, 11 lines
void ReadDoorSys(const std::string &AFileName);   // DOOR.SYS, 52 lines
void ReadDorInfo(const std::string &AFileName);   // DORINFO*.DEF, 13 lines
void ReadLordInfo(const std::string &AFileName);  // INFO.*, 14 lines
// Other boards' formats. Each runs the door in stdio mode (ComType 0: none names a socket);
// a line the file lacks keeps its field, an unreadable one gives the field's default.
void ReadChainTxt(const std::string &AFileName);    // CHAIN.TXT, time left in seconds
void ReadDoorFileSr(const std::string &AFileName);  // DOORFILE.SR, minutes
void ReadSfDoors(const std::string &AFileName);     // SFDOORS.DAT, minutes
void ReadCallInfo(const std::string &AFileName);    // CALLINFO.BBS, minutes
void ReadTriBbs(const std::string &AFileName);      // TRIBBS.SYS, minutes

// The longest part of a line a reader keeps (a name longer than this is cut here).
// Longer than any integer line may be, so an over-long number still gives its default.
constexpr size_t DROP_MAX_LINE = 4096;
