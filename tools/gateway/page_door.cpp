#include "page_door.h"

#include <algorithm>

namespace pelmora::gateway {

namespace {

// A client whose last failure is this old starts afresh.
constexpr std::chrono::minutes kForgetAfter{10};

bool AllOf(std::string_view text, const char* alphabet) {
  return text.find_first_not_of(alphabet) == std::string_view::npos;
}

}  // namespace

bool TokenStrongEnough(std::string_view token, std::string* why) {
  for (const char c : token) {
    if (c < 0x21 || c > 0x7E) {
      *why = "holds a blank or a character beyond printable ASCII";
      return false;
    }
  }
  // Characters needed for 128 bits: ceil(128 / log2(alphabet size)).
  const std::size_t needed = AllOf(token, "0123456789")               ? 39
                             : AllOf(token, "0123456789abcdefABCDEF") ? 32
                                                                      : 22;
  if (token.size() < needed) {
    *why = "is " + std::to_string(token.size()) +
           " characters long; one of this kind needs " +
           std::to_string(needed) + " for 128 bits";
    return false;
  }
  return true;
}

bool AuthBackoff::MayTry(const std::string& client, Clock::time_point now,
                         std::chrono::seconds* wait) {
  Locked<Mutex> lock(mutex_);
  const auto found = clients_.find(client);
  if (found == clients_.end() || now >= found->second.until) return true;
  ++refused_;
  *wait = std::max(
      std::chrono::seconds(1),
      std::chrono::ceil<std::chrono::seconds>(found->second.until - now));
  return false;
}

void AuthBackoff::Failed(const std::string& client, Clock::time_point now) {
  Locked<Mutex> lock(mutex_);
  ++failures_;
  auto found = clients_.find(client);
  if (found == clients_.end()) {
    if (clients_.size() >= kClientsKept) {
      auto oldest = std::min_element(clients_.begin(), clients_.end(),
                                     [](const auto& a, const auto& b) {
                                       return a.second.last < b.second.last;
                                     });
      clients_.erase(oldest);
    }
    found = clients_.emplace(client, Client{}).first;
  }
  Client& state = found->second;
  if (now - state.last >= kForgetAfter) state.failures = 0;
  state.last = now;
  if (++state.failures <= kFreeFailures) return;
  const int doublings = std::min(state.failures - kFreeFailures - 1, 6);
  state.until = now + std::min<std::chrono::seconds>(
                          kFirstWait * (1 << doublings), kLongestWait);
}

void AuthBackoff::Succeeded(const std::string& client) {
  Locked<Mutex> lock(mutex_);
  clients_.erase(client);
}

std::uint64_t AuthBackoff::failures() const {
  Locked<Mutex> lock(mutex_);
  return failures_;
}

std::uint64_t AuthBackoff::refused() const {
  Locked<Mutex> lock(mutex_);
  return refused_;
}

}  // namespace pelmora::gateway
