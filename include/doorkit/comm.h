// The link to the caller: the socket the board accepted and handed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

void CommOpen(int32_t ACommNumber);  // adopt the descriptor, announce telnet options
// Why the link cannot be opened on AHandle ("is not open", "is not a socket"), or nullptr
// when it is an open socket.
const char *CommHandleProblem(int32_t AHandle);
// The caller's stream on standard input and output instead (a stdio door on a pty, a pipe
// or a socket the board put there): no telnet either way and nothing announced, line ends
// folded as from a socket. Closing it leaves the standard handles open.
void CommOpenStdio();
void CommClose(bool ADisconnect);    // true: shut the connection down first
bool CommCarrier();
bool CommCharAvail();                // polls the socket once when nothing is buffered
char CommPeekChar();
char CommReadChar();
void CommWrite(std::string_view AText);     // 0xFF doubled
void CommWriteRaw(std::string_view AText);  // unchanged
void CommWriteBlock(const void *Block, int32_t BlockLen);
// On: writes gather in the link's out-buffer and go out together, in one send, when the
// buffer is flushed: by CommFlushOutBuffer, once COMM_OUT_BUFFER_SIZE bytes have gathered,
// whenever the link looks for the caller's bytes (CommCharAvail, the waiting reads), and at
// close. A door that draws frames and tests for a key (or sleeps) in between sends each
// frame whole instead of in hundreds of small sends. Off (the default): one send per write.
void CommSetOutBuffer(bool AOn);
constexpr size_t COMM_OUT_BUFFER_SIZE = 16384;
void CommFlushOutBuffer();  // sends what the out-buffer holds
void CommPurgeOutBuffer();  // drops it unsent
void CommSetBaud(int32_t ABaud);

// The caller's terminal takes UTF-8 (off by default: CP437 bytes). Each CP437 glyph byte
// written goes out as its Unicode character; control bytes, escape and control sequences,
// sixel data and music strings go as they are. What the caller types comes back as CP437
// bytes; a character without a CP437 form is dropped.
void CommSetUtf8(bool AOn);
bool CommUtf8();
// The caller's last window-size report (telnet NAWS), 0 x 0 while none came.
void CommWindowSize(uint16_t &ACols, uint16_t &ARows);

// How long a send waits for a caller who takes no byte at all before the carrier is taken
// as lost (a client that stopped reading would otherwise hold the node for good).
constexpr uint32_t COMM_SEND_TIMEOUT_MS = 60000;
// 0: sends never wait; what the caller cannot take at once is dropped.
void CommSetSendTimeout(uint32_t AMilliseconds);
// The caller is gone by other news than a receive (the board hung them up): the carrier is
// lost from now on, and sends no longer wait.
void CommLoseCarrier();
// The descriptor to wait on for the caller's bytes, -1 while none can arrive (no socket,
// closed, carrier lost).
int CommWaitHandle();
// Called while a send waits for the caller to take bytes (every 100 ms at most, and after a
// signal), so the program can act on signals meanwhile; it may end the program.
extern void (*CommOnSendWait)();
