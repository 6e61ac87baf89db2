// The Linux program entry: the command line.
#include "cli/command_line.h"

int main(int argc, char** argv) {
  return tobrine::cli::RunCommandLine(argc, argv);
}
