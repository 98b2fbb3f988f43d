// Owning wrappers for the Win32 handles the platform layer holds.
#ifndef PELMORA_PLATFORM_WIN32_WIN32_HANDLES_H_
#define PELMORA_PLATFORM_WIN32_WIN32_HANDLES_H_

#include <windows.h>

namespace pelmora {

// A file handle that is closed when the object goes.
class ScopedFileHandle {
 public:
  explicit ScopedFileHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedFileHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  ScopedFileHandle(const ScopedFileHandle&) = delete;
  ScopedFileHandle& operator=(const ScopedFileHandle&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_WIN32_WIN32_HANDLES_H_
