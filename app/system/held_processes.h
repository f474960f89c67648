// Running tool processes held by a pidfd: an exit becomes an event that one
// poll for all of them picks up, and a process id that the system has since
// given to another process is never mistaken for the tool.
#pragma once

#include <string>
#include <vector>

#include "platform.h"

namespace kelvoma::app::system {

class HeldProcesses {
 public:
  explicit HeldProcesses(std::string procRoot) : procRoot_(std::move(procRoot)) {}
  ~HeldProcesses();
  HeldProcesses(const HeldProcesses&) = delete;
  HeldProcesses& operator=(const HeldProcesses&) = delete;

  // Holds exactly these: those already held stay held, the others are let go.
  // A process is held only when it is still the one that was listed (same
  // start time, read after its pidfd was opened) and alive.
  void holdOnly(const std::vector<RunningApplication>& applications);
  // Lets go of those that have ended; whether any had. Never blocks.
  bool dropEnded();
  std::vector<RunningApplication> applications() const;

 private:
  struct Held {
    RunningApplication application;
    int pidfd = -1;  // -1: no pidfd (an old kernel); its stat file is read instead
  };
  static void release(Held& held);
  std::string procRoot_;
  std::vector<Held> held_;
};

}  // namespace kelvoma::app::system
