// A session without a window: the window's own controller, driven offscreen
// through the page's fields and its Start button, printing instead of
// showing. Needs a QApplication (the offscreen platform will do).
#pragma once

#include "app/run_options.h"

// Runs one session to its end and returns the exit code: 0 when it ran to
// its end, 1 when it failed (the message box's caption and text on standard
// error), 130 when Ctrl+C or a termination request ended it.
int RunHeadless(const CRunOptions& options);
