// The console's watchers: the screen (the caller's mirror and the status bar) offered on a
// Unix-domain socket of the node to the sysop's watchers, and their keys taken back. For
// the door module and the console; not for door programs.
//
// A watcher costs the door only in its own flow (one thread): the screen's changes go out
// whenever the console brings the sysop's terminal up to date, and new watchers and their
// keys are looked at then, ten times a second at most, and during the console's waits.
#pragma once

#include <cstdint>
#include <string>

#include "console_internal.h"
#include "watch_wire.h"

// Listens on the node's socket in the folder of this user (made 0700, the socket 0600); a
// socket a killed door left there is taken over. False, with no socket, where the folder
// is not this user's alone or a live door already has the node. AInfo fills the hello
// that every connection gets (the listing's facts).
bool ConsoleWatchOpen(int32_t ANode, void (*AInfo)(TWatchHello &AHello));
// Sends what watchers have not got yet, as far as they take it, and closes everything; the
// socket goes. Runs at the end of the program by itself.
void ConsoleWatchClose();
// The socket's path while it is open, else empty.
const std::string &ConsoleWatchPath();

// The next key a watcher typed: false when none waits; AExtended: AKey is a scan code.
bool ConsoleWatchKey(char &AKey, bool &AExtended);
// Attached watchers.
int ConsoleWatchCount();

// Test seam: takes AFd as a connected watcher of this user, as if it had come on the socket.
void ConsoleWatchAdopt(int AFd);
