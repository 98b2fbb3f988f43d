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

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The key from exactly 64 hexadecimal digits, surrounding blanks aside.
std::optional<CommandKey> ParseCommandKey(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  const std::size_t last = text.find_last_not_of(" \t");
  if (first == std::string::npos || last - first + 1 != 2 * sizeof(CommandKey))
    return std::nullopt;
  CommandKey key;
  for (std::size_t i = 0; i < key.size(); ++i) {
    const int high = HexDigit(text[first + 2 * i]);
    const int low = HexDigit(text[first + 2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    key[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return key;
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
  LoadCommandKey();
  if (macReplaced) Save();
  const std::string moduleIni = env_.HostProfilePath("Module.ini");
  CheckReadable(moduleIni);
  const std::uint32_t hashSize =
      env_.ReadProfileInt(moduleIni, "OutLink", "HashSize", kDefaultHashSize);
  Locked<Mutex> hold(mutex_);
  hashSize_ = hashSize;
}

void Settings::LoadCommandKey() {
  const std::string text =
      env_.ReadProfileString(file_, "COMMAND", "KEY", std::string());
  std::optional<CommandKey> key;
  if (!text.empty()) {
    key = ParseCommandKey(text);
    if (!key) log_.Log(messages::kCommandKeyMalformed);
  }
  Locked<Mutex> hold(mutex_);
  commandKey_ = key;
}

std::optional<CommandKey> Settings::commandKey() const {
  Locked<Mutex> hold(mutex_);
  return commandKey_;
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
