#include <dlfcn.h>

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

}  // namespace pelmora::host
