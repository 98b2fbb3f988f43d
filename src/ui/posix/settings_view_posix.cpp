// The settings dialog as a text form on the host's terminal: the same
// caption, labels and buttons, one command per line.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "ui/settings_dialog.h"

namespace pelmora {
namespace {

class TextFormView : public SettingsView {
 public:
  TextFormView(std::istream& in, std::ostream& out) : in_(in), out_(out) {}

  void AddStation(const std::string& text) override {
    stations_.push_back(text);
  }
  void SelectStation(int index) override { selected_ = index; }
  void SetAddressText(const std::string& text) override {
    address_ = text.substr(0, kAddressFieldChars);
  }
  std::string AddressText() override { return address_; }
  void SetPortText(const std::string& text) override { port_ = text; }
  std::string PortText() override { return port_.substr(0, kPortFieldChars); }

  void Show() {
    out_ << "== " << kDialogCaption << " ==\n" << kStationLabel << '\n';
    for (std::size_t i = 0; i < stations_.size(); ++i) {
      out_ << (static_cast<int>(i) == selected_ ? "  * " : "    ")
           << stations_[i] << '\n';
    }
    out_ << kAddressLabel << ' ' << address_ << '\n'
         << kPortLabel << ' ' << port_ << '\n'
         << "[update] " << kUpdateButton << "  [ok] " << kOkButton
         << "  [cancel] " << kCancelButton << '\n'
         << "addr <address> | port <port> | station <n> | update | ok | cancel"
         << std::endl;
  }

  // Reads one command; false at the end of input.
  bool Next(std::string* verb, std::string* argument) {
    std::string line;
    out_ << "> " << std::flush;
    if (!std::getline(in_, line)) return false;
    std::size_t space = line.find(' ');
    *verb = line.substr(0, space);
    *argument =
        space == std::string::npos ? std::string() : line.substr(space + 1);
    return true;
  }

  int StationCount() const { return static_cast<int>(stations_.size()); }

 private:
  std::istream& in_;
  std::ostream& out_;
  std::vector<std::string> stations_;
  int selected_ = -1;
  std::string address_;
  std::string port_;
};

}  // namespace

void RunSettingsDialog(LinkControl& link, Env& env) {
  SettingsDialog dialog(link, env);
  TextFormView view(std::cin, std::cout);
  dialog.Initialise(view);
  view.Show();
  std::string verb, argument;
  // The end of input counts as Cancel.
  while (view.Next(&verb, &argument)) {
    if (verb == "ok") {
      dialog.Ok(view);
      return;
    }
    if (verb == "cancel") return;
    if (verb == "update") {
      dialog.Update();
    } else if (verb == "addr") {
      view.SetAddressText(argument);
    } else if (verb == "port") {
      view.SetPortText(argument);
    } else if (verb == "station") {
      int index = std::atoi(argument.c_str());
      if (index >= 0 && index < view.StationCount()) view.SelectStation(index);
    }
    view.Show();
  }
}

}  // namespace pelmora
