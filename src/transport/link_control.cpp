// Start and stop of the link: socket, stop signal and the three workers.
#include "config/log_messages.h"
#include "service/link_service.h"

namespace pelmora {

int LinkService::StartLink() {
  // A started link is never replaced over its running threads.
  if (stopEvent_) return 0;
  Log(messages::kStartingLink);
  SocketHandle socket = env_->OpenUdpSocket();
  if (socket == kInvalidSocket) {
    Log(messages::kSocketCreateFailed);
    return 0;
  }
  if (!env_->ConnectSocket(socket, ServerEndpoint())) {
    Log(messages::kConnectFailed);
    env_->CloseSocket(socket);
    return 0;
  }
  channel_.udpSocket.store(socket);
  stopEvent_ = std::make_unique<ManualEvent>();
  managementThread_ = env_->StartThread([this] { ManagementThread(); }, false);
  configurationThread_ =
      env_->StartThread([this] { ConfigurationThread(); }, true);
  channel_.sendThreadHandle = env_->StartThread([this] { SendThread(); }, true);
  if (!channel_.sendThreadHandle) {
    Log(messages::kSendThreadCreateFailed);
    env_->CloseSocket(channel_.udpSocket.exchange(kInvalidSocket));
    return 0;
  }
  channel_.sendThreadHandle->Resume();
  return 1;
}

void LinkService::StopLink() {
  Log(messages::kStoppingLink);
  RequestStop();
  if (managementThread_) managementThread_->Join();
  // A configuration thread the host never let run is let run now, so that
  // it sees the stop signal, logs its start and exit lines and ends.
  if (configurationThread_) {
    configurationThread_->Resume();
    configurationThread_->Join();
  }
  if (channel_.sendThreadHandle) channel_.sendThreadHandle->Join();
  CloseChannel();
  stopEvent_.reset();
  managementThread_.reset();
  configurationThread_.reset();
}

void LinkService::RequestStop() {
  if (stopEvent_) stopEvent_->Set();
}

void LinkService::CloseChannel() {
  channel_.sendThreadHandle.reset();
  SocketHandle socket = channel_.udpSocket.exchange(kInvalidSocket);
  if (socket != kInvalidSocket) env_->CloseSocket(socket);
  channel_.DiscardQueued();
}

void LinkService::ResumeConfigurationThread() {
  if (configurationThread_) configurationThread_->Resume();
}

}  // namespace pelmora
