// Stand-in until the show lands: proves the console draws and reads keys.
#include "console.h"

int main() {
  ClrScr();
  GotoXY(10, 10);
  ConsoleWrite("Vantorama: press any key");
  ReadKey();
  return 0;
}
