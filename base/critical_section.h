#pragma once

#include <mutex>

namespace sondrix {

// A recursive lock that its holder may take again; Enter/Leave pair like the platform's
// critical sections, and CriticalSectionGuard releases on every exit path.
class TCriticalSection {
public:
  void Enter() { FMutex.lock(); }
  void Leave() { FMutex.unlock(); }
  bool TryEnter() { return FMutex.try_lock(); }

  // BasicLockable, so std::lock_guard / std::unique_lock work too.
  void lock() { FMutex.lock(); }
  void unlock() { FMutex.unlock(); }
  bool try_lock() { return FMutex.try_lock(); }

private:
  std::recursive_mutex FMutex;
};

class CriticalSectionGuard {
public:
  explicit CriticalSectionGuard(TCriticalSection& cs) : FCS(cs) { FCS.Enter(); }
  ~CriticalSectionGuard() { FCS.Leave(); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
  TCriticalSection& FCS;
};

} // namespace sondrix
