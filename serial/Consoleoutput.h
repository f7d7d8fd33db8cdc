// The console is best effort: a reader that has gone (a closed pipe, a full
// disk behind a redirection, a closed stream) never ends or changes the run,
// whose failed console writes are simply dropped. One implementation per OS
// (serial/Consoleoutput_posix.cpp, _win32.cpp), picked by CMake.
#pragma once

// Called first thing in the process, before any file is opened.
void MakeConsoleBestEffort();
