#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "library.h"

namespace pelmora::host {
namespace {
void* handle = nullptr;

template <typename T>
bool Resolve(const char* name, T* fn, std::string* error) {
  *fn = reinterpret_cast<T>(::dlsym(handle, name));
  if (!*fn) *error = std::string("missing export ") + name;
  return *fn != nullptr;
}

// Bit PF_EXITING of the flags in /proc/<pid>/task/<tid>/stat: set as the
// thread starts to exit, before a join on it can return.
constexpr unsigned long kExitingFlag = 0x4;

bool IsExiting(const std::filesystem::path& task) {
  std::ifstream in(task / "stat");
  std::string stat((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  // "tid (name) state ppid pgrp session tty tpgid flags ...": the name may
  // hold blanks and parentheses, so the fields are counted from its end. A
  // thread whose entry can no longer be read has gone.
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return true;
  std::istringstream fields(stat.substr(nameEnd + 1));
  std::string skipped;
  for (int i = 0; i < 6; ++i) fields >> skipped;
  unsigned long flags = 0;
  fields >> flags;
  return (flags & kExitingFlag) != 0;
}
}  // namespace

bool Load(const std::string& path, Exports* e, std::string* error) {
  handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    *error = ::dlerror();
    return false;
  }
  return Resolve("InitService", &e->InitService, error) &&
         Resolve("UninitService", &e->UninitService, error) &&
         Resolve("UpdateItem", &e->UpdateItem, error) &&
         Resolve("SendEventEx", &e->SendEventEx, error) &&
         Resolve("DoSettings", &e->DoSettings, error) &&
         Resolve("SetWriteCallback", &e->SetWriteCallback, error);
}

void Unload() {
  if (handle) ::dlclose(handle);
  handle = nullptr;
}

int StackDeltaOfStdcall(void*, const void*, const void*, int) { return 0; }

bool CountResources(int* openFiles, int* threads) {
  namespace fs = std::filesystem;
  std::error_code error;
  *openFiles = 0;
  for (fs::directory_iterator it("/proc/self/fd", error), end;
       !error && it != end; it.increment(error))
    ++*openFiles;
  *threads = 0;
  for (fs::directory_iterator it("/proc/self/task", error), end;
       !error && it != end; it.increment(error))
    if (!IsExiting(it->path())) ++*threads;
  return !error;
}

}  // namespace pelmora::host
