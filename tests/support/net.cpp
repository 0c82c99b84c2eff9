#include "net.h"

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

TNetPair::~TNetPair() {
  NetClose(Door);
  NetClose(Peer);
}

bool NetSocketPair(TNetPair &APair, int AType) {
  int Fds[2];
  if (socketpair(AF_UNIX, AType | SOCK_CLOEXEC, 0, Fds) != 0) {
    ADD_FAILURE() << "socketpair: " << std::strerror(errno);
    return false;
  }
  APair.Door = Fds[0];
  APair.Peer = Fds[1];
  return true;
}

bool NetTcpPair(TNetPair &APair) {
  int Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (Listener < 0) {
    ADD_FAILURE() << "socket: " << std::strerror(errno);
    return false;
  }
  sockaddr_in Addr{};
  Addr.sin_family = AF_INET;
  Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof(Addr);
  bool Ok = bind(Listener, reinterpret_cast<sockaddr *>(&Addr), sizeof(Addr)) == 0 &&
            listen(Listener, 1) == 0 &&
            getsockname(Listener, reinterpret_cast<sockaddr *>(&Addr), &Len) == 0;
  if (Ok) {
    APair.Peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Ok = APair.Peer >= 0 && connect(APair.Peer, reinterpret_cast<sockaddr *>(&Addr), sizeof(Addr)) == 0;
  }
  if (Ok) {
    APair.Door = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
    Ok = APair.Door >= 0;
  }
  if (!Ok) ADD_FAILURE() << "loopback TCP: " << std::strerror(errno);
  close(Listener);
  return Ok;
}

bool NetSend(int AFd, std::string_view AData) {
  while (!AData.empty()) {
    ssize_t N = send(AFd, AData.data(), AData.size(), MSG_NOSIGNAL);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return false;
    AData.remove_prefix(static_cast<size_t>(N));
  }
  return true;
}

bool NetReadable(int AFd, int ATimeoutMs) {
  pollfd P{AFd, POLLIN, 0};
  int R;
  do {
    R = poll(&P, 1, ATimeoutMs);
  } while (R < 0 && errno == EINTR);
  return R > 0;
}

std::string NetRecv(int AFd, size_t ACount, int ATimeoutMs) {
  std::string Got;
  char Buf[4096];
  while (Got.size() < ACount && NetReadable(AFd, ATimeoutMs)) {
    ssize_t N = read(AFd, Buf, std::min(sizeof(Buf), ACount - Got.size()));
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) break;
    Got.append(Buf, static_cast<size_t>(N));
  }
  return Got;
}

void NetClose(int &AFd) {
  if (AFd >= 0) close(AFd);
  AFd = -1;
}

TTempDir::TTempDir() {
  const char *Base = std::getenv("TMPDIR");
  std::string Template = std::string(Base && *Base ? Base : "/tmp") + "/vantorama-XXXXXX";
  if (mkdtemp(Template.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    return;
  }
  Path = Template;
}

TTempDir::~TTempDir() {
  if (Path.empty()) return;
  std::error_code Ignored;
  std::filesystem::permissions(Path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, Ignored);
  std::filesystem::remove_all(Path, Ignored);
}

std::string TTempDir::File(const std::string &AName) const { return Path + "/" + AName; }

std::string TTempDir::Write(const std::string &AName, std::string_view AContents) const {
  std::string Name = File(AName);
  // A new file rather than a truncated one, which the file system would flush to disk.
  std::filesystem::remove(Name);
  std::ofstream Out(Name, std::ios::binary | std::ios::trunc);
  Out.write(AContents.data(), static_cast<std::streamsize>(AContents.size()));
  if (!Out) ADD_FAILURE() << "cannot write " << Name;
  return Name;
}
