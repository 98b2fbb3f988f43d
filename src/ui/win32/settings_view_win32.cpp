// The settings dialog as a modal Win32 dialog built from the template in
// pelmora.dll's resources.
//
// Every call is to the wide API: the template's Chinese texts would pass
// through the ANSI code page otherwise, and on a machine whose code page
// is not 936 each of them would turn into '?'.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "ui/dialog_ids.h"
#include "ui/settings_dialog.h"

namespace pelmora {
namespace {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = static_cast<int>(text.size());
  const int needed =
      ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, &wide[0], needed);
  return wide;
}

std::string Narrow(const wchar_t* text, int length) {
  if (length <= 0) return std::string();
  const int needed = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0,
                                           nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, length, &narrow[0], needed, nullptr,
                        nullptr);
  return narrow;
}

constexpr std::size_t kLongestFieldRead = 31;
static_assert(kAddressFieldChars <= kLongestFieldRead &&
                  kPortFieldChars <= kLongestFieldRead,
              "ControlText's buffer holds every field that is read");

// At most `limit` characters of a control's text.
std::string ControlText(HWND control, std::size_t limit) {
  wchar_t buffer[kLongestFieldRead + 1] = {};
  const int capacity = static_cast<int>(limit) + 1;
  return Narrow(buffer, ::GetWindowTextW(control, buffer, capacity));
}

// Accepts exactly four decimal fields of 0..255 joined by dots; anything
// else is left for the control to take as text.
bool ParseDottedQuad(const std::string& text, BYTE fields[4]) {
  std::size_t i = 0;
  for (int field = 0; field < 4; ++field) {
    if (field > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const std::size_t start = i;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' &&
           i - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    if (i == start || value > 255) return false;
    fields[field] = static_cast<BYTE>(value);
  }
  return i == text.size();
}

class DialogView : public SettingsView {
 public:
  explicit DialogView(HWND dialog) : dialog_(dialog) {}

  void AddStation(const std::string& text) override {
    const std::wstring wide = Widen(text);
    ::SendDlgItemMessageW(dialog_, IDC_STATION_LIST, CB_ADDSTRING, 0,
                          reinterpret_cast<LPARAM>(wide.c_str()));
  }

  void SelectStation(int index) override {
    ::SendDlgItemMessageW(dialog_, IDC_STATION_LIST, CB_SETCURSEL,
                          static_cast<WPARAM>(index), 0);
  }

  void SetAddressText(const std::string& text) override {
    BYTE f[4];
    if (ParseDottedQuad(text, f)) {
      ::SendDlgItemMessageW(
          dialog_, IDC_ADDRESS, IPM_SETADDRESS, 0,
          static_cast<LPARAM>(MAKEIPADDRESS(f[0], f[1], f[2], f[3])));
    } else {
      ::SetDlgItemTextW(dialog_, IDC_ADDRESS, Widen(text).c_str());
    }
  }

  std::string AddressText() override {
    return ControlText(::GetDlgItem(dialog_, IDC_ADDRESS), kAddressFieldChars);
  }

  void SetPortText(const std::string& text) override {
    ::SetDlgItemTextW(dialog_, IDC_PORT_EDIT, Widen(text).c_str());
  }

  std::string PortText() override {
    return ControlText(::GetDlgItem(dialog_, IDC_PORT_EDIT), kPortFieldChars);
  }

 private:
  HWND dialog_;
};

// Runs one of the dialog's handlers. An exception must not unwind through
// the system's frames between here and DialogBoxParamW, which carry no
// unwind information; the handler's work is abandoned instead.
template <typename Handler>
void Guarded(Handler handler) {
  try {
    handler();
  } catch (...) {
  }
}

INT_PTR CALLBACK SettingsDialogProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    auto* dialog = reinterpret_cast<SettingsDialog*>(lParam);
    Guarded([&] {
      DialogView view(window);
      dialog->Initialise(view);
    });
    return TRUE;
  }
  auto* dialog =
      reinterpret_cast<SettingsDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
  if (message != WM_COMMAND || dialog == nullptr) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
      Guarded([&] {
        DialogView view(window);
        dialog->Ok(view);
      });
      ::EndDialog(window, IDOK);
      return TRUE;
    case IDC_UPDATE_BUTTON:
      Guarded([&] { dialog->Update(); });
      return TRUE;
    case IDCANCEL:
      ::EndDialog(window, IDCANCEL);
      return TRUE;
    default:
      return FALSE;
  }
}

// The module whose resources hold the template: the one this code is
// linked into, which need not be the host's executable.
HMODULE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&SettingsDialogProc), &module);
  return module;
}

}  // namespace

void RunSettingsDialog(LinkControl& link, Env& env) {
  // The address field's window class exists only once registered.
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_INTERNET_CLASSES};
  ::InitCommonControlsEx(&classes);

  SettingsDialog dialog(link, env);
  ::DialogBoxParamW(ThisModule(), MAKEINTRESOURCEW(IDD_SETTINGS), nullptr,
                    SettingsDialogProc, reinterpret_cast<LPARAM>(&dialog));
}

}  // namespace pelmora
