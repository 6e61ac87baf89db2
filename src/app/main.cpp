// The program entry: takes nothing, returns 0 once the window has been closed.
#include "app/startup.h"

int main() {
  return tobrine::app::RunProgram();
}
