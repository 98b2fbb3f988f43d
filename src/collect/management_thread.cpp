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
    WholeBuffer hold(stripes_, &events_);
    retiring = activeBank_;
    activeBank_ = activeBank_ == 1 ? 2 : 1;
  }
  // No host call reaches the retired bank after the flip: it is ours alone.
  DrainItems(retiring - 1);
  AppendRecord({}, Item, 1);
  DrainEvents(retiring - 1);
  AppendRecord({}, Event, 1);
}

void LinkService::DrainItems(int bank) {
  itemsWereEmpty_ = true;
  for (PointStripe& stripe : stripes_) {
    std::vector<PointEntry*>& changed = stripe.itemMap[bank];
    if (!changed.empty()) itemsWereEmpty_ = false;
    for (PointEntry* entry : changed) {
      recordScratch_.assign(entry->name());
      recordScratch_.append(1, '|');
      recordScratch_.append(entry->pending[bank]);
      entry->inBank[bank] = false;
      AppendRecord(recordScratch_, Item, 0);
    }
    changed.clear();
  }
}

void LinkService::DrainEvents(int bank) {
  std::vector<std::string>& events = events_.eventList[bank];
  for (const std::string& record : events) AppendRecord(record, Event, 0);
  events.clear();
  // A cycle without item changes paces the thread: an idle link flips about
  // once a second, and its events leave about a second after the flip.
  if (itemsWereEmpty_) env_->SleepMs(kIdleCyclePauseMs);
}

}  // namespace pelmora
