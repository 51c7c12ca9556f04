#include "au_output.h"

#include "au_exception.h"
#include "base/main_thread_dispatcher.h"
#include "event_handler.h"

#include <cmath>
#include <thread>

namespace sondrix {
namespace {

// Rounds to the nearest integer, halves to even.
std::int32_t roundHalfEven(double value) {
  return static_cast<std::int32_t>(std::nearbyint(value));
}

} // namespace

TAuOutput::TAuOutput(TComponent* AOwner) : TComponent(AOwner) {
  AcquireSharedEventHandler();
  Thread = std::make_unique<TAuThread>(this);
}

TAuOutput::~TAuOutput() {
  shutDown();
}

void TAuOutput::BeforeDestruction() {
  shutDown();
}

void TAuOutput::shutDown() {
  if (FShutDown)
    return;
  FShutDown = true;
  Stop(false);
  Thread->Terminate();
  {
    CriticalSectionGuard lock(RunCS);
    Thread->SoftWake();
  }
  Thread->WaitFor();
  SharedEventHandler()->ClearEvents(this);
  SharedEventHandler()->WaitWhileDelivering(this);
  Thread.reset();
  if (FInput != nullptr)
    RemoveFreeNotification(FInput);
  ReleaseSharedEventHandler();
}

void TAuOutput::SetInputValue(TAuInput* Value) {
  auto store = [&] {
    if (FInput != nullptr && FInput != Value)
      RemoveFreeNotification(FInput);
    FInput = Value;
    if (FInput != nullptr)
      FInput->FreeNotification(this);
  };
  if (Busy) {
    Stop(false);
    store();
    Run();
  } else {
    store();
  }
}

void TAuOutput::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == TOperation::opRemove && AComponent == FInput) {
    // The input is half destroyed: stop reading it, then forget it.
    if (Busy)
      Stop(false);
    FInput = nullptr;
  }
  TComponent::Notification(AComponent, Operation);
}

void TAuOutput::Run() {
  CriticalSectionGuard lock(RunCS);
  setExceptionMessage({});
  if (FAborted)
    throw EAuException("The output was aborted and cannot run again");
  if (Busy)
    throw EAuException("Component is Busy");
  if (FInput == nullptr)
    throw EAuException("Input is not assigned");
  Busy = true;
  Thread->Stopped = false;
  // The worker decides to sleep under RunCS too, so either it sees Busy or it is asleep now.
  if (Thread->Sleeping) {
    Thread->Stop = false;
    Thread->SoftWake();
  }
}

void TAuOutput::BlockingRun() {
  // Busy alone would also let the idle worker out of its sleep to run the same chain.
  {
    CriticalSectionGuard lock(RunCS);
    FBlockingRun = true;
    Busy = true;
  }
  struct EndBlocking {
    std::atomic<bool>& flag;
    ~EndBlocking() { flag = false; }
  } endBlocking{FBlockingRun};
  StartOutput();
  CanOutput = true;
  while (WriteBlock(false)) {
  }
  if (Busy) {
    CanOutput = false;
    FinishOutput();
    FStopped = false;
    Busy = false;
  }
}

void TAuOutput::CompleteRun() {
  try {
    if (Busy) {
      CanOutput = false;
      FinishOutput();
      FStopped = false;
      Busy = false;
    }
  } catch (...) {
    // A sink that fails while closing must not keep the output busy for ever.
    Busy = false;
  }
}

void TAuOutput::Stop(bool Async) {
  if (Thread == nullptr)
    return;
  if (Thread->IsWorkerThread())
    throw EAuException("You are trying to stop this thread from the thread itself!");
  FStopped = true;
  // Blocked before the worker can see the stop, so the done event of this run cannot slip
  // into the queue ahead of the block.
  if (!Async) {
    SharedEventHandler()->BlockEvents(this);
    SharedEventHandler()->ClearEvents(this);
  }
  Thread->DoNotify = Async;
  Thread->Stop = true;
  while (Thread->Paused) {
    Thread->SoftWake();
    std::this_thread::yield();
  }
  if (Async)
    return;
  const bool onMain = isMainThread();
  // Busy too: a run just started by Run has not yet left the worker's idle wait.
  while (!((Thread->Sleeping || Thread->Stopped) && !Busy) && !Thread->Terminated()) {
    if (onMain)
      pumpPending();
    std::this_thread::yield();
  }
  SharedEventHandler()->ClearEvents(this);
  SharedEventHandler()->UnblockEvents(this);
  Thread->DoNotify = true;
}

void TAuOutput::Pause() {
  if (FInput == nullptr)
    throw EAuException("Input is not assigned.");
  if (Busy) {
    Thread->SetPause = true;
    Thread->WaitForPause(std::chrono::milliseconds(5000));
    FInput->_Pause();
  }
}

void TAuOutput::Resume() {
  if (!(Busy && Thread->Paused))
    return;
  FInput->_Resume();
  while (Thread->Paused) {
    Thread->SoftWake();
    std::this_thread::yield();
  }
}

void TAuOutput::Abort() {
  if (Thread == nullptr || FAborted)
    return;
  FAborted = true;
  Thread->Terminate();
  Thread->Stop = true;
  {
    CriticalSectionGuard lock(RunCS);
    Thread->SoftWake();
  }
  while (Thread->Paused) {
    Thread->SoftWake();
    std::this_thread::yield();
  }
  Thread->WaitFor();
  CompleteRun();
}

TOutputStatus TAuOutput::Status() const {
  if (!Busy)
    return TOutputStatus::tosIdle;
  return Thread->Paused ? TOutputStatus::tosPaused : TOutputStatus::tosPlaying;
}

std::int32_t TAuOutput::Progress() const {
  if (FInput == nullptr)
    return 0;
  const std::int64_t size = FInput->Size();
  if (size == -1)
    return -1;
  if (size == 0)
    return 0;
  return roundHalfEven(static_cast<double>(FInput->Position()) * 100.0 / static_cast<double>(size));
}

std::int32_t TAuOutput::TimeElapsed() const {
  if (FInput == nullptr)
    return 0;
  const double bytesPerSecond =
      static_cast<double>(FInput->BitsPerSample() / 8) * FInput->Channels() * FInput->SampleRate();
  if (bytesPerSecond <= 0)
    return 0;
  return roundHalfEven(static_cast<double>(FInput->Position()) / bytesPerSecond);
}

std::int32_t TAuOutput::Delay() const {
  return Thread ? Thread->Delay.load() : 0;
}

void TAuOutput::SetDelay(std::int32_t value) {
  if (Thread && value <= 100)
    Thread->Delay = value;
}

TThreadPriority TAuOutput::ThreadPriority() const {
  return Thread ? Thread->Priority() : TThreadPriority::tpNormal;
}

void TAuOutput::SetThreadPriority(TThreadPriority value) {
  if (Thread)
    Thread->SetPriority(value);
}

std::string TAuOutput::ExceptionMessage() const {
  std::lock_guard lock(FMessageMutex);
  return FExceptionMessage;
}

void TAuOutput::setExceptionMessage(const std::string& message) {
  std::lock_guard lock(FMessageMutex);
  FExceptionMessage = message;
}

} // namespace sondrix
