#include "doorkit/stringutils.h"

#include "cp437.h"
#include "doorkit/ansi.h"

namespace {

// Longer lines are not numbers, whatever they hold.
constexpr size_t STR_TO_INT_MAX_LENGTH = 255;

int DigitValue(char ACh) {
  if (ACh >= '0' && ACh <= '9') return ACh - '0';
  if (ACh >= 'a' && ACh <= 'f') return ACh - 'a' + 10;
  if (ACh >= 'A' && ACh <= 'F') return ACh - 'A' + 10;
  return 99;
}

std::string TwoDigits(int32_t AValue) {
  std::string s = std::to_string(AValue);
  if (s.size() < 2) s.insert(0, 2 - s.size(), '0');
  return s;
}

}  // namespace

int32_t StrToIntDef(std::string_view AText, int32_t ADefault) {
  if (AText.size() > STR_TO_INT_MAX_LENGTH) return ADefault;
  size_t i = 0;
  while (i < AText.size() && (AText[i] == ' ' || AText[i] == '\t')) i++;
  bool negative = false;
  if (i < AText.size() && (AText[i] == '+' || AText[i] == '-')) negative = AText[i++] == '-';
  int radix = 10;
  const std::string_view rest = AText.substr(i);
  if (rest.starts_with("0x") || rest.starts_with("0X")) {
    radix = 16;
    i += 2;
  } else if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X')) {
    radix = 16;
    i++;
  } else if (!rest.empty() && rest[0] == '%') {
    radix = 2;
    i++;
  } else if (!rest.empty() && rest[0] == '&') {
    radix = 8;
    i++;
  }
  if (i == AText.size()) return ADefault;  // no digits
  // Every radix must land in the signed range: $FFFFFFFF is not -1 but out of range.
  const int64_t limit = negative ? int64_t{INT32_MAX} + 1 : int64_t{INT32_MAX};
  int64_t value = 0;
  for (; i < AText.size(); i++) {
    const int d = DigitValue(AText[i]);
    if (d >= radix) return ADefault;
    value = value * radix + d;
    if (value > limit) return ADefault;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

std::string UpperCase(std::string_view AText) {
  std::string s(AText);
  for (char &c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string PipeToAnsi(std::string_view AText) {
  if (AText.size() < 3) return std::string(AText);
  std::string result;
  result.reserve(AText.size() + 16);
  for (size_t i = 0; i < AText.size(); i++) {
    if (AText[i] == '|' && i + 2 < AText.size()) {
      std::string code = "$";
      code += AText.substr(i + 1, 2);
      int32_t value = StrToIntDef(code, -1);
      if (value != -1) {
        if (value > 127) value -= 128;  // a code never makes the caller's screen blink
        result += AnsiTextAttr(static_cast<uint8_t>(value));
        i += 2;
        continue;
      }
    }
    result += AText[i];
  }
  return result;
}

std::string SecToHMS(int32_t ASec) {
  const int32_t r = ASec % 3600;
  return TwoDigits(ASec / 3600) + ":" + TwoDigits(r / 60) + ":" + TwoDigits(r % 60);
}

std::string SecToMS(int32_t ASec) { return TwoDigits(ASec / 60) + ":" + TwoDigits(ASec % 60); }

std::string Utf8ToCp437(std::string_view AText) {
  std::string Out;
  Out.reserve(AText.size());
  TUtf8Decoder State;
  for (char C : AText) {
    int32_t Code = Utf8Feed(State, static_cast<uint8_t>(C));
    if (Code < 0) continue;
    int Ch = Cp437FromUnicode(static_cast<uint32_t>(Code));
    if (Ch >= 0) Out += static_cast<char>(Ch);
  }
  return Out;
}
