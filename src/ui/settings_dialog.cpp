#include "ui/settings_dialog.h"

#include <cctype>
#include <cstdio>

#include "config/station_identity.h"

namespace pelmora {
namespace {

bool StartsWithIgnoringCase(const std::string& text,
                            const std::string& prefix) {
  if (prefix.size() > text.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

}  // namespace

int SettingsDialog::StationToSelect(const std::vector<std::string>& entries,
                                    const std::string& mac) {
  const std::size_t count = entries.size();
  for (std::size_t step = 0; step < count; ++step) {
    const std::size_t i = (1 + step) % count;
    if (StartsWithIgnoringCase(entries[i], mac)) return static_cast<int>(i);
  }
  return -1;
}

std::uint32_t SettingsDialog::PortFromText(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  std::uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
  return negative ? 0u - value : value;
}

void SettingsDialog::Initialise(SettingsView& view) {
  const Settings& settings = link_.settings();
  const std::string mac = settings.GetMacText();
  const std::string address = settings.GetServerAddress();
  char port[16];
  std::snprintf(port, sizeof port, "%u",
                static_cast<unsigned>(settings.GetServerPort()));
  std::vector<std::string> stations;
  ListAdapterMacs(env_, &stations);
  for (const std::string& station : stations) view.AddStation(station);
  view.SelectStation(StationToSelect(stations, mac));
  view.SetAddressText(address);
  view.SetPortText(port);
}

void SettingsDialog::Ok(SettingsView& view) {
  const std::string address = view.AddressText().substr(0, kAddressFieldChars);
  const std::uint32_t port =
      PortFromText(view.PortText().substr(0, kPortFieldChars));
  Settings& settings = link_.settings();
  const bool changed = address != settings.GetServerAddress() ||
                       port != settings.GetServerPort();
  if (!changed) return;
  settings.SetServerAddress(address);
  settings.SetServerPort(port);
  settings.Save();
  link_.RestartLink();
}

void SettingsDialog::Update() { link_.ResendSnapshot(); }

}  // namespace pelmora
