#pragma once

#include "base/auto_reset_event.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace sondrix {

class TAuOutput;

// Scheduling levels for an output's worker; applied best effort (nice values of the thread).
enum class TThreadPriority {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

// The worker of one output: sleeps while idle, and for each run calls the output's start step,
// its block step until the data ends or a stop is asked for, then its finish step. The flags
// are written by one side and polled by the other.
class TAuThread {
public:
  explicit TAuThread(TAuOutput* Parent);
  ~TAuThread(); // joins; Terminate and wake it first
  TAuThread(const TAuThread&) = delete;
  TAuThread& operator=(const TAuThread&) = delete;

  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  // Waits for the thread function to return.
  void WaitFor();
  bool IsWorkerThread() const { return std::this_thread::get_id() == FThread.get_id(); }

  // Releases the idle or pause wait.
  void SoftWake() { SoftSleepEvent.SetEvent(); }
  // Waits up to timeout for the worker to confirm a pause.
  bool WaitForPause(std::chrono::milliseconds timeout) { return PauseEvent.WaitFor(timeout); }

  TThreadPriority Priority() const { return FPriority; }
  void SetPriority(TThreadPriority value);

  TAutoResetEvent PauseEvent;
  TAutoResetEvent SoftSleepEvent;
  std::atomic<bool> DoNotify{true};
  std::atomic<bool> Stopped{false};
  TAuOutput* const Parent;
  std::atomic<bool> Stop{false};
  std::atomic<bool> SetPause{false};
  std::atomic<bool> Paused{false};
  std::atomic<std::int32_t> Delay{0};
  std::atomic<bool> Sleeping{false};

private:
  friend class TAuOutput;
  void Execute();
  // Idle wait; the decision to sleep is taken under the output's RunCS so a Run cannot slip
  // between "no new run" and the wait.
  void SoftSleep();
  void SoftPause();
  void applyPriority();

  std::atomic<bool> FTerminated{false};
  std::atomic<TThreadPriority> FPriority{TThreadPriority::tpNormal};
  std::atomic<int> FTid{0};
  std::thread FThread;
};

} // namespace sondrix
