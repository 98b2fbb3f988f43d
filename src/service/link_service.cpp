#include "service/link_service.h"

#include "config/log_messages.h"
#include "config/service_log.h"

namespace pelmora {
namespace {
LinkService* serviceInstance = nullptr;
}  // namespace

LinkService::LinkService() : env_(CurrentEnv()) {
  SetServerAddress(std::string());
  SetServerPort(kDefaultServerPort);
}

LinkService* LinkService::Instance() {
  if (serviceInstance) return serviceInstance;
  auto* service = new LinkService;
  service->env_->StartSockets();
  service->configDir_ = FindConfigDir(service->env_);
  serviceInstance = service;
  service->DiscoveryDone = std::make_unique<ManualEvent>();
  return service;
}

void LinkService::DestroyInstance() {
  if (!serviceInstance) return;
  serviceInstance->Log(messages::kServiceStopped);
  delete serviceInstance;
  serviceInstance = nullptr;
}

LinkService::~LinkService() {
  env_->CleanupSockets();
  // UninitService has stopped the link by now. A service torn down any other
  // way must still not leave workers running over its freed members.
  RequestStop();
  managementThread_.reset();
  configurationThread_.reset();
  channel_.sendThreadHandle.reset();
}

void LinkService::Log(std::string_view text) {
  WriteLogLine(env_, configDir_, text);
}

}  // namespace pelmora
