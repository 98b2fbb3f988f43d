// The management thread: flips the change banks and turns the retired bank
// into item and event datagrams.
#include "config/log_messages.h"
#include "service/link_service.h"

namespace pelmora {
namespace {
constexpr std::uint32_t kIdleCyclePauseMs = 1000;
}  // namespace

void LinkService::ManagementThread() {
  Log(messages::kManagementStarted);
  while (!StopRequested()) ManagementCycle();
  Log(messages::kManagementExited);
}

void LinkService::ManagementCycle() {
  int retiring;
  {
    std::lock_guard<std::mutex> hold(BufferLock);
    retiring = activeBank_;
    activeBank_ = activeBank_ == 1 ? 2 : 1;
  }
  // No host call reaches the retired bank after the flip: it is ours alone.
  ChangeBank& bank = banks_[retiring - 1];
  DrainItems(bank, retiring - 1);
  AppendRecord({}, Item, 1);
  DrainEvents(bank);
  AppendRecord({}, Event, 1);
}

void LinkService::DrainItems(ChangeBank& bank, int bankIndex) {
  itemsWereEmpty_ = bank.itemMap.empty();
  for (PointEntry* entry : bank.itemMap) {
    recordScratch_.assign(entry->name);
    recordScratch_.append(1, '|');
    recordScratch_.append(entry->pending[bankIndex]);
    entry->inBank[bankIndex] = false;
    AppendRecord(recordScratch_, Item, 0);
  }
  bank.itemMap.clear();
}

void LinkService::DrainEvents(ChangeBank& bank) {
  for (const std::string& record : bank.eventList)
    AppendRecord(record, Event, 0);
  bank.eventList.clear();
  // A cycle without item changes paces the thread: an idle link flips about
  // once a second, and its events leave about a second after the flip.
  if (itemsWereEmpty_) env_->SleepMs(kIdleCyclePauseMs);
}

}  // namespace pelmora
