#pragma once

#include "au_events.h"
#include "base/auto_reset_event.h"

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace sondrix {

class TComponent;
class TAuThread;

enum class TEventType { etOnProgress = 0, etOnDone = 1, etGeneric = 2, etNonGUI = 3 };

struct TEventRecord {
  TEventType _type = TEventType::etGeneric;
  TComponent* Sender = nullptr;
  // DoneEvent, ProgressEvent or GenericEvent, according to _type.
  TNotifyEvent Handler;
  TAuThread* Thread = nullptr; // etOnDone only
  // Set when the sender's events are cleared while this one is being delivered.
  bool Cancelled = false;
  // Non-zero: at most one event of this kind per sender waits in the queue.
  int CoalesceKind = 0;
};
// The kind progress events coalesce under; callers' kinds are positive.
inline constexpr int kProgressCoalesceKind = -1;
using PEventRecord = std::unique_ptr<TEventRecord>;

// The one event thread of the process: queues pipeline events and runs each handler on the
// main thread (or, for the non-GUI kind, itself), one at a time, in queue order, waiting for
// each. Posting never waits for delivery.
class TEventHandler {
public:
  TEventHandler();
  ~TEventHandler(); // ends the thread
  TEventHandler(const TEventHandler&) = delete;
  TEventHandler& operator=(const TEventHandler&) = delete;

  // Coalesced per Sender like PostCoalescedEvent (kind kProgressCoalesceKind).
  void PostOnProgress(TComponent* Sender, TOutputProgressEvent Handler);
  void PostGenericEvent(TComponent* Sender, TGenericEvent Handler);
  // For news whose handler reads the current state (a listener count): a waiting event of
  // Sender with the same Kind (non-zero) is replaced by this one at the back of the queue, so
  // a burst costs one delivery, the queue stays bounded however slow the main thread is, and
  // the kinds are delivered in the order of their latest posts.
  void PostCoalescedEvent(TComponent* Sender, int Kind, TGenericEvent Handler);
  // Queued ahead of everything waiting and run on the event thread itself.
  void PostNonGuiEvent(TComponent* Sender, TNotifyEvent Handler);
  // The handler is taken from the output when the event is delivered.
  void PostOnDone(TComponent* Sender, TAuThread* Thread);
  // Removes every queued event of Sender; a done event of Sender that is waiting for its
  // worker to go idle is dropped too.
  void ClearEvents(TComponent* Sender);
  // New events of Sender are dropped until UnblockEvents; one blocked sender at a time.
  void BlockEvents(TComponent* Sender);
  void UnblockEvents(TComponent* Sender);

  // Where an exception escaping an event handler is reported (delivery goes on). The default
  // writes the message to standard error; the station shows it to the operator.
  using HandlerExceptionHook = std::function<void(const std::string& message)>;
  void SetHandlerExceptionHook(HandlerExceptionHook hook);
  void ReportHandlerException(const std::string& message);
  // Returns once no event of Sender is being delivered; pumps the main thread's waiting calls
  // when called from it. For a sender about to be destroyed.
  void WaitWhileDelivering(TComponent* Sender);

  std::size_t QueuedCount();

private:
  void Execute();
  void AddEvent(PEventRecord record);
  void AddEventFirst(PEventRecord record);
  PEventRecord TakeEvent();
  void Deliver(TEventRecord& record);
  void CallHandler(TEventRecord& record);
  void removeQueued(TComponent* Sender);

  std::deque<PEventRecord> Events;
  std::mutex CS;
  TAutoResetEvent _Evt;
  TEventRecord* CurrentEvent = nullptr;
  std::atomic<TComponent*> FDeliveringSender{nullptr};
  TComponent* BlockedSender = nullptr;
  std::mutex FHookMutex;
  HandlerExceptionHook FHook;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::thread FThread;
};

// The process's event handler, alive while at least one output uses it. Outputs take and give
// back a use; the first use starts the thread, the last one ends it.
TEventHandler* SharedEventHandler();
void AcquireSharedEventHandler();
void ReleaseSharedEventHandler();

} // namespace sondrix
