// The program entry: takes nothing, returns 0 once the window has been closed.
#include "window/startup.h"

int main() {
  return tobrine::window::RunProgram();
}
