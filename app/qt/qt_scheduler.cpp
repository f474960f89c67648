#include "qt_scheduler.h"

#include <QCoreApplication>
#include <QThread>
#include <QTime>
#include <chrono>
#include <cmath>
#include <thread>

namespace kelvoma::app::qt {

QtScheduler::QtScheduler() : workers_(new QThreadPool) { workers_->setMaxThreadCount(8); }

QtScheduler::~QtScheduler() {
  // Workers still inside a core call keep the pool alive; the process ends
  // without waiting for them.
  if (!hasRunningWork()) {
    delete workers_;
  }
}

TimerId QtScheduler::scheduleRepeatingTimer(double seconds, TimerModes,
                                            std::function<void()> tick) {
  // Qt timers fire in every loop, a menu's included, so both modes are one here.
  auto timer = std::make_unique<QTimer>();
  timer->setTimerType(Qt::PreciseTimer);
  timer->setInterval(std::chrono::milliseconds(std::llround(seconds * 1000)));
  QObject::connect(timer.get(), &QTimer::timeout, &mainThread_, std::move(tick));
  timer->start();
  const TimerId id = ++lastTimer_;
  timers_[id] = std::move(timer);
  return id;
}

void QtScheduler::invalidateTimer(TimerId timer) { timers_.erase(timer); }

void QtScheduler::runOnMainAfter(double seconds, std::function<void()> work) {
  QTimer::singleShot(std::chrono::milliseconds(std::llround(seconds * 1000)), &mainThread_,
                     std::move(work));
}

void QtScheduler::runOnMain(std::function<void()> work) {
  QMetaObject::invokeMethod(&mainThread_, std::move(work), Qt::QueuedConnection);
}

void QtScheduler::runOnMainAndWait(std::function<void()> work) {
  if (QThread::currentThread() == mainThread_.thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(&mainThread_, std::move(work), Qt::BlockingQueuedConnection);
}

void QtScheduler::runOnWorker(std::function<void()> work) {
  ++runningWork_;
  workers_->start([this, work = std::move(work)] {
    work();
    --runningWork_;
  });
}

void QtScheduler::waitForWorkers() {
  workers_->waitForDone();
  QCoreApplication::sendPostedEvents(&mainThread_);
}

double QtScheduler::uptime() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void QtScheduler::sleepFor(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

LocalTime QtScheduler::localTime() {
  const QTime now = QTime::currentTime();
  return {.hour = now.hour(), .minute = now.minute()};
}

}  // namespace kelvoma::app::qt
