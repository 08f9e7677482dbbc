#pragma once

// The program's run, once the platform and the toolkit are installed: title, main
// window, message loop. Returns the process exit code, 0 in every case.
int ProgramMain();
