// The Linux front end: `tobrine [OPTIONS] URL...` runs the program's lookup on
// each address in turn and prints each package the moment it is found.
#pragma once

namespace tobrine::cli {

// The whole command line; returns the process's exit status (see ExitStatus).
int RunCommandLine(int argc, char** argv);

}  // namespace tobrine::cli
