// Readers for the drop files boards write; each fills DoorDropInfo (door.h).
#pragma once

#include <string>

void ReadDoor32(const std::string &AFileName);    // DOOR32.SYS, 11 lines
void ReadDoorSys(const std::string &AFileName);   // DOOR.SYS, 52 lines
void ReadDorInfo(const std::string &AFileName);   // DORINFO*.DEF, 13 lines
void ReadLordInfo(const std::string &AFileName);  // INFO.*, 14 lines
