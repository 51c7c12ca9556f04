#include "event_handler.h"

#include "au_output.h"
#include "base/main_thread_dispatcher.h"

#include <algorithm>
#include <exception>
#include <iostream>

namespace sondrix {

TEventHandler::TEventHandler() {
  FThread = std::thread([this] { Execute(); });
}

TEventHandler::~TEventHandler() {
  FTerminated = true;
  _Evt.SetEvent();
  // A delivery in progress may be waiting for the main thread; keep serving it until the
  // thread has left its loop.
  const bool onMain = isMainThread();
  while (!FFinished) {
    if (onMain)
      mainThreadDispatcher().waitAndPump(std::chrono::milliseconds(5));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (FThread.joinable())
    FThread.join();
}

void TEventHandler::AddEvent(PEventRecord record) {
  {
    std::lock_guard lock(CS);
    if (BlockedSender != nullptr && record->Sender == BlockedSender)
      return;
    if (record->CoalesceKind != 0) {
      const auto same = std::find_if(Events.begin(), Events.end(), [&](const PEventRecord& r) {
        return r->Sender == record->Sender && r->CoalesceKind == record->CoalesceKind;
      });
      if (same != Events.end())
        Events.erase(same);
    }
    Events.push_back(std::move(record));
  }
  _Evt.SetEvent();
}

void TEventHandler::AddEventFirst(PEventRecord record) {
  {
    std::lock_guard lock(CS);
    if (BlockedSender != nullptr && record->Sender == BlockedSender)
      return;
    Events.push_front(std::move(record));
  }
  _Evt.SetEvent();
}

PEventRecord TEventHandler::TakeEvent() {
  std::lock_guard lock(CS);
  if (Events.empty())
    return nullptr;
  PEventRecord record = std::move(Events.front());
  Events.pop_front();
  FDeliveringSender = record->Sender;
  CurrentEvent = record.get();
  return record;
}

void TEventHandler::PostOnProgress(TComponent* Sender, TOutputProgressEvent Handler) {
  auto record = std::make_unique<TEventRecord>(
      TEventRecord{TEventType::etOnProgress, Sender, std::move(Handler), nullptr});
  // The handler reads the progress when it runs: one waiting event per output is enough, and a
  // slow main thread cannot make the queue grow.
  record->CoalesceKind = kProgressCoalesceKind;
  AddEvent(std::move(record));
}

void TEventHandler::PostGenericEvent(TComponent* Sender, TGenericEvent Handler) {
  AddEvent(std::make_unique<TEventRecord>(
      TEventRecord{TEventType::etGeneric, Sender, std::move(Handler), nullptr}));
}

void TEventHandler::PostCoalescedEvent(TComponent* Sender, int Kind, TGenericEvent Handler) {
  auto record = std::make_unique<TEventRecord>(
      TEventRecord{TEventType::etGeneric, Sender, std::move(Handler), nullptr});
  record->CoalesceKind = Kind;
  AddEvent(std::move(record));
}

void TEventHandler::PostNonGuiEvent(TComponent* Sender, TNotifyEvent Handler) {
  AddEventFirst(std::make_unique<TEventRecord>(
      TEventRecord{TEventType::etNonGUI, Sender, std::move(Handler), nullptr}));
}

void TEventHandler::PostOnDone(TComponent* Sender, TAuThread* Thread) {
  AddEvent(std::make_unique<TEventRecord>(TEventRecord{TEventType::etOnDone, Sender, {}, Thread}));
}

void TEventHandler::ClearEvents(TComponent* Sender) {
  std::lock_guard lock(CS);
  if (CurrentEvent != nullptr && CurrentEvent->Sender == Sender)
    CurrentEvent->Cancelled = true;
  removeQueued(Sender);
}

void TEventHandler::removeQueued(TComponent* Sender) {
  Events.erase(std::remove_if(Events.begin(), Events.end(),
                              [&](const PEventRecord& r) { return r->Sender == Sender; }),
               Events.end());
}

void TEventHandler::BlockEvents(TComponent* Sender) {
  std::lock_guard lock(CS);
  BlockedSender = Sender;
}

void TEventHandler::UnblockEvents(TComponent*) {
  std::lock_guard lock(CS);
  BlockedSender = nullptr;
}

std::size_t TEventHandler::QueuedCount() {
  std::lock_guard lock(CS);
  return Events.size();
}

void TEventHandler::SetHandlerExceptionHook(HandlerExceptionHook hook) {
  std::lock_guard lock(FHookMutex);
  FHook = std::move(hook);
}

void TEventHandler::ReportHandlerException(const std::string& message) {
  HandlerExceptionHook hook;
  {
    std::lock_guard lock(FHookMutex);
    hook = FHook;
  }
  if (hook) {
    try {
      hook(message);
      return;
    } catch (...) {
      // The hook itself failed: fall back to standard error below.
    }
  }
  std::cerr << "Event handler failed: " << message << std::endl;
}

void TEventHandler::WaitWhileDelivering(TComponent* Sender) {
  const bool onMain = isMainThread();
  while (FDeliveringSender == Sender) {
    if (onMain)
      pumpPending();
    std::this_thread::yield();
  }
}

void TEventHandler::CallHandler(TEventRecord& record) {
  try {
    record.Handler(record.Sender);
  } catch (const std::exception& e) {
    ReportHandlerException(e.what());
  } catch (...) {
    ReportHandlerException("unknown exception");
  }
}

void TEventHandler::Deliver(TEventRecord& record) {
  switch (record._type) {
  case TEventType::etOnDone: {
    auto* output = static_cast<TAuOutput*>(record.Sender);
    // The worker posts this just before it goes idle; deliver once it has.
    while (!record.Thread->Sleeping && !record.Thread->Terminated())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    {
      std::lock_guard lock(CS);
      removeQueued(output);
      if (record.Cancelled)
        break;
    }
    if (output->OnDone && record.Thread->DoNotify) {
      record.Handler = output->OnDone;
      runOnMainThreadAndWait([&] { CallHandler(record); });
    }
    break;
  }
  case TEventType::etNonGUI:
    CallHandler(record);
    break;
  case TEventType::etOnProgress:
  case TEventType::etGeneric:
    runOnMainThreadAndWait([&] { CallHandler(record); });
    break;
  }
}

void TEventHandler::Execute() {
  while (!FTerminated) {
    while (PEventRecord record = TakeEvent()) {
      Deliver(*record);
      std::lock_guard lock(CS);
      CurrentEvent = nullptr;
      FDeliveringSender = nullptr;
    }
    _Evt.WaitFor(std::chrono::milliseconds(100));
  }
  FFinished = true;
}

namespace {

std::mutex gSharedMutex;
std::unique_ptr<TEventHandler> gShared;
int gSharedUses = 0;

} // namespace

TEventHandler* SharedEventHandler() {
  std::lock_guard lock(gSharedMutex);
  return gShared.get();
}

void AcquireSharedEventHandler() {
  mainThreadDispatcher(); // the first caller's thread is the main thread of the default one
  std::lock_guard lock(gSharedMutex);
  if (gSharedUses++ == 0)
    gShared = std::make_unique<TEventHandler>();
}

void ReleaseSharedEventHandler() {
  std::unique_ptr<TEventHandler> last;
  {
    std::lock_guard lock(gSharedMutex);
    if (--gSharedUses == 0)
      last = std::move(gShared);
  }
  // Joined outside the lock: a handler still being delivered may look the handler up.
  last.reset();
}

} // namespace sondrix
