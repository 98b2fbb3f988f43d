// The communication settings dialog: its behaviour, kept apart from the
// window that shows it so that it runs the same behind any view.
#ifndef PELMORA_UI_SETTINGS_DIALOG_H_
#define PELMORA_UI_SETTINGS_DIALOG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"
#include "platform/env.h"

namespace pelmora {

// What the dialog acts on: the service's settings and its link.
class LinkControl {
 public:
  virtual ~LinkControl() = default;
  virtual Settings& settings() = 0;
  // Stops the link and starts it again towards the settings' server, then
  // lets the new configuration thread run. On the calling thread.
  virtual void RestartLink() = 0;
  // Sends the full snapshot now, on the calling thread.
  virtual void ResendSnapshot() = 0;
};

// Texts of the dialog (UTF-8; the Windows view shows them from its
// resource template).
inline constexpr char kDialogCaption[] = "通信参数设置";
inline constexpr char kStationLabel[] = "本地标识:";
inline constexpr char kAddressLabel[] = "服务地址:";
inline constexpr char kPortLabel[] = "服务端口:";
inline constexpr char kUpdateButton[] = "更新配置";
inline constexpr char kOkButton[] = "确定";
inline constexpr char kCancelButton[] = "取消";

// The longest dotted IPv4 address, and how much of the port text is read.
inline constexpr std::size_t kAddressFieldChars = 15;
inline constexpr std::size_t kPortFieldChars = 8;

// What the dialog needs of the window showing it.
class SettingsView {
 public:
  virtual ~SettingsView() = default;
  // Appends one entry at the end of the station list.
  virtual void AddStation(const std::string& text) = 0;
  // Selects entry `index`, or nothing when it is -1.
  virtual void SelectStation(int index) = 0;
  virtual void SetAddressText(const std::string& text) = 0;
  // At most kAddressFieldChars characters, as the field gives them.
  virtual std::string AddressText() = 0;
  virtual void SetPortText(const std::string& text) = 0;
  // At most the first kPortFieldChars characters.
  virtual std::string PortText() = 0;
};

class SettingsDialog {
 public:
  SettingsDialog(LinkControl& link, Env& env) : link_(link), env_(env) {}

  // Fills the station list from the machine's adapters, selects the
  // configured MAC, shows address and port.
  void Initialise(SettingsView& view);
  // Applies a changed address or port: store, save, restart the link.
  // Unchanged settings do nothing.
  void Ok(SettingsView& view);
  // Sends the full snapshot now, on this thread.
  void Update();

  // The entry that begins with `mac` (case-insensitive), searched from the
  // second entry on and wrapping to the first; -1 when none does.
  static int StationToSelect(const std::vector<std::string>& entries,
                             const std::string& mac);
  // atoi: blanks, sign, leading digits; 0 when there are none.
  static std::uint32_t PortFromText(const std::string& text);

 private:
  LinkControl& link_;
  Env& env_;
};

// Shows the dialog modally on the calling thread and returns when it
// closes. Provided by the platform's view (posix/, win32/).
void RunSettingsDialog(LinkControl& link, Env& env);

}  // namespace pelmora

#endif  // PELMORA_UI_SETTINGS_DIALOG_H_
