#include <windows.h>

#include "platform/win32/env_win32.h"
#include "platform/win32/win32_handles.h"

namespace pelmora {
namespace {

class Win32LogFile : public LogFile {
 public:
  explicit Win32LogFile(HANDLE handle) : file_(handle) {}

  bool Size(std::uint64_t* size) override {
    LARGE_INTEGER value;
    if (!::GetFileSizeEx(file_.get(), &value)) return false;
    *size = static_cast<std::uint64_t>(value.QuadPart);
    return true;
  }

  bool Truncate() override {
    LARGE_INTEGER zero{};
    return ::SetFilePointerEx(file_.get(), zero, nullptr, FILE_BEGIN) &&
           ::SetEndOfFile(file_.get());
  }

  bool Append(const char* data, std::size_t length) override {
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(file_.get(), zero, nullptr, FILE_END)) return false;
    while (length > 0) {
      DWORD written = 0;
      if (!::WriteFile(file_.get(), data, static_cast<DWORD>(length), &written,
                       nullptr) ||
          written == 0)
        return false;
      data += written;
      length -= written;
    }
    return true;
  }

 private:
  ScopedFileHandle file_;
};

}  // namespace

std::unique_ptr<LogFile> OpenWin32LogFile(const std::string& path) {
  // Share mode 0: while a line is written nobody else may open the file.
  HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32LogFile>(handle);
}

}  // namespace pelmora
