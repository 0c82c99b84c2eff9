// The caller's end of a link, read all the time by a thread of its own, as a real client
// does: the door sends each piece with its own blocking send, and a frame's few hundred
// small sends would fill a socket buffer that nobody empties.
#pragma once

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

struct TWireTap {
  int Fd = -1;
  std::mutex Lock;
  std::string Got;
  std::atomic<bool> Stop{false};
  std::thread Reader;

  void Start(int AFd) {
    Fd = AFd;
    Reader = std::thread([this] {
      char Buf[65536];
      while (!Stop) {
        pollfd P{Fd, POLLIN, 0};
        if (poll(&P, 1, 10) <= 0) continue;
        std::lock_guard<std::mutex> G(Lock);
        ssize_t N = recv(Fd, Buf, sizeof(Buf), MSG_DONTWAIT);
        if (N > 0) Got.append(Buf, static_cast<size_t>(N));
        if (N == 0) break;
      }
    });
  }

  // Everything sent so far and not taken yet: a send that has returned is in the socket,
  // and with the lock held an empty socket means the reader has all of it.
  std::string Take() {
    for (;;) {
      {
        std::lock_guard<std::mutex> G(Lock);
        int Queued = 0;
        if (ioctl(Fd, FIONREAD, &Queued) != 0 || Queued == 0) {
          std::string R;
          R.swap(Got);
          return R;
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  void Finish() {
    Stop = true;
    if (Reader.joinable()) Reader.join();
  }
  ~TWireTap() { Finish(); }
};
