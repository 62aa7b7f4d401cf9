// The environment of a program that the kernel started with more rights than
// its caller holds (the capture capability from the program's file).
#pragma once

// True when the kernel marked this start as one that gained rights
// (AT_SECURE): whoever started the program is trusted less than it is.
bool IsPrivilegedStart();

// Keeps only the variables that choose a display, a language and a scale,
// and HOME; sets PATH to the system's folders; drops everything else. Nothing
// the caller names can then make the program, or a library in it, load code
// (plugin folders, toolkit modules, drivers). Call it first in main(), before
// anything reads the environment.
void KeepSafeEnvironment();
