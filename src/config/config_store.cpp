// Pelmora.ini (section SERVERSET) and the host's Module.ini (section OutLink).
#include <cstdio>

#include "config/station_identity.h"
#include "service/link_service.h"

namespace pelmora {
namespace {

constexpr char kSection[] = "SERVERSET";
constexpr char kUnsetMac[] = "00:00:00:00:00:00";
constexpr char kDefaultAddress[] = "127.0.0.1";

std::string Unsigned(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value));
  return text;
}

}  // namespace

void LinkService::LoadConfig() {
  const std::string file = configDir_ + env_->PathSeparator() + "Pelmora.ini";
  macText_ = env_->ReadProfileString(file, kSection, "MAC", kUnsetMac);
  // The all-zero text means "take the first adapter's MAC"; once found it is
  // written back, so later starts do not ask the adapters again.
  const bool macReplaced = macText_ == kUnsetMac;
  if (macReplaced) macText_ = FirstAdapterMac(env_);
  ApplyMac();
  SetServerAddress(
      env_->ReadProfileString(file, kSection, "ADDR", kDefaultAddress));
  SetServerPort(
      env_->ReadProfileInt(file, kSection, "PORT", kDefaultServerPort));
  countSetting_ = env_->ReadProfileInt(file, kSection, "Count", 5);
  if (macReplaced) SaveConfig();
  hashSize_ = env_->ReadProfileInt(env_->HostProfilePath("Module.ini"),
                                   "OutLink", "HashSize", kDefaultHashSize);
}

void LinkService::SaveConfig() {
  const std::string file = configDir_ + env_->PathSeparator() + "Pelmora.ini";
  env_->WriteProfileEntry(file, kSection, "MAC", macText_);
  env_->WriteProfileEntry(file, kSection, "ADDR", GetServerAddress());
  env_->WriteProfileEntry(file, kSection, "PORT", Unsigned(GetServerPort()));
  env_->WriteProfileEntry(file, kSection, "COUNT", Unsigned(countSetting_));
}

void LinkService::SetServerAddress(std::string text) {
  const std::uint32_t address = env_->ParseIpv4(text);
  std::lock_guard<std::mutex> hold(settingsLock_);
  serverAddress_ = std::move(text);
  serverEndpoint_.address = address;
}

std::string LinkService::GetServerAddress() const {
  std::lock_guard<std::mutex> hold(settingsLock_);
  return serverAddress_;
}

void LinkService::SetServerPort(std::uint32_t port) {
  std::lock_guard<std::mutex> hold(settingsLock_);
  serverPort_ = port;
  serverEndpoint_.port = static_cast<std::uint16_t>(port & 0xFFFF);
}

std::uint32_t LinkService::GetServerPort() const {
  std::lock_guard<std::mutex> hold(settingsLock_);
  return serverPort_;
}

std::string LinkService::GetMacText() const { return macText_; }

Ipv4Endpoint LinkService::ServerEndpoint() const {
  std::lock_guard<std::mutex> hold(settingsLock_);
  return serverEndpoint_;
}

}  // namespace pelmora
