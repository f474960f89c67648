// The network-cost part of the Qt platform: NetworkManager's "Metered"
// property on the system bus, asked asynchronously and kept, so that the
// answer is at hand without ever waiting for the bus.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <string>

#include "platform.h"

namespace kelvoma::app::qt {

class QtNetworkCost : public NetworkCost {
 public:
  // service: the bus name that answers as NetworkManager (tests give their own).
  explicit QtNetworkCost(std::string service = "org.freedesktop.NetworkManager");
  ~QtNetworkCost() override;

  // What NetworkManager last answered: metered when it says yes or guesses
  // yes. Before its first answer, and with no NetworkManager, no system bus
  // or any failure, not metered. Asks again, without waiting for the answer,
  // when no question is under way and the last was asked a few seconds ago.
  bool metered() override;

 private:
  void ask();

  std::string service_;
  QObject replies_;  // the context of the answer under way (QtPlatform is the QObject)
  bool metered_ = false;
  bool asking_ = false;
  QElapsedTimer asked_;
};

}  // namespace kelvoma::app::qt
