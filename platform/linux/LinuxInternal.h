// What the files of the Linux platform layer share: the calling thread's last error and
// the handles, which are descriptors. Nothing else uses it.
#pragma once

#include <string>

#include "platform/WinTypes.h"

namespace linuxplatform {

// The errno value that this layer's most recent failing call saw on the calling thread.
extern thread_local int lastError;

win::BOOL Fail(int error);  // sets lastError, returns 0
int Descriptor(win::HANDLE handle);
// Descriptor 0 would read as "no handle" to the program; keeps handles above it.
win::HANDLE HandleOf(int fd);
bool Exists(const std::string& path);

}  // namespace linuxplatform
