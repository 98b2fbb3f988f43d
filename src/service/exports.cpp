// The six entry points the host calls. Each returns its fixed result and
// lets no exception reach the host. Calls outside the life of the service
// (before InitService, after UninitService, or a repeated InitService or
// UninitService) do nothing.
#include <atomic>

#include "config/log_messages.h"
#include "pelmora/pelmora.h"
#include "service/link_service.h"
#include "ui/settings_dialog.h"

using pelmora::LinkService;

namespace {

// The running service, owned here: InitService creates it, UninitService
// stops and deletes it. The other exports only borrow it.
std::atomic<LinkService*> currentService{nullptr};

// A null text from the host is read as the empty text, which points at
// real (empty) storage: no copy further on ever sees a null pointer.
std::string_view Text(const char* s) { return std::string_view(s ? s : ""); }

// What reaches the host instead of an exception: the fixed result, and a
// line in the log when the service is there to write it.
void LogFailedExport(const char* name) {
  try {
    if (LinkService* service = currentService.load())
      service->Log(
          pelmora::FormatLogLine(pelmora::messages::kExportFailedFormat, name));
  } catch (...) {
  }
}

}  // namespace

#define PELMORA_EXPORT extern "C" PELMORA_VISIBLE

PELMORA_EXPORT int PELMORA_CDECL InitService(void) {
  try {
    if (currentService.load()) return 1;
    auto* service = new LinkService(*pelmora::Env::Default());
    currentService.store(service);
    service->Configure();
    service->StartLink();
    service->Log(pelmora::messages::kServiceStarting);
  } catch (...) {
    LogFailedExport("InitService");
  }
  return 1;
}

PELMORA_EXPORT void PELMORA_CDECL UninitService(void) {
  try {
    LinkService* service = currentService.load();
    if (!service) return;
    service->StopLink();
    service->Log(pelmora::messages::kServiceStopped);
    // Out of the other exports' reach before it goes.
    currentService.store(nullptr);
    delete service;
  } catch (...) {
    LogFailedExport("UninitService");
  }
}

PELMORA_EXPORT int PELMORA_STDCALL UpdateItem(const char* name,
                                              const char* value) {
  try {
    if (LinkService* service = currentService.load())
      service->points().Update(Text(name), Text(value));
  } catch (...) {
    LogFailedExport("UpdateItem");
  }
  return 1;
}

PELMORA_EXPORT void PELMORA_STDCALL SendEventEx(const char* a, const char* b) {
  try {
    if (LinkService* service = currentService.load())
      service->banks().PutEvent(Text(a), Text(b));
  } catch (...) {
    LogFailedExport("SendEventEx");
  }
}

PELMORA_EXPORT void PELMORA_CDECL DoSettings(void) {
  try {
    if (LinkService* service = currentService.load())
      pelmora::RunSettingsDialog(*service, service->env());
  } catch (...) {
    LogFailedExport("DoSettings");
  }
}

PELMORA_EXPORT int PELMORA_STDCALL SetWriteCallback(WriteCallback callback) {
  try {
    if (LinkService* service = currentService.load())
      service->SetWriteCallback(callback);
  } catch (...) {
    LogFailedExport("SetWriteCallback");
  }
  return 0;
}
