// The link to the caller: the socket the board accepted and handed over.
#pragma once

#include <cstdint>
#include <string_view>

void CommOpen(int32_t ACommNumber);  // adopt the descriptor, announce telnet options
void CommClose(bool ADisconnect);    // true: shut the connection down first
bool CommCarrier();
bool CommCharAvail();                // polls the socket once when nothing is buffered
char CommPeekChar();
char CommReadChar();
void CommWrite(std::string_view AText);     // 0xFF doubled
void CommWriteRaw(std::string_view AText);  // unchanged
void CommWriteBlock(const void *Block, int32_t BlockLen);
void CommFlushOutBuffer();
void CommPurgeOutBuffer();
void CommSetBaud(int32_t ABaud);
