// A session without a window: the window's own controller, driven offscreen
// through the page's fields and its Start button, printing instead of
// showing. Needs a QApplication (the offscreen platform will do).
#pragma once

#include "app/run_options.h"

// Runs one session to its end and returns the exit code: 0 when every test
// asked for ran its seconds, 1 when one did not or the session failed (the
// message box's caption and text on standard error), 130 when Ctrl+C or a
// termination request ended it.
int RunHeadless(const CRunOptions& options);
