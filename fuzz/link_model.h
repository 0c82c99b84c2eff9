// The caller's stream as the link must read it, written out over the whole stream at once
// (telnet taken out, line ends folded), for the fuzz targets that feed it in pieces.
#pragma once

#include <cstdint>
#include <string>

namespace fuzzmodel {

// The telnet rules, written out over the whole stream: IAC IAC is a data byte 255; IAC with
// WILL, WONT, DO or DONT takes one option byte more; IAC SB runs to IAC SE, IAC IAC inside
// it being part of it, and any other command after an IAC inside it ends it and is that
// command; past 64 bytes other than IACs (its option byte included) it ends too, and the
// 65th is data; any other IAC command is two bytes. A command the stream ends inside gives
// nothing.
inline std::string TelnetData(const std::string &AStream) {
  constexpr char IAC = '\xFF', SB = '\xFA', SE = '\xF0';
  std::string Out;
  size_t I = 0;
  while (I < AStream.size()) {
    if (AStream[I] != IAC) {
      Out += AStream[I++];
      continue;
    }
    if (I + 1 == AStream.size()) break;
    const uint8_t Command = static_cast<uint8_t>(AStream[I + 1]);
    if (Command == 0xFF) {
      Out += IAC;
      I += 2;
    } else if (Command >= 0xFB) {
      I += 3;
    } else if (Command == static_cast<uint8_t>(SB)) {
      constexpr size_t SB_LIMIT = 64;
      size_t J = I + 2, Length = 0;
      for (;;) {
        if (J == AStream.size()) {
          I = J;
          break;
        }
        if (AStream[J] != IAC) {
          if (++Length > SB_LIMIT) {
            I = J;  // no end in sight: this byte is data again
            break;
          }
          J++;
          continue;
        }
        if (J + 1 == AStream.size()) {
          I = AStream.size();
          break;
        }
        if (AStream[J + 1] == IAC) {
          J += 2;
        } else {
          I = AStream[J + 1] == SE ? J + 2 : J;  // not SE: that IAC starts the next command
          break;
        }
      }
    } else {
      I += 2;
    }
  }
  return Out;
}

// The folding rules, written out as the three passes over the whole text.
inline std::string ReplaceAll(const std::string &AText, const std::string &AFrom, const std::string &ATo) {
  std::string Out;
  size_t I = 0;
  for (size_t J; (J = AText.find(AFrom, I)) != std::string::npos; I = J + AFrom.size())
    Out += AText.substr(I, J - I) + ATo;
  return Out + AText.substr(I);
}

inline std::string Fold(const std::string &AText) {
  using namespace std::string_literals;
  std::string S = ReplaceAll(AText, "\r\n", "\r");
  S = ReplaceAll(S, "\r\0"s, "\r");
  return ReplaceAll(S, "\n", "\r");
}

}  // namespace fuzzmodel
