// Drives the settings dialog of the real pelmora.dll, the way a user at the
// host would: the main thread calls DoSettings, a second thread finds the
// dialog by its caption, checks what it shows, edits it and closes it.
//
//   dialog_driver fonts                 maps the dialog's font to an
//                                       installed one (Wine prefix setup)
//   dialog_driver ok ADDRESS PORT [--handshake]
//   dialog_driver cancel [--handshake]  edits, presses the update button,
//                                       then cancels
//
// With --handshake the driver creates dialog-open beside itself once the
// dialog is checked and waits for shot-taken before it goes on, so that a
// screenshot can be taken of the open dialog. The verdict goes to
// dialog_driver.txt beside the driver (a program run inside a Wine desktop
// has no console to print to); the exit code is 0 only when all checks pass.
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "pelmora/pelmora.h"
#include "ui/dialog_ids.h"

namespace {

const wchar_t kCaption[] = L"\x901A\x4FE1\x53C2\x6570\x8BBE\x7F6E";
constexpr DWORD kWaitMs = 30000;

struct ExpectedControl {
  int id;
  const wchar_t* windowClass;
  const wchar_t* text;  // null where the text is the dialog's data
};

// Window order is template order is tab order.
const ExpectedControl kTemplateOrder[] = {
    {IDC_STATION_LIST, L"ComboBox", nullptr},
    {IDC_ADDRESS, L"SysIPAddress32", nullptr},
    {IDC_PORT_EDIT, L"Edit", nullptr},
    {IDC_UPDATE_BUTTON, L"Button", L"\x66F4\x65B0\x914D\x7F6E"},
    {IDOK, L"Button", L"\x786E\x5B9A"},
    {IDCANCEL, L"Button", L"\x53D6\x6D88"},
    {-1, L"Button", L""},
    {-1, L"Static", L"\x670D\x52A1\x7AEF\x53E3:"},
    {-1, L"Static", L"\x670D\x52A1\x5730\x5740:"},
    {-1, L"Static", L"\x672C\x5730\x6807\x8BC6:"},
};

std::wstring Beside(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  return dir.substr(0, dir.rfind(L'\\') + 1) + name;
}

FILE* report = nullptr;
int failures = 0;

void Note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(report, format, args);
  va_end(args);
  std::fputc('\n', report);
  std::fflush(report);
}

void Check(bool ok, const char* what) {
  if (!ok) ++failures;
  Note("%s: %s", ok ? "ok  " : "FAIL", what);
}

std::wstring Text(HWND window) {
  wchar_t buffer[256] = {};
  return std::wstring(buffer, ::GetWindowTextW(window, buffer, 256));
}

std::wstring ConfigValue(const wchar_t* key) {
  wchar_t buffer[256] = {};
  ::GetPrivateProfileStringW(L"SERVERSET", key, L"", buffer, 256,
                             Beside(L"Drivers\\Pelmora.ini").c_str());
  return buffer;
}

bool ParseAddress(const char* text, DWORD* address) {
  unsigned f[4];
  char tail;
  if (std::sscanf(text, "%u.%u.%u.%u%c", &f[0], &f[1], &f[2], &f[3], &tail) != 4)
    return false;
  *address = MAKEIPADDRESS(f[0], f[1], f[2], f[3]);
  return true;
}

struct Plan {
  bool ok = false;  // OK with these values, or edit-update-cancel
  DWORD address = 0;
  std::wstring port;
  bool handshake = false;
  bool acted = false;  // the dialog was found and closed by its buttons
};

void CheckTemplate(HWND dialog) {
  HWND child = ::GetWindow(dialog, GW_CHILD);
  for (const ExpectedControl& expected : kTemplateOrder) {
    wchar_t windowClass[64] = {};
    if (child) ::GetClassNameW(child, windowClass, 64);
    char what[160];
    std::snprintf(what, sizeof what, "control %d, class %ls, in template order",
                  expected.id, expected.windowClass);
    Check(child && ::GetDlgCtrlID(child) == expected.id &&
              _wcsicmp(windowClass, expected.windowClass) == 0 &&
              (!expected.text || Text(child) == expected.text),
          what);
    if (child) child = ::GetWindow(child, GW_HWNDNEXT);
  }
  Check(child == nullptr, "no controls beyond the template's");
}

// The station selected is the adapter the configuration names.
void CheckStation(HWND dialog) {
  HWND list = ::GetDlgItem(dialog, IDC_STATION_LIST);
  const LRESULT count = ::SendMessageW(list, CB_GETCOUNT, 0, 0);
  const LRESULT selected = ::SendMessageW(list, CB_GETCURSEL, 0, 0);
  const std::wstring mac = ConfigValue(L"MAC");
  Note("      %ld stations, %ld selected, MAC %ls", static_cast<long>(count),
       static_cast<long>(selected), mac.c_str());
  if (count <= 0) {
    Check(selected == CB_ERR, "nothing selected in an empty station list");
    return;
  }
  wchar_t entry[256] = {};
  if (selected >= 0 && selected < count &&
      ::SendMessageW(list, CB_GETLBTEXTLEN, selected, 0) < 256)
    ::SendMessageW(list, CB_GETLBTEXT, selected, reinterpret_cast<LPARAM>(entry));
  Check(!mac.empty() && _wcsnicmp(entry, mac.c_str(), mac.size()) == 0,
        "the configured station is selected");
}

void WaitForFile(const std::wstring& path) {
  for (DWORD waited = 0; waited < kWaitMs; waited += 100) {
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    ::Sleep(100);
  }
  Note("FAIL: no %ls", path.c_str());
  ++failures;
}

void Click(HWND dialog, int id) {
  ::SendMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

DWORD WINAPI Operate(void* context) {
  Plan& plan = *static_cast<Plan*>(context);
  HWND dialog = nullptr;
  for (DWORD waited = 0; !dialog && waited < kWaitMs; waited += 100) {
    dialog = ::FindWindowW(L"#32770", kCaption);
    if (!dialog) ::Sleep(100);
  }
  Check(dialog != nullptr, "dialog found by its caption");
  if (!dialog) return 0;

  CheckTemplate(dialog);
  CheckStation(dialog);
  Check(Text(::GetDlgItem(dialog, IDC_ADDRESS)) == ConfigValue(L"ADDR"),
        "address field shows the configured address");
  Check(Text(::GetDlgItem(dialog, IDC_PORT_EDIT)) == ConfigValue(L"PORT"),
        "port field shows the configured port");

  if (plan.handshake) {
    ::CloseHandle(::CreateFileW(Beside(L"dialog-open").c_str(), GENERIC_WRITE,
                                0, nullptr, CREATE_ALWAYS, 0, nullptr));
    WaitForFile(Beside(L"shot-taken"));
  }

  ::SendDlgItemMessageW(dialog, IDC_ADDRESS, IPM_SETADDRESS, 0,
                        static_cast<LPARAM>(plan.address));
  ::SendDlgItemMessageW(dialog, IDC_PORT_EDIT, WM_SETTEXT, 0,
                        reinterpret_cast<LPARAM>(plan.port.c_str()));
  if (plan.ok) {
    Click(dialog, IDOK);
  } else {
    Click(dialog, IDC_UPDATE_BUTTON);
    Check(::IsWindowVisible(dialog) != FALSE,
          "the update button leaves the dialog open");
    Click(dialog, IDCANCEL);
  }
  plan.acted = true;
  return 0;
}

// Wine reads its font replacements when a process starts, so this runs as
// a process of its own before the dialog's.
int MapDialogFont() {
  HKEY key;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Fonts\\Replacements",
                        0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
    return 1;
  const wchar_t installed[] = L"WenQuanYi Micro Hei";
  for (const wchar_t* name : {L"\x5B8B\x4F53", L"SimSun"})
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(installed),
                     sizeof installed);
  ::RegCloseKey(key);
  return 0;
}

template <typename Fn>
Fn Export(HMODULE dll, int ordinal) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(
      ::GetProcAddress(dll, MAKEINTRESOURCEA(ordinal))));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "fonts") == 0) return MapDialogFont();

  Plan plan;
  int next = 2;
  if (argc >= 4 && std::strcmp(argv[1], "ok") == 0 &&
      ParseAddress(argv[2], &plan.address)) {
    plan.ok = true;
    plan.port.assign(argv[3], argv[3] + std::strlen(argv[3]));
    next = 4;
  } else if (argc >= 2 && std::strcmp(argv[1], "cancel") == 0) {
    plan.address = MAKEIPADDRESS(10, 99, 99, 99);
    plan.port = L"9999";
  } else {
    std::fprintf(stderr, "usage: dialog_driver fonts | ok ADDRESS PORT [--handshake] | cancel [--handshake]\n");
    return 2;
  }
  plan.handshake = next < argc && std::strcmp(argv[next], "--handshake") == 0;

  report = ::_wfopen(Beside(L"dialog_driver.txt").c_str(), L"w");
  if (!report) return 1;

  HMODULE dll = ::LoadLibraryW(L"pelmora.dll");
  auto initService = Export<InitServiceFn>(dll, 1);
  auto uninitService = Export<UninitServiceFn>(dll, 2);
  auto doSettings = Export<DoSettingsFn>(dll, 5);
  Check(dll && initService && uninitService && doSettings,
        "pelmora.dll loaded, exports 1, 2 and 5 found");
  if (failures == 0) {
    initService();
    HANDLE operator_ = ::CreateThread(nullptr, 0, Operate, &plan, 0, nullptr);
    doSettings();
    Check(::WaitForSingleObject(operator_, kWaitMs) == WAIT_OBJECT_0 && plan.acted,
          "DoSettings returned after the dialog's button closed it");
    ::CloseHandle(operator_);
    Check(::FindWindowW(L"#32770", kCaption) == nullptr, "dialog gone");
    uninitService();
  }
  Note("%s", failures == 0 ? "PASS" : "FAILED");
  std::fclose(report);
  return failures == 0 ? 0 : 1;
}
