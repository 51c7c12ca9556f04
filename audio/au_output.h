#pragma once

#include "au_events.h"
#include "au_input.h"
#include "au_thread.h"
#include "base/component.h"
#include "base/critical_section.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace sondrix {

enum class TOutputStatus { tosPlaying = 0, tosPaused = 1, tosIdle = 2 };

// The sink end of a pipeline. It owns a worker thread that runs StartOutput, WriteBlock until
// the data ends or a stop is asked for, then FinishOutput; failures on the worker are caught,
// kept in ExceptionMessage and reported as events. All public calls are made from the main
// thread; events reach the main thread through the shared event handler.
//
// Create outputs with an owner or MakeComponent, so the worker is stopped while the concrete
// output is still whole.
class TAuOutput : public TComponent {
public:
  explicit TAuOutput(TComponent* AOwner = nullptr);
  ~TAuOutput() override;

  TAuInput* Input() const { return FInput; }
  // While a run is going, stops it (waiting), swaps the input and runs again.
  void SetInput(TAuInput* Value) { SetInputValue(Value); }

  // Starts a run on the worker and returns at once.
  void Run();
  // A whole run on the caller's thread; no events, exceptions reach the caller.
  void BlockingRun();
  // Async: returns at once, OnDone follows. Otherwise waits for the worker to go idle and no
  // OnDone is delivered for this run.
  void Stop(bool Async = true);
  void Pause();
  void Resume();
  // Ends the worker for good (cooperatively: it is woken and joined), then completes the run
  // here. The output cannot run again.
  void Abort();

  TOutputStatus Status() const;
  std::int32_t Progress() const;
  std::int32_t TimeElapsed() const;
  std::int32_t Delay() const;
  // Milliseconds slept before each block (above 5); values over 100 are ignored.
  void SetDelay(std::int32_t value);
  TThreadPriority ThreadPriority() const;
  void SetThreadPriority(TThreadPriority value);
  std::string ExceptionMessage() const;
  bool Stopped() const { return FStopped; }
  bool IsBusy() const { return Busy; }

  TOutputDoneEvent OnDone;
  TOutputDoneEvent OnSyncDone; // called on the worker thread
  TOutputProgressEvent OnProgress;
  TThreadExceptionEvent OnThreadException;

protected:
  virtual void SetInputValue(TAuInput* Value);
  // Move one block from Input to the sink; true to be called again, false when the run is over.
  // With Abort true, write nothing and return false.
  virtual bool WriteBlock(bool Abort) = 0;
  // Once after the last block, also after a failed start: flush Input, close the sink.
  virtual void FinishOutput() = 0;
  // Once before the first block: Init Input, open the sink, size the block buffer.
  virtual void StartOutput() = 0;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void BeforeDestruction() override;

  std::atomic<bool> FStopped{false};
  std::atomic<bool> CanOutput{false};
  std::atomic<std::int32_t> CurProgr{0};
  std::unique_ptr<TAuThread> Thread;
  TAuInput* FInput = nullptr;
  std::atomic<bool> Busy{false};
  TCriticalSection RunCS;

private:
  friend class TAuThread;
  friend class TEventHandler;
  void CompleteRun();
  void shutDown();
  void setExceptionMessage(const std::string& message);

  mutable std::mutex FMessageMutex;
  std::string FExceptionMessage;
  std::atomic<bool> FAborted{false};
  // A run on the caller's thread is going: the worker must stay asleep.
  std::atomic<bool> FBlockingRun{false};
  bool FShutDown = false;
};

} // namespace sondrix
