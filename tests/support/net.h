// Real descriptors for tests: the two ends of a caller's connection, and fresh folders.
#pragma once

#include <string>
#include <string_view>

#include <sys/socket.h>

// Two connected stream sockets: Door is the end a board hands to the door, Peer is the
// caller's client. Closes what is still open on destruction; set an end to -1 once
// something else (CommClose) has closed it, so a reused number is never closed twice.
struct TNetPair {
  int Door = -1;
  int Peer = -1;
  TNetPair() = default;
  TNetPair(const TNetPair &) = delete;
  TNetPair &operator=(const TNetPair &) = delete;
  ~TNetPair();
};

// AF_UNIX socketpair of AType (SOCK_SEQPACKET keeps each send apart); false, with a gtest
// failure, if the system refuses.
bool NetSocketPair(TNetPair &APair, int AType = SOCK_STREAM);
// TCP over 127.0.0.1: Peer connects, Door is the accepted end, as a board's listener gives it.
bool NetTcpPair(TNetPair &APair);

// Sends all of AData (MSG_NOSIGNAL).
bool NetSend(int AFd, std::string_view AData);
// Reads until ACount bytes have come, the peer closes, or ATimeoutMs pass without a byte.
std::string NetRecv(int AFd, size_t ACount, int ATimeoutMs = 2000);
// True when a read would not block within ATimeoutMs (data waiting or the peer closed).
bool NetReadable(int AFd, int ATimeoutMs);
// Closes AFd if open and sets it to -1.
void NetClose(int &AFd);

// A fresh folder under TMPDIR (or /tmp), removed with everything in it on destruction.
struct TTempDir {
  std::string Path;
  TTempDir();
  TTempDir(const TTempDir &) = delete;
  TTempDir &operator=(const TTempDir &) = delete;
  ~TTempDir();
  // Path of a file in the folder; writes AContents to it when given.
  std::string File(const std::string &AName) const;
  std::string Write(const std::string &AName, std::string_view AContents) const;
};
