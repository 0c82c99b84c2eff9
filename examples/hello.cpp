// The smallest useful door: greets the caller, asks a question, says goodbye.
#include "doorkit/door.h"

int main(int argc, char **argv) {
  DoorStartup(argc, argv);  // the board's switches: -D drop file, or -N node -S socket
  DoorWriteLn("|0FHello, |0E" + DoorDropInfo.Alias + "|0F, welcome to the door kit.");
  DoorWrite("|0AWhat is your favourite colour? ");
  // A 20-cell field in white on blue; Enter takes it (ending the line), ESC the default.
  std::string answer = DoorInput("blue", DOOR_INPUT_CHARS_ALPHA, 0, 20, 20, 0x1F);
  DoorWriteLn("|07You said |0B" + answer + "|07. Back to the board we go.");
  DoorShutdown();  // closes only our handle: the caller stays on the board
  return 0;
}
