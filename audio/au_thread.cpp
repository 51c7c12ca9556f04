#include "au_thread.h"

#include "au_output.h"
#include "event_handler.h"

#include <exception>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sondrix {

TAuThread::TAuThread(TAuOutput* AParent) : Parent(AParent) {
  FThread = std::thread([this] { Execute(); });
}

TAuThread::~TAuThread() {
  WaitFor();
}

void TAuThread::WaitFor() {
  if (FThread.joinable() && !IsWorkerThread())
    FThread.join();
}

void TAuThread::SetPriority(TThreadPriority value) {
  FPriority = value;
  applyPriority();
}

void TAuThread::applyPriority() {
  const int tid = FTid;
  if (tid == 0)
    return;
  static constexpr int kNice[] = {19, 10, 5, 0, -5, -10, -15};
  // Raising priority needs privileges; staying at the old level is the best effort here.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNice[static_cast<int>(FPriority.load())]);
}

void TAuThread::SoftSleep() {
  // A wake meant for a pause or a stop can arrive late; only a Run (Busy) or the end of the
  // thread lets the worker out of its sleep.
  for (;;) {
    {
      CriticalSectionGuard lock(Parent->RunCS);
      if ((Parent->Busy && !Parent->FBlockingRun) || FTerminated) {
        Sleeping = false;
        return;
      }
      if (!Sleeping) {
        SoftSleepEvent.ResetEvent();
        Stopped = true;
        Sleeping = true;
      }
    }
    SoftSleepEvent.Wait();
  }
}

void TAuThread::SoftPause() {
  SoftSleepEvent.ResetEvent();
  Paused = true;
  PauseEvent.SetEvent();
  // A stop that came before Paused was visible would never wake us.
  if (!Stop)
    SoftSleepEvent.Wait();
  Paused = false;
}

void TAuThread::Execute() {
  FTid = static_cast<int>(::syscall(SYS_gettid));
  applyPriority();
  SoftSleep();
  TAuOutput& out = *Parent;
  while (!FTerminated) {
    try {
      out.StartOutput();
      bool res = true;
      out.CanOutput = true;
      SetPause = false;
      Paused = false;
      PauseEvent.ResetEvent();
      while (res && !Stop) {
        const std::int32_t delay = Delay;
        if (delay > 5)
          std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        const std::int32_t progress = out.Progress();
        if (progress != out.CurProgr) {
          out.CurProgr = progress;
          if (out.OnProgress)
            SharedEventHandler()->PostOnProgress(&out, out.OnProgress);
        }
        if (SetPause) {
          SetPause = false;
          SoftPause();
        }
        res = out.WriteBlock(Stop);
      }
      Stop = false;
    } catch (const std::exception& e) {
      out.setExceptionMessage(e.what());
      if (out.OnThreadException)
        SharedEventHandler()->PostGenericEvent(&out, out.OnThreadException);
      Stop = true;
    }
    out.CompleteRun();
    if (out.OnSyncDone) {
      try {
        out.OnSyncDone(&out);
      } catch (const std::exception& e) {
        SharedEventHandler()->ReportHandlerException(e.what());
      }
    }
    SharedEventHandler()->PostOnDone(&out, this);
    if (FTerminated)
      break;
    SoftSleep();
  }
  Stopped = true;
}

} // namespace sondrix
