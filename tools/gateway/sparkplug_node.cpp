#include "sparkplug_node.h"

#include <google/protobuf/util/json_util.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "code_page.h"
#include "host_state.pb.h"
#include "number_text.h"
#include "sparkplug_b.pb.h"
#include "topic_tree.h"

namespace pelmora::gateway {

namespace {

using sparkplug::Payload;

constexpr char kNamespace[] = "spBv1.0/";
constexpr char kBdSeq[] = "bdSeq";
constexpr char kRebirth[] = "Node Control/Rebirth";
constexpr char kEventMetric[] = "%Event";
constexpr char kCompleteMetric[] = "%Complete";
// The property keys hosts read a metric's engineering unit and range by
// (as the Sparkplug reference implementation's examples give them), and
// the point's description beside them.
constexpr char kUnitProperty[] = "engUnit";
constexpr char kLowProperty[] = "engLow";
constexpr char kHighProperty[] = "engHigh";
constexpr char kDescriptionProperty[] = "description";
// Births, data and deaths other than the will are sent at most once, not
// kept: a host that misses one asks for a rebirth.
constexpr int kAtMostOnce = 0;
constexpr int kAtLeastOnce = 1;
constexpr std::uint64_t kSeqModulus = 256;
// What an MQTT PUBLISH adds to its topic and payload at most: the fixed
// header (1 byte and up to 4 of length), the topic's length (2) and, at
// QoS 1, the packet id (2).
constexpr std::size_t kPublishOverhead = 9;
constexpr std::chrono::seconds kRefusalLinePause{1};
// The gateway's health as node metrics, in the order of HealthValues().
constexpr char kVersionMetric[] = "Gateway/Version";
constexpr const char* kHealthMetrics[] = {
    "Gateway/Stations online",   "Gateway/Datagrams refused",
    "Gateway/Datagrams dropped", "Gateway/Events dropped",
    "Gateway/Commands refused",  "Gateway/Births refused",
    "Gateway/Broker reconnects"};

std::uint64_t Ms(std::chrono::system_clock::time_point wall) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          wall.time_since_epoch())
          .count());
}

// A point's value as its metric carries it: a Double metric whose text is
// no number is null.
void PutValue(bool isDouble, const std::string& value,
              Payload::Metric* metric) {
  double number = 0;
  if (!isDouble) {
    metric->set_string_value(Utf8OfHostText(value));
  } else if (wire::ParseDecimalNumber(value, &number)) {
    metric->set_double_value(number);
  } else {
    metric->set_is_null(true);
  }
}

// One property, its key and its value side by side, so that the set's two
// arrays never differ in length; every value says its type.
Payload::PropertyValue* AddProperty(const char* key,
                                    Payload::PropertySet* set) {
  set->add_keys(key);
  return set->add_values();
}

void PutString(const char* key, const std::string& text,
               Payload::PropertySet* set) {
  if (text.empty()) return;
  Payload::PropertyValue* value = AddProperty(key, set);
  value->set_type(sparkplug::String);
  value->set_string_value(text);
}

void PutDouble(const char* key, const std::optional<double>& number,
               Payload::PropertySet* set) {
  if (!number) return;
  Payload::PropertyValue* value = AddProperty(key, set);
  value->set_type(sparkplug::Double);
  value->set_double_value(*number);
}

// A written value as the host's text.
bool HostValueOf(const Payload::Metric& metric, std::string* value) {
  switch (metric.value_case()) {
    case Payload::Metric::kStringValue:
      return HostTextOfUtf8(metric.string_value(), value);
    case Payload::Metric::kDoubleValue: {
      char text[32];
      const auto [end, error] =
          std::to_chars(text, text + sizeof text, metric.double_value());
      value->assign(text, end);
      return error == std::errc();
    }
    case Payload::Metric::kBooleanValue:
      *value = metric.boolean_value() ? "1" : "0";
      return true;
    default:
      return false;
  }
}

std::string DeathPayload(std::uint64_t bdSeq,
                         std::chrono::system_clock::time_point wall) {
  Payload payload;
  payload.set_timestamp(Ms(wall));
  Payload::Metric* metric = payload.add_metrics();
  metric->set_name(kBdSeq);
  metric->set_timestamp(Ms(wall));
  metric->set_datatype(sparkplug::Int64);
  metric->set_long_value(bdSeq);
  return payload.SerializeAsString();
}

// Point names as a host that does not tell case apart reads them: ASCII
// letters folded, every other byte as it is.
std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

}  // namespace

SparkplugNode::SparkplugNode(Options options) : options_(std::move(options)) {}

SparkplugNode::Properties SparkplugNode::PropertiesOf(
    const std::string& mac, const std::string& name) const {
  Properties properties;
  if (!site_) return properties;
  // The site file names points as the page shows them.
  const PointRule* rule = site_->PointOf(mac, wire::GbkToUtf8(name));
  if (rule == nullptr) return properties;
  properties.unit = rule->unit;
  properties.low = rule->low;
  properties.high = rule->high;
  properties.description = rule->description;
  return properties;
}

void SparkplugNode::SetSite(std::shared_ptr<const SiteFile> site,
                            const Moment& now) {
  site_ = std::move(site);
  for (auto& [mac, device] : devices_) {
    for (const auto& [name, metric] : device.metrics) {
      if (metric.present && metric.typed &&
          !(PropertiesOf(mac, name) == metric.properties)) {
        device.setChanged = true;
      }
    }
    if (device.setChanged) Flush(mac, device, now);
  }
}

std::string SparkplugNode::Topic(const char* type,
                                 const std::string& device) const {
  std::string topic =
      kNamespace + options_.group + '/' + type + '/' + options_.edgeNode;
  if (!device.empty()) topic += '/' + device;
  return topic;
}

std::vector<std::string> SparkplugNode::Subscriptions() const {
  std::vector<std::string> filters = {Topic("NCMD"), Topic("DCMD", "+")};
  if (!options_.primaryHost.empty())
    filters.push_back(kNamespace + std::string("STATE/") +
                      options_.primaryHost);
  return filters;
}

std::uint64_t SparkplugNode::BdSeqOf(std::uint64_t connection) const {
  return (options_.firstBdSeq + connection - 1) % kSeqModulus;
}

Message SparkplugNode::Will(std::uint64_t connection) const {
  return {Topic("NDEATH"),
          DeathPayload(BdSeqOf(connection), std::chrono::system_clock::now()),
          false, kAtLeastOnce};
}

std::optional<Message> SparkplugNode::Death() const {
  if (!sessionUp_) return std::nullopt;
  return Message{Topic("NDEATH"),
                 DeathPayload(bdSeq_, std::chrono::system_clock::now()), false,
                 kAtLeastOnce};
}

void SparkplugNode::Take(std::vector<Message>* out) {
  for (Message& message : out_) out->push_back(std::move(message));
  out_.clear();
}

bool SparkplugNode::TakeConnectionEnd() {
  const bool end = endConnection_;
  endConnection_ = false;
  return end;
}

void SparkplugNode::TakeLines(std::vector<std::string>* lines) {
  for (std::string& line : lines_) lines->push_back(std::move(line));
  lines_.clear();
}

void SparkplugNode::Connected(std::uint64_t connection, const Moment& now) {
  // What the last connection's session made and nobody took would go out
  // ahead of this one's NBIRTH with a seq of the old one; the births
  // restate its values, and answer any Rebirth asked before.
  out_.clear();
  rebirthAsked_ = false;
  bdSeq_ = BdSeqOf(connection);
  ++connections_;
  connected_ = true;
  endConnection_ = false;
  sessionUp_ = false;
  // A retained STATE arrives again on the new subscription.
  hostOnline_ = false;
  if (options_.primaryHost.empty()) Births(now);
}

std::uint64_t SparkplugNode::NextSeq() {
  const std::uint64_t seq = seq_;
  seq_ = (seq_ + 1) % kSeqModulus;
  return seq;
}

void SparkplugNode::Emit(const char* type, const std::string& mac,
                         std::string payload) {
  Message message{Topic(type, mac), std::move(payload), false, kAtMostOnce};
  message.session = true;
  out_.push_back(std::move(message));
}

void SparkplugNode::Births(const Moment& now) {
  seq_ = 0;
  sessionUp_ = true;
  Payload payload;
  payload.set_timestamp(Ms(now.wall));
  payload.set_seq(NextSeq());
  Payload::Metric* bdSeq = payload.add_metrics();
  bdSeq->set_name(kBdSeq);
  bdSeq->set_timestamp(Ms(now.wall));
  bdSeq->set_datatype(sparkplug::Int64);
  bdSeq->set_long_value(bdSeq_);
  Payload::Metric* rebirth = payload.add_metrics();
  rebirth->set_name(kRebirth);
  rebirth->set_timestamp(Ms(now.wall));
  rebirth->set_datatype(sparkplug::Boolean);
  rebirth->set_boolean_value(false);
  // The gateway's health, by alias in NDATA after; given once.
  Payload::Metric* version = payload.add_metrics();
  version->set_name(kVersionMetric);
  version->set_timestamp(Ms(now.wall));
  version->set_datatype(sparkplug::String);
  version->set_string_value(PELMORA_VERSION);
  const std::vector<std::uint64_t> values = HealthValues();
  if (healthAliases_.empty()) {
    for (std::size_t i = 0; i < values.size(); ++i)
      healthAliases_.push_back(nextAlias_++);
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    Payload::Metric* metric = payload.add_metrics();
    metric->set_name(kHealthMetrics[i]);
    metric->set_alias(healthAliases_[i]);
    metric->set_timestamp(Ms(now.wall));
    metric->set_datatype(sparkplug::Int64);
    metric->set_long_value(values[i]);
  }
  healthSent_ = values;
  Emit("NBIRTH", "", payload.SerializeAsString());
  ++births_.node;
  for (auto& [mac, device] : devices_) {
    device.born = false;
    device.birthRefused = false;
    Flush(mac, device, now);
  }
}

void SparkplugNode::BirthOf(const std::string& mac, Device& device,
                            const Moment& now) {
  Payload payload;
  payload.set_timestamp(Ms(now.wall));
  for (auto& [name, metric] : device.metrics) {
    if (!metric.present) continue;
    if (!metric.typed) {
      double number = 0;
      metric.typed = true;
      metric.isDouble =
          options_.numeric && wire::ParseDecimalNumber(metric.value, &number);
    }
    Payload::Metric* out = payload.add_metrics();
    out->set_name(Utf8OfHostText(name));
    out->set_alias(metric.alias);
    out->set_timestamp(Ms(metric.received));
    out->set_datatype(metric.isDouble ? sparkplug::Double : sparkplug::String);
    PutValue(metric.isDouble, metric.value, out);
    metric.properties = PropertiesOf(mac, name);
    if (!(metric.properties == Properties())) {
      Payload::PropertySet* set = out->mutable_properties();
      PutString(kUnitProperty, metric.properties.unit, set);
      PutDouble(kLowProperty, metric.properties.low, set);
      PutDouble(kHighProperty, metric.properties.high, set);
      PutString(kDescriptionProperty, metric.properties.description, set);
    }
  }
  if (device.eventAlias == 0) device.eventAlias = nextAlias_++;
  Payload::Metric* events = payload.add_metrics();
  events->set_name(kEventMetric);
  events->set_alias(device.eventAlias);
  events->set_timestamp(Ms(now.wall));
  events->set_datatype(sparkplug::String);
  events->set_is_null(true);
  if (device.completeAlias == 0) device.completeAlias = nextAlias_++;
  Payload::Metric* complete = payload.add_metrics();
  complete->set_name(kCompleteMetric);
  complete->set_alias(device.completeAlias);
  complete->set_timestamp(Ms(now.wall));
  complete->set_datatype(sparkplug::Boolean);
  complete->set_boolean_value(device.complete);
  WarnOfCase(mac, device);
  // The seq (at most two bytes) is not in yet: counted as if it were.
  const std::size_t size = payload.ByteSizeLong() + 3 +
                           Topic("DBIRTH", mac).size() + kPublishOverhead;
  std::size_t largest = options_.maxPacket;
  if (brokerMaxPacket_ != 0 && (largest == 0 || brokerMaxPacket_ < largest))
    largest = brokerMaxPacket_;
  if (largest != 0 && size > largest) {
    // The broker would end the node's connection for it, and every birth
    // after the next connection would end it again: the device stays
    // unborn, its data unsent, until its list changes or the next birth.
    if (device.refusedSize != size) {
      device.refusedSize = size;
      lines_.push_back("sparkplug: station " + mac +
                       " not born: its DBIRTH of " + std::to_string(size) +
                       " bytes is over the broker's largest packet (" +
                       std::to_string(largest) + " bytes)");
    }
    ++refusedBirths_;
    device.birthRefused = true;
    device.born = false;
    device.setChanged = false;
    device.completeChanged = false;
    device.changed.clear();
    device.events.clear();
    return;
  }
  device.refusedSize = 0;
  device.birthRefused = false;
  payload.set_seq(NextSeq());
  Emit("DBIRTH", mac, payload.SerializeAsString());
  ++births_.device;
  device.born = true;
  device.setChanged = false;
  device.completeChanged = false;
  device.changed.clear();
}

void SparkplugNode::Flush(const std::string& mac, Device& device,
                          const Moment& now) {
  if (!sessionUp_ || !device.online || !device.listKnown) {
    // What is not sent now, the next birth states.
    device.changed.clear();
    device.events.clear();
    device.completeChanged = false;
    return;
  }
  // A birth refused for its size is not tried again (and made again, at
  // every datagram) before the list changes or the next NBIRTH.
  if ((!device.born && !device.birthRefused) || device.setChanged)
    BirthOf(mac, device, now);
  if (!device.born) return;
  if (device.changed.empty() && device.events.empty() &&
      !device.completeChanged) {
    return;
  }
  Payload payload;
  payload.set_timestamp(Ms(now.wall));
  payload.set_seq(NextSeq());
  for (const std::string& name : device.changed) {
    const Metric& metric = device.metrics.at(name);
    Payload::Metric* out = payload.add_metrics();
    out->set_alias(metric.alias);
    out->set_timestamp(Ms(metric.received));
    PutValue(metric.isDouble, metric.value, out);
  }
  for (const auto& [record, received] : device.events) {
    Payload::Metric* out = payload.add_metrics();
    out->set_alias(device.eventAlias);
    // A historian keys a value on its metric and time: each event a
    // millisecond after the one before, when they arrived within one.
    device.lastEventMs = std::max(Ms(received), device.lastEventMs + 1);
    out->set_timestamp(device.lastEventMs);
    out->set_string_value(Utf8OfHostText(record));
  }
  if (device.completeChanged) {
    Payload::Metric* out = payload.add_metrics();
    out->set_alias(device.completeAlias);
    out->set_timestamp(Ms(now.wall));
    out->set_boolean_value(device.complete);
  }
  device.changed.clear();
  device.events.clear();
  device.completeChanged = false;
  Emit("DDATA", mac, payload.SerializeAsString());
}

void SparkplugNode::StationOnline(const std::string& mac, const Moment&) {
  devices_[mac].online = true;
}

void SparkplugNode::PointSet(const std::string& mac, std::string_view name,
                             std::string_view value, const Moment& now) {
  Device& device = devices_[mac];
  auto [found, added] = device.metrics.try_emplace(std::string(name));
  Metric& metric = found->second;
  if (added) metric.alias = nextAlias_++;
  if (!metric.present || added) {
    metric.present = true;
    device.setChanged = true;
  } else if (metric.value == value) {
    return;
  }
  metric.value = value;
  metric.received = now.wall;
  device.changed.insert(found->first);
}

void SparkplugNode::Event(const std::string& mac, std::string_view record,
                          const Moment& now) {
  devices_[mac].events.emplace_back(record, now.wall);
}

void SparkplugNode::DatagramDone(const std::string& mac, const Moment& now) {
  Flush(mac, devices_[mac], now);
}

void SparkplugNode::SnapshotEnded(const std::string& mac,
                                  const std::vector<std::string>& cleared,
                                  bool complete, const Moment& now) {
  Device& device = devices_[mac];
  if (device.complete != complete) {
    device.complete = complete;
    device.completeChanged = true;
  }
  for (const std::string& name : cleared) {
    const auto found = device.metrics.find(name);
    if (found == device.metrics.end()) continue;
    found->second.present = false;
    device.changed.erase(name);
    device.setChanged = true;
  }
  device.listKnown = true;
  Flush(mac, device, now);
}

void SparkplugNode::TreeInDoubt(const std::string& mac, const Moment& now) {
  Device& device = devices_[mac];
  device.complete = false;
  device.completeChanged = true;
  Flush(mac, device, now);
}

void SparkplugNode::StationSilent(const std::string& mac, const Moment& now) {
  Device& device = devices_[mac];
  device.online = false;
  if (!sessionUp_ || !device.born) return;
  device.born = false;
  Payload payload;
  payload.set_timestamp(Ms(now.wall));
  payload.set_seq(NextSeq());
  Emit("DDEATH", mac, payload.SerializeAsString());
}

void SparkplugNode::Receive(const Message& message, const Moment& now) {
  if (!options_.primaryHost.empty() &&
      message.topic ==
          kNamespace + std::string("STATE/") + options_.primaryHost) {
    HeedState(message.payload, now);
    return;
  }
  const std::string prefix = Topic("DCMD") + '/';
  const bool isCommand = message.topic == Topic("NCMD") ||
                         message.topic.compare(0, prefix.size(), prefix) == 0;
  if (!isCommand) return;
  if (message.retain) {
    ++ignoredRetained_;
    lines_.push_back("sparkplug: a retained command on " + message.topic +
                     " ignored: it would act again at every connection");
    return;
  }
  if (message.refusedLength != 0) {
    // Too long to have been held: its writes, whatever they were, refused.
    if (message.topic.compare(0, prefix.size(), prefix) == 0)
      ++refusedCommands_;
    return;
  }
  Payload payload;
  if (!payload.ParseFromString(message.payload)) return;
  if (message.topic == Topic("NCMD")) {
    // Answered by the gateway's loop when the births before have left.
    for (const Payload::Metric& metric : payload.metrics()) {
      if (metric.name() == kRebirth && metric.boolean_value() && sessionUp_)
        rebirthAsked_ = true;
    }
    return;
  }
  const std::string mac = message.topic.substr(prefix.size());
  const auto device = devices_.find(mac);
  for (const Payload::Metric& written : payload.metrics()) {
    const std::string* name = nullptr;
    if (device != devices_.end()) {
      for (const auto& [pointName, metric] : device->second.metrics) {
        if (!metric.present) continue;
        if (written.has_alias() ? metric.alias == written.alias()
                                : Utf8OfHostText(pointName) == written.name())
          name = &pointName;
      }
    }
    std::string value;
    const char* refusal = nullptr;
    if (name == nullptr) {
      refusal = "it names no point of the station";
    } else if (!HostValueOf(written, &value)) {
      refusal = "its value is no String, Double or Boolean the host can take";
    } else if (sink_ == nullptr || !sink_->WritePoint(mac, *name, value)) {
      refusal = "the gateway holds no key of the station";
    }
    if (refusal == nullptr) continue;
    const std::string label = name != nullptr ? Utf8OfHostText(*name)
                              : written.has_alias()
                                  ? "alias " + std::to_string(written.alias())
                                  : written.name();
    CommandRefused(mac, name != nullptr ? *name : std::string(), label, refusal,
                   now);
  }
}

void SparkplugNode::CommandFailed(const std::string& mac,
                                  const std::string& name,
                                  const std::string& reason,
                                  const Moment& now) {
  CommandRefused(mac, name, Utf8OfHostText(name), reason.c_str(), now);
}

void SparkplugNode::CommandRefused(const std::string& mac,
                                   const std::string& name,
                                   const std::string& label, const char* why,
                                   const Moment& now) {
  ++refusedCommands_;
  // A host's write waits for the metric's value to change: the value it
  // still has, sent at once, ends the wait.
  const auto device = devices_.find(mac);
  if (device != devices_.end() && !name.empty()) {
    const auto metric = device->second.metrics.find(name);
    if (metric != device->second.metrics.end() && metric->second.present) {
      device->second.changed.insert(name);
      Flush(mac, device->second, now);
    }
  }
  // One line a second at most: whoever may publish a DCMD may flood them.
  if (refusalsUnsaid_ != 0 &&
      now.steady - lastRefusalLine_ < kRefusalLinePause) {
    ++refusalsUnsaid_;
    return;
  }
  std::string line = "sparkplug: DCMD write of " + label + " on station " +
                     mac + " refused: " + why;
  if (refusalsUnsaid_ > 1) {
    line +=
        " (" + std::to_string(refusalsUnsaid_ - 1) + " more refused before it)";
  }
  lines_.push_back(std::move(line));
  lastRefusalLine_ = now.steady;
  refusalsUnsaid_ = 1;
}

std::vector<std::uint64_t> SparkplugNode::HealthValues() const {
  return {health_.stationsOnline,
          health_.datagramsRefused,
          health_.datagramsDropped,
          health_.eventsDropped,
          refusedCommands_,
          refusedBirths_,
          connections_ == 0 ? 0 : connections_ - 1};
}

void SparkplugNode::NoteHealth(const Health& health, const Moment& now) {
  health_ = health;
  if (!sessionUp_) return;
  const std::vector<std::uint64_t> values = HealthValues();
  Payload payload;
  payload.set_timestamp(Ms(now.wall));
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] == healthSent_[i]) continue;
    Payload::Metric* metric = payload.add_metrics();
    metric->set_alias(healthAliases_[i]);
    metric->set_timestamp(Ms(now.wall));
    metric->set_long_value(values[i]);
  }
  if (payload.metrics_size() == 0) return;
  healthSent_ = values;
  payload.set_seq(NextSeq());
  Emit("NDATA", "", payload.SerializeAsString());
}

void SparkplugNode::Rebirth(const Moment& now) {
  if (rebirthAsked_ && sessionUp_) Births(now);
  rebirthAsked_ = false;
}

void SparkplugNode::HeedState(std::string_view payload, const Moment& now) {
  sparkplug::HostState state;
  google::protobuf::util::JsonParseOptions parsing;
  parsing.ignore_unknown_fields = true;
  if (!google::protobuf::util::JsonStringToMessage(
           google::protobuf::StringPiece(payload.data(), payload.size()),
           &state, parsing)
           .ok() ||
      !state.has_online() || !state.has_timestamp()) {
    lines_.push_back(
        "sparkplug: the primary host's STATE is not "
        "{\"online\": BOOLEAN, \"timestamp\": MS}: passed over");
    return;
  }
  // A STATE older than the one heeded was overtaken on its way here.
  if (stateHeard_ && state.timestamp() < stateTimestamp_) return;
  stateHeard_ = true;
  stateTimestamp_ = state.timestamp();
  hostOnline_ = state.online();
  if (hostOnline_ && connected_ && !sessionUp_) {
    Births(now);
  } else if (!hostOnline_ && sessionUp_) {
    // The host that would act on our data is gone: the node says it is
    // dead and ends its connection; the next one, with the next bdSeq,
    // waits for the host to be back.
    Message death = *Death();
    death.session = true;
    out_.push_back(std::move(death));
    sessionUp_ = false;
    connected_ = false;
    endConnection_ = true;
  }
}

void SparkplugNode::WarnOfCase(const std::string& mac, Device& device) {
  std::map<std::string, const std::string*> seen;
  for (const auto& [name, metric] : device.metrics) {
    if (!metric.present) continue;
    const auto [found, added] = seen.try_emplace(Folded(name), &name);
    if (added) continue;
    std::pair<std::string, std::string> pair(*found->second, name);
    if (!device.caseWarned.insert(pair).second) continue;
    lines_.push_back("sparkplug: station " + mac + ": points \"" +
                     Utf8OfHostText(pair.first) + "\" and \"" +
                     Utf8OfHostText(pair.second) +
                     "\" differ only in case; a host that reads metric "
                     "names without case takes them for one");
  }
}

}  // namespace pelmora::gateway
