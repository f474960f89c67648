#include "bus_services.h"

#include <QCoreApplication>

namespace kelvoma::app::testing {

bool answeringUntil(std::chrono::milliseconds limit, const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (condition()) {
      return true;
    }
  }
  return condition();
}

}  // namespace kelvoma::app::testing
