// A UDP socket owned by one object, closed (shut down both ways) through
// its Env when the object goes or takes another socket.
#ifndef PELMORA_PLATFORM_UDP_SOCKET_H_
#define PELMORA_PLATFORM_UDP_SOCKET_H_

#include <utility>

#include "platform/env.h"

namespace pelmora {

class UdpSocket {
 public:
  UdpSocket() = default;
  UdpSocket(Env& env, SocketHandle handle) : env_(&env), handle_(handle) {}
  ~UdpSocket() { Close(); }
  UdpSocket(UdpSocket&& other) noexcept
      : env_(other.env_),
        handle_(std::exchange(other.handle_, kInvalidSocket)) {}
  UdpSocket& operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
      Close();
      env_ = other.env_;
      handle_ = std::exchange(other.handle_, kInvalidSocket);
    }
    return *this;
  }

  bool valid() const { return handle_ != kInvalidSocket; }
  SocketHandle handle() const { return handle_; }
  void Close() {
    if (valid()) env_->CloseSocket(std::exchange(handle_, kInvalidSocket));
  }

 private:
  Env* env_ = nullptr;
  SocketHandle handle_ = kInvalidSocket;
};

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_UDP_SOCKET_H_
