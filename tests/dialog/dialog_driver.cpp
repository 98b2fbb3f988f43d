// Drives the settings dialog of the real pelmora.dll the way a user at the
// host would, and listens where the plug-in sends. The main thread calls
// DoSettings; a second thread finds the dialog by its caption, checks what
// it shows, edits it and closes it. Two UDP receivers on 127.0.0.1 stand in
// for the server: the link starts towards the first, the dialog moves it to
// the second.
//
//   dialog_driver fonts           maps the dialog's font to an installed one
//                                 (Wine prefix setup)
//   dialog_driver [--handshake]   the dialog three times: edit, update and
//                                 cancel; OK with the second receiver's
//                                 port; OK with a 15-character address
//
// Drivers/Pelmora.ini must exist with MAC and COUNT; the driver sets ADDR
// and PORT to the first receiver. With --handshake the driver creates
// dialog-open beside itself once the first dialog is checked and waits for
// shot-taken before it goes on, so that a screenshot can be taken of the
// open dialog. The verdict goes to dialog_driver.txt beside the driver (a
// program run inside a Wine desktop has no console to print to); the exit
// code is 0 only when all checks pass.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "pelmora/pelmora.h"
#include "ui/dialog_ids.h"

namespace {

const wchar_t kCaption[] = L"\x901A\x4FE1\x53C2\x6570\x8BBE\x7F6E";
constexpr DWORD kWaitMs = 30000;
// Ample: the send thread looks for the end of discovery every 100 ms.
constexpr long kDatagramWaitMs = 5000;

// Log messages as the plug-in writes them, GBK. 停止服务……
const char kStoppingLink[] = "\xCD\xA3\xD6\xB9\xB7\xFE\xCE\xF1\xA1\xAD\xA1\xAD";
// 启动服务……
const char kStartingLink[] = "\xC6\xF4\xB6\xAF\xB7\xFE\xCE\xF1\xA1\xAD\xA1\xAD";

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

std::wstring ConfigPath() { return Beside(L"Drivers\\Pelmora.ini"); }

std::wstring ConfigValue(const wchar_t* key) {
  wchar_t buffer[256] = {};
  ::GetPrivateProfileStringW(L"SERVERSET", key, L"", buffer, 256,
                             ConfigPath().c_str());
  return buffer;
}

// The plug-in opens its log without sharing while it writes a line, so a
// read may have to wait for it.
std::string ReadWhole(const std::wstring& path) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (FILE* file = ::_wfopen(path.c_str(), L"rb")) {
      std::string bytes;
      char chunk[4096];
      for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.append(chunk, n);
      std::fclose(file);
      return bytes;
    }
    ::Sleep(50);
  }
  return std::string();
}

// The messages of Drivers/Pelmora.log, each line stripped of its
// "YYYY-MM-DD hh:mm:ss: " stamp; a line without one is kept whole, so that
// it matches no message.
std::vector<std::string> LogMessages() {
  const std::string log = ReadWhole(Beside(L"Drivers\\Pelmora.log"));
  std::vector<std::string> messages;
  for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos;
       at = end + 2) {
    std::string line = log.substr(at, end - at);
    const bool stamped = line.size() >= 21 && line[4] == '-' &&
                         line[10] == ' ' && line.compare(19, 2, ": ") == 0;
    messages.push_back(stamped ? line.substr(21) : line);
  }
  return messages;
}

size_t FindMessage(const std::vector<std::string>& messages, const char* text,
                   size_t from = 0) {
  for (size_t i = from; i < messages.size(); ++i)
    if (messages[i] == text) return i;
  return std::string::npos;
}

struct Receiver {
  SOCKET socket = INVALID_SOCKET;
  unsigned port = 0;
};

Receiver OpenReceiver() {
  Receiver receiver;
  receiver.socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof local;
  if (receiver.socket != INVALID_SOCKET &&
      ::bind(receiver.socket, reinterpret_cast<sockaddr*>(&local),
             sizeof local) == 0 &&
      ::getsockname(receiver.socket, reinterpret_cast<sockaddr*>(&local),
                    &length) == 0)
    receiver.port = ntohs(local.sin_port);
  return receiver;
}

// The next datagram to arrive, or nothing after kDatagramWaitMs.
std::string Receive(const Receiver& receiver) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(receiver.socket, &readable);
  timeval wait = {kDatagramWaitMs / 1000, (kDatagramWaitMs % 1000) * 1000};
  if (::select(0, &readable, nullptr, nullptr, &wait) != 1)
    return std::string();
  char bytes[2048];
  const int n = ::recv(receiver.socket, bytes, sizeof bytes, 0);
  return n > 0 ? std::string(bytes, n) : std::string();
}

// A full snapshot of the points the driver pushed: kind FF, the payload
// length in the header, the records in first-seen order with their latest
// values.
void ExpectSnapshot(const Receiver& receiver, const char* what) {
  const std::string datagram = Receive(receiver);
  auto byte = [&](size_t i) { return static_cast<unsigned char>(datagram[i]); };
  std::string records;
  bool wellFormed =
      datagram.size() >= 32 && byte(8) == 0xFF &&
      (byte(12) | byte(13) << 8 | byte(14) << 16 |
       static_cast<unsigned>(byte(15)) << 24) == datagram.size() - 32;
  for (size_t at = 32; wellFormed && at < datagram.size();) {
    const size_t n =
        at + 2 <= datagram.size() ? byte(at) | byte(at + 1) << 8 : 0;
    wellFormed = n > 0 && at + 2 + n <= datagram.size();
    if (wellFormed) records += datagram.substr(at + 2, n) + ';';
    at += 2 + n;
  }
  Note("      %u bytes from the link, records %s",
       static_cast<unsigned>(datagram.size()), records.c_str());
  Check(wellFormed && records == "A|3;B|2;", what);
}

// Event records that reach `receiver` until nothing more arrives: a
// datagram's records counted when its kind is 02.
int CountEventRecords(const Receiver& receiver) {
  int records = 0;
  for (std::string d = Receive(receiver); !d.empty(); d = Receive(receiver)) {
    if (d.size() < 32 || static_cast<unsigned char>(d[8]) != 0x02) continue;
    for (size_t at = 32; at + 2 <= d.size();) {
      at += 2 + (static_cast<unsigned char>(d[at]) |
                 static_cast<unsigned char>(d[at + 1]) << 8);
      ++records;
    }
  }
  return records;
}

enum class Action { kUpdateThenCancel, kOk };

struct Plan {
  Action action;
  DWORD address;
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
    ::SendMessageW(list, CB_GETLBTEXT, selected,
                   reinterpret_cast<LPARAM>(entry));
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
  // The dialog's window exists before its controls do; it is shown once
  // all of them are created and filled, and only then is it checked.
  HWND dialog = nullptr;
  for (DWORD waited = 0; !dialog && waited < kWaitMs; waited += 50) {
    dialog = ::FindWindowW(L"#32770", kCaption);
    if (dialog && !::IsWindowVisible(dialog)) dialog = nullptr;
    if (!dialog) ::Sleep(50);
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
  if (plan.action == Action::kOk) {
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
  if (::RegCreateKeyExW(HKEY_CURRENT_USER,
                        L"Software\\Wine\\Fonts\\Replacements", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return 1;
  const wchar_t installed[] = L"WenQuanYi Micro Hei";
  for (const wchar_t* name : {L"\x5B8B\x4F53", L"SimSun"})
    ::RegSetValueExW(key, name, 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(installed),
                     sizeof installed);
  ::RegCloseKey(key);
  return 0;
}

template <typename Fn>
Fn Export(HMODULE dll, int ordinal) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(
      ::GetProcAddress(dll, MAKEINTRESOURCEA(ordinal))));
}

void RunDialog(DoSettingsFn doSettings, Plan& plan) {
  HANDLE operator_ = ::CreateThread(nullptr, 0, Operate, &plan, 0, nullptr);
  doSettings();
  Check(
      ::WaitForSingleObject(operator_, kWaitMs) == WAIT_OBJECT_0 && plan.acted,
      "DoSettings returned after the dialog's button closed it");
  ::CloseHandle(operator_);
  Check(::FindWindowW(L"#32770", kCaption) == nullptr, "dialog gone");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "fonts") == 0) return MapDialogFont();
  const bool handshake = argc == 2 && std::strcmp(argv[1], "--handshake") == 0;
  if (argc > 1 && !handshake) {
    std::fprintf(stderr,
                 "usage: dialog_driver fonts | dialog_driver [--handshake]\n");
    return 2;
  }

  report = ::_wfopen(Beside(L"dialog_driver.txt").c_str(), L"w");
  if (!report) return 1;

  WSADATA winsock;
  const bool socketsStarted = ::WSAStartup(MAKEWORD(2, 2), &winsock) == 0;
  const Receiver first = OpenReceiver();
  const Receiver second = OpenReceiver();
  const std::wstring firstPort = std::to_wstring(first.port);
  const std::wstring secondPort = std::to_wstring(second.port);
  Note("      receivers on 127.0.0.1 ports %u and %u", first.port, second.port);
  // Only this run's lines are to be read from the log.
  ::DeleteFileW(Beside(L"Drivers\\Pelmora.log").c_str());
  Check(socketsStarted && first.port != 0 && second.port != 0 &&
            ::WritePrivateProfileStringW(L"SERVERSET", L"ADDR", L"127.0.0.1",
                                         ConfigPath().c_str()) &&
            ::WritePrivateProfileStringW(
                L"SERVERSET", L"PORT", firstPort.c_str(), ConfigPath().c_str()),
        "receivers open, Pelmora.ini names the first");

  HMODULE dll = ::LoadLibraryW(L"pelmora.dll");
  auto initService = Export<InitServiceFn>(dll, 1);
  auto uninitService = Export<UninitServiceFn>(dll, 2);
  auto updateItem = Export<UpdateItemFn>(dll, 3);
  auto sendEventEx = Export<SendEventExFn>(dll, 4);
  auto doSettings = Export<DoSettingsFn>(dll, 5);
  Check(dll && initService && uninitService && updateItem && sendEventEx &&
            doSettings,
        "pelmora.dll loaded, exports 1 to 5 found");
  if (failures == 0) {
    initService();
    updateItem("A", "1");
    updateItem("B", "2");
    updateItem("A", "3");
    ExpectSnapshot(
        first,
        "a name coming back ends discovery: snapshot to the first receiver");

    Note("== edit, update, cancel");
    const std::string config = ReadWhole(ConfigPath());
    Plan cancel{Action::kUpdateThenCancel, MAKEIPADDRESS(127, 9, 9, 9), L"9999",
                handshake};
    RunDialog(doSettings, cancel);
    ExpectSnapshot(first,
                   "the update button sends a snapshot to the first receiver");
    Check(!config.empty() && ReadWhole(ConfigPath()) == config,
          "cancel leaves Pelmora.ini as it was");
    std::vector<std::string> log = LogMessages();
    Check(FindMessage(log, kStartingLink) != std::string::npos &&
              FindMessage(log, kStoppingLink) == std::string::npos,
          "the log holds the link's start and no stop");

    Note("== OK with the second receiver's port");
    // Paced, these would take ten seconds to leave: the stop of the link
    // sends them to the first receiver.
    constexpr int kEvents = 2000;
    for (int i = 0; i < kEvents; ++i)
      sendEventEx("burst", std::to_string(i).c_str());
    Plan movePort{Action::kOk, MAKEIPADDRESS(127, 0, 0, 1), secondPort};
    RunDialog(doSettings, movePort);
    Check(ConfigValue(L"ADDR") == L"127.0.0.1" &&
              ConfigValue(L"PORT") == secondPort,
          "OK saves the new port to Pelmora.ini");
    log = LogMessages();
    const size_t stop = FindMessage(log, kStoppingLink);
    Check(stop != std::string::npos &&
              FindMessage(log, kStartingLink, stop + 1) != std::string::npos,
          "the log shows the link stopped, then started again");
    ExpectSnapshot(
        second, "the restarted link sends a snapshot to the second receiver");
    const int events = CountEventRecords(first);
    Note("      %d event records at the first receiver", events);
    Check(events == kEvents,
          "events raised before OK all reach the first receiver");

    Note("== OK with a 15-character address");
    Plan moveAddress{Action::kOk, MAKEIPADDRESS(127, 100, 200, 201),
                     secondPort};
    RunDialog(doSettings, moveAddress);
    Check(ConfigValue(L"ADDR") == L"127.100.200.201" &&
              ConfigValue(L"PORT") == secondPort,
          "OK saves a 15-character address whole");
    uninitService();
  }
  ::closesocket(first.socket);
  ::closesocket(second.socket);
  if (socketsStarted) ::WSACleanup();
  Note("%s", failures == 0 ? "PASS" : "FAILED");
  std::fclose(report);
  return failures == 0 ? 0 : 1;
}
