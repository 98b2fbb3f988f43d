// What differs by OS in the host program: loading the plug-in by path and
// resolving its six exports, the way a host does (by name with dlopen on
// Linux, by ordinal under Windows), and counting what the process holds.
#ifndef PELMORA_TOOLS_HOST_LIBRARY_H_
#define PELMORA_TOOLS_HOST_LIBRARY_H_

#include <string>

#include "pelmora/pelmora.h"

namespace pelmora::host {

struct Exports {
  InitServiceFn InitService = nullptr;            // ordinal 1
  UninitServiceFn UninitService = nullptr;        // ordinal 2
  UpdateItemFn UpdateItem = nullptr;              // ordinal 3
  SendEventExFn SendEventEx = nullptr;            // ordinal 4
  DoSettingsFn DoSettings = nullptr;              // ordinal 5
  SetWriteCallbackFn SetWriteCallback = nullptr;  // ordinal 6
};

// Loads the library and resolves all six exports. On failure returns false
// with a reason in `error`. The library stays loaded until Unload.
bool Load(const std::string& path, Exports* exports, std::string* error);
void Unload();

// Calls `fn` as a stdcall function of `args` pointer-sized arguments and
// returns how far the stack pointer moved across the call (0 when the
// callee removed its arguments). Only meaningful on 32-bit Windows;
// elsewhere returns 0 without calling.
int StackDeltaOfStdcall(void* fn, const void* a, const void* b, int args);

// The open file descriptors and the live threads of this process, as Linux
// lists them in /proc/self. A thread that has begun to exit is not counted:
// a thread that a join has just released can stay listed for a moment while
// the kernel finishes it. False where the system keeps no such lists.
bool CountResources(int* openFiles, int* threads);

}  // namespace pelmora::host

#endif  // PELMORA_TOOLS_HOST_LIBRARY_H_
