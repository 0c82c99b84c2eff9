#include "door.h"

TDoorDropInfo DoorDropInfo;
TDoorLastKey DoorLastKey;
int32_t DoorLiteBarIndex = 0;
std::vector<std::string> DoorLiteBarOptions;
TDoorMOREPrompts DoorMOREPrompts;
std::string DoorProgramNameAndVersion = "Zarvex v13.09.02";
TDoorSession DoorSession;
