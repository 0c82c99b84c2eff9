// The kit's name and version, as the status bar shows them (DoorProgramNameAndVersion) and
// as the installed package states them (CMake and pkg-config read them from here).
#pragma once

#define DOORKIT_NAME "Zarvex"
#define DOORKIT_VERSION "13.09.02"
