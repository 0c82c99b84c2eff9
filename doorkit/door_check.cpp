// The sysop's check: what the door got from the board and what it would do with it, in
// plain text on standard output (a terminal or a file), without a byte to the caller.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "door_private.h"
#include "doorkit/door.h"

namespace {

void Say(const std::string &ALabel, const std::string &AText) {
  std::printf("%-11s %s\n", (ALabel + ":").c_str(), AText.c_str());
}

std::string Address(const sockaddr_storage &AAddr, socklen_t ALen) {
  char Text[INET6_ADDRSTRLEN] = "";
  if (AAddr.ss_family == AF_INET) {
    const auto *A = reinterpret_cast<const sockaddr_in *>(&AAddr);
    inet_ntop(AF_INET, &A->sin_addr, Text, sizeof(Text));
    return std::string(Text) + ":" + std::to_string(ntohs(A->sin_port));
  }
  if (AAddr.ss_family == AF_INET6) {
    const auto *A = reinterpret_cast<const sockaddr_in6 *>(&AAddr);
    inet_ntop(AF_INET6, &A->sin6_addr, Text, sizeof(Text));
    return "[" + std::string(Text) + "]:" + std::to_string(ntohs(A->sin6_port));
  }
  if (AAddr.ss_family == AF_UNIX) {
    const auto *A = reinterpret_cast<const sockaddr_un *>(&AAddr);
    const bool Named = ALen > offsetof(sockaddr_un, sun_path) && A->sun_path[0] != 0;
    return Named ? std::string("local socket ") + A->sun_path : "an unnamed local socket";
  }
  return "an address of family " + std::to_string(AAddr.ss_family);
}

// What the descriptor the door would take the caller on is, looked at without reading
// from it or writing to it.
std::string Handle(int32_t AFd) {
  const std::string Number = std::to_string(AFd) + ": ";
  if (AFd < 0 || fcntl(AFd, F_GETFD) < 0) return Number + "not open in this process (the board must keep it open for the door)";
  struct stat St{};
  if (fstat(AFd, &St) != 0 || !S_ISSOCK(St.st_mode)) {
    const char *Kind = S_ISCHR(St.st_mode) ? "a terminal or device" : S_ISFIFO(St.st_mode) ? "a pipe" : "a file";
    return Number + "open, but " + Kind + ", not a socket";
  }
  int Type = 0;
  socklen_t TypeLen = sizeof(Type);
  getsockopt(AFd, SOL_SOCKET, SO_TYPE, &Type, &TypeLen);
  std::string Text = Number + "open, a " + (Type == SOCK_STREAM ? "stream" : "non-stream (the door needs a stream)") + " socket";
  sockaddr_storage Peer{}, Own{};
  socklen_t PeerLen = sizeof(Peer), OwnLen = sizeof(Own);
  if (getpeername(AFd, reinterpret_cast<sockaddr *>(&Peer), &PeerLen) != 0) return Text + ", not connected";
  Text += ", connected to " + Address(Peer, PeerLen);
  if (getsockname(AFd, reinterpret_cast<sockaddr *>(&Own), &OwnLen) == 0 && Own.ss_family != AF_UNIX) {
    Text += " from " + Address(Own, OwnLen);
  }
  return Text;
}

const char *ComTypeName(uint8_t AType) {
  switch (AType) {
    case 0: return "local";
    case 1: return "serial";
    case 2: return "telnet";
    case 3: return "WC5";
    default: return "unknown";
  }
}

void SayCaller(bool ALink) {
  const TDoorDropInfo &D = DoorDropInfo;
  Say("Node", std::to_string(D.Node));
  Say("Caller", "\"" + D.RealName + "\", alias \"" + D.Alias + "\"");
  Say("Minutes", std::to_string(D.MaxSeconds / 60) + " (" + std::to_string(D.MaxSeconds) + " seconds" +
                     (ALink ? ")" : "; in stdio mode the board keeps the time)"));
  Say("Emulation", D.Emulation == etANSI ? "ANSI" : "ASCII");
  Say("Access", std::to_string(D.Access) + ", record " + std::to_string(D.RecPos) + ", speed " + std::to_string(D.Baud));
}

}  // namespace

namespace door_private {

void SysopCheck(const TStartArgs &AArgs, int argc, char **argv) {
  std::string Line;
  for (int I = 1; argv && I < argc; I++) Line += std::string(I > 1 ? " " : "") + (argv[I] ? argv[I] : "");
  std::printf("%s: the sysop's check. Nothing is sent to the caller.\n", g.ProgramFileName.c_str());
  Say("Program", DoorProgramNameAndVersion);
  Say("Switches", Line);
  if (AArgs.Local) {
    Say("Mode", "local: no -D, -S or -? was given; the sysop logs in at the keyboard");
    Say("Node", std::to_string(AArgs.Node));
  } else if (AArgs.Socket >= 0 && AArgs.Node > 0) {
    Say("Mode", "link: -N and -S name the node and the caller's socket" +
                    std::string(AArgs.DropFile.empty() ? "" : "; the drop file named as well is not read"));
    Say("Handle", Handle(AArgs.Socket));
    Say("Node", std::to_string(AArgs.Node));
    Say("Minutes", std::to_string(DoorDropInfo.MaxSeconds / 60) + " (the kit's allowance; no drop file)");
  } else if (!AArgs.DropFile.empty()) {
    Say("Drop file", AArgs.DropFile);
    struct stat St{};
    const TDropFormat *Format = stat(AArgs.DropFile.c_str(), &St) == 0 ? FindDropFormat(AArgs.DropFile) : nullptr;
    if (!Format) {
      Say("Format", stat(AArgs.DropFile.c_str(), &St) == 0 ? "none: the name fits no format the kit reads"
                                                          : "none: there is no such file");
      Say("Would", "stop with \"Drop File Does Not Exist Or Is Not Supported\"");
      std::fflush(stdout);
      std::exit(0);
    }
    Say("Format", std::string(Format->Name) + (Format->FileNameOnly ? ", the file's name" : ", the name contains \"" +
                                                   std::string(Format->Name) + "\"") + " (case ignored)");
    Format->Read(AArgs.DropFile);
    const TDoorDropInfo &D = DoorDropInfo;
    const std::string Type = "connection type " + std::to_string(D.ComType) + " (" + ComTypeName(D.ComType) + ")";
    bool Link = false;
    if (D.ComType == 0) {
      Say("Mode", "stdio: the drop file says " + Type + "; the door talks on its standard input and output");
    } else if (D.ComType > 2) {
      Say("Mode", "stdio: " + Type + " is not one the kit links to");
    } else if (AArgs.ForceStdio) {
      Say("Mode", "stdio: -X was given (the drop file says " + Type + ")");
    } else if (D.ComNum < 0) {
      Say("Mode", "none: " + Type + " with handle " + std::to_string(D.ComNum));
      Say("Would", "stop with \"Invalid comm number: " + std::to_string(D.ComNum) + "\"");
    } else {
      Link = true;
      Say("Mode", "link: the drop file says " + Type + " on handle " + std::to_string(D.ComNum));
      Say("Handle", Handle(D.ComNum));
    }
    SayCaller(Link);
  } else {
    Say("Mode", AArgs.Socket != -99 ? "none: -S needs -N with a node above 0; the door would show its usage screen"
                                    : "none: the door would show its usage screen");
  }
  std::fflush(stdout);
  std::exit(0);
}

}  // namespace door_private
