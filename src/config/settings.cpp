#include "config/settings.h"

#include <cstdio>

#include "config/log_messages.h"
#include "config/station_identity.h"

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

Settings::Settings(Env& env, const ServiceLog& log)
    : env_(env), log_(log), file_(log.PathOf("Pelmora.ini")) {
  SetServerAddress(std::string());
}

void Settings::CheckReadable(const std::string& file) const {
  const OsError error = env_.CheckProfileReadable(file);
  if (!error.failed()) return;
  log_.LogFailure(FormatLogLine(messages::kProfileUnreadableFormat,
                                PathForLog(file).c_str()),
                  error);
}

void Settings::Load() {
  CheckReadable(file_);
  std::string mac = env_.ReadProfileString(file_, kSection, "MAC", kUnsetMac);
  const bool macReplaced = mac == kUnsetMac;
  if (macReplaced) mac = FirstAdapterMac(env_);
  SetMacText(std::move(mac));
  SetServerAddress(
      env_.ReadProfileString(file_, kSection, "ADDR", kDefaultAddress));
  SetServerPort(
      env_.ReadProfileInt(file_, kSection, "PORT", kDefaultServerPort));
  const std::uint32_t count = env_.ReadProfileInt(file_, kSection, "Count", 5);
  {
    Locked<Mutex> hold(mutex_);
    countSetting_ = count;
  }
  if (macReplaced) Save();
  const std::string moduleIni = env_.HostProfilePath("Module.ini");
  CheckReadable(moduleIni);
  const std::uint32_t hashSize =
      env_.ReadProfileInt(moduleIni, "OutLink", "HashSize", kDefaultHashSize);
  Locked<Mutex> hold(mutex_);
  hashSize_ = hashSize;
}

void Settings::Save() {
  std::string mac, address;
  std::uint32_t port, count;
  {
    Locked<Mutex> hold(mutex_);
    mac = macText_;
    address = serverAddress_;
    port = serverPort_;
    count = countSetting_;
  }
  env_.WriteProfileEntry(file_, kSection, "MAC", mac);
  env_.WriteProfileEntry(file_, kSection, "ADDR", address);
  env_.WriteProfileEntry(file_, kSection, "PORT", Unsigned(port));
  env_.WriteProfileEntry(file_, kSection, "COUNT", Unsigned(count));
}

void Settings::SetServerAddress(std::string text) {
  const std::uint32_t address = env_.ParseIpv4(text);
  Locked<Mutex> hold(mutex_);
  serverAddress_ = std::move(text);
  serverEndpoint_.address = address;
}

std::string Settings::GetServerAddress() const {
  Locked<Mutex> hold(mutex_);
  return serverAddress_;
}

void Settings::SetServerPort(std::uint32_t port) {
  Locked<Mutex> hold(mutex_);
  serverPort_ = port;
  serverEndpoint_.port = static_cast<std::uint16_t>(port & 0xFFFF);
}

std::uint32_t Settings::GetServerPort() const {
  Locked<Mutex> hold(mutex_);
  return serverPort_;
}

Ipv4Endpoint Settings::ServerEndpoint() const {
  Locked<Mutex> hold(mutex_);
  return serverEndpoint_;
}

void Settings::SetMacText(std::string text) {
  MacBytes bytes;
  ParseMacText(text, bytes.data());
  Locked<Mutex> hold(mutex_);
  macText_ = std::move(text);
  macBytes_ = bytes;
}

std::string Settings::GetMacText() const {
  Locked<Mutex> hold(mutex_);
  return macText_;
}

MacBytes Settings::macBytes() const {
  Locked<Mutex> hold(mutex_);
  return macBytes_;
}

std::uint32_t Settings::countSetting() const {
  Locked<Mutex> hold(mutex_);
  return countSetting_;
}

std::uint32_t Settings::hashSize() const {
  Locked<Mutex> hold(mutex_);
  return hashSize_;
}

}  // namespace pelmora
