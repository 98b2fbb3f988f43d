// What the operator's page asks of those who knock: a token strong enough
// to stand up to guessing, and a client that keeps guessing wrong made to
// wait longer each time. Pure rules: time comes in as an argument.
#ifndef PELMORA_TOOLS_GATEWAY_PAGE_DOOR_H_
#define PELMORA_TOOLS_GATEWAY_PAGE_DOOR_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "sync/mutex.h"

namespace pelmora::gateway {

// Whether `token` holds at least 128 bits when its characters were drawn
// at random from the smallest alphabet that holds them all: 39 decimal
// digits, 32 hex digits, or 22 characters of any other (base64's and
// beyond), every one printable ASCII without blanks. When not, `why` says
// what is wrong without repeating the token.
bool TokenStrongEnough(std::string_view token, std::string* why);

// Failed tries to authenticate, per client address. The first few pass;
// each one after makes that client wait before its next try, twice as long
// as the time before, up to a ceiling; one success forgets its failures.
// A client not heard from for a while is forgotten, and so is the longest
// silent one when too many are kept. Any thread.
class AuthBackoff {
 public:
  using Clock = std::chrono::steady_clock;
  // Failures in a row that cost nothing.
  static constexpr int kFreeFailures = 3;
  static constexpr std::chrono::seconds kFirstWait{1};
  static constexpr std::chrono::seconds kLongestWait{60};
  static constexpr std::size_t kClientsKept = 4096;

  // Whether `client` may try now; when not, counted, and `wait` says how
  // long until it may (at least a second).
  bool MayTry(const std::string& client, Clock::time_point now,
              std::chrono::seconds* wait);
  void Failed(const std::string& client, Clock::time_point now);
  void Succeeded(const std::string& client);

  // Since the start: failed tries, and tries refused as too early.
  std::uint64_t failures() const;
  std::uint64_t refused() const;

 private:
  struct Client {
    int failures = 0;
    Clock::time_point last;
    Clock::time_point until;  // no try before
  };

  mutable Mutex mutex_;
  std::map<std::string, Client> clients_ GUARDED_BY(mutex_);
  std::uint64_t failures_ GUARDED_BY(mutex_) = 0;
  std::uint64_t refused_ GUARDED_BY(mutex_) = 0;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_PAGE_DOOR_H_
