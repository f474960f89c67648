// The application's entry: runs the tray application until the user quits.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Starts the accessory application (tray, no taskbar entry of its own; closing
// the window does not quit it) with the process's arguments; "--background"
// keeps the window closed. Returns the exit status when the application has
// terminated: 1 without a graphical session, which it says on standard error.
int kelvoma_run(int argc, char** argv);

#ifdef __cplusplus
}
#endif
