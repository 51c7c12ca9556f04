#pragma once

#include <functional>

namespace sondrix {

class TComponent;

// Pipeline event handlers take the component the event is about. An empty function counts as
// "not assigned".
using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TOutputDoneEvent = TNotifyEvent;
using TOutputProgressEvent = TNotifyEvent;
using TThreadExceptionEvent = TNotifyEvent;
using TGenericEvent = TNotifyEvent;

} // namespace sondrix
