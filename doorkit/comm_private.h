// What the link's source files share; not for door programs.
#pragma once

#include <string_view>

namespace comm_private {

// Adds the caller's text to the out-buffer as CommWrite sends it (UTF-8 for a UTF-8 caller,
// 0xFF doubled on telnet); a full buffer goes out at once.
void Emit(std::string_view AData);

// The lean wire (comm_lean.cpp): a model of the caller's screen as the full stream would
// leave it, and of what the caller's terminal shows so far.
// Forgets both screens: nothing is known of the caller's screen, cursor or colours.
void LeanReset();
// Takes what the door sends; only what the model does not paint goes out now (whole,
// after the difference up to that point).
void LeanTake(std::string_view AText);
// Puts the difference into the out-buffer and the cursor where the full stream leaves it;
// AFinal also restores the full stream's colour and anything held back, for a link that
// closes or leaves the lean wire.
void LeanFlush(bool AFinal);
// The out-buffer was dropped unsent: what the caller's terminal shows is not known any more.
void LeanPurge();

}  // namespace comm_private
