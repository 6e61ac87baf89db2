// Program start: runtime set-up, the startup window, the message loop and the
// way out. Split in steps so that a front end other than the message loop (the
// Linux command line) can run the same start-up and drive the window itself.
#pragma once

#include <vector>

#include "runtime/window_events.h"

namespace tobrine::window {

// The program's handler table, in the order of window/handlers.h.
std::vector<BoundHandler> ProgramHandlerTable();

// Runtime set-up on the calling thread, which becomes the GUI thread: OLE, the
// program's folder as current directory, the external function table's search
// folders, the stored form (a form that cannot be read ends the process), the
// handler table and the floating-point state.
void StartRuntime();

// Loads MainForm and its controls from the stored form. A window that cannot be
// created is reported ("载入启动窗口失败") and ends the process.
void LoadStartupWindow();

// The message loop until the last window of the program is closed; returns at
// once when no window is loaded.
void RunMainLoop();

// The way out of a normal end: the registered exit routines (the runtime's;
// the program registers none), then the system libraries the program loaded,
// then OLE.
void EndRuntime();

// The whole program; returns the exit status, 0.
int RunProgram();

}  // namespace tobrine::window
