// The network-cost part of the Qt platform: NetworkManager's "Metered"
// property, read on the system bus each time it is asked.
#pragma once

#include <string>

#include "platform.h"

namespace kelvoma::app::qt {

class QtNetworkCost : public NetworkCost {
 public:
  // service: the bus name that answers as NetworkManager (tests give their own).
  explicit QtNetworkCost(std::string service = "org.freedesktop.NetworkManager");

  // Metered when NetworkManager says yes or guesses yes; no NetworkManager,
  // no system bus, or any other answer reads as not metered.
  bool metered() override;

 private:
  std::string service_;
};

}  // namespace kelvoma::app::qt
