#pragma once

#include <chrono>

namespace sondrix {

// Wakes a waiting main loop at once: from other threads, and from signal handlers.
class TWakePipe {
public:
  TWakePipe();
  ~TWakePipe();
  TWakePipe(const TWakePipe&) = delete;
  TWakePipe& operator=(const TWakePipe&) = delete;

  // Any thread; async-signal-safe.
  void Notify() const { notify(FWrite); }
  static void notify(int WriteFd);
  int WriteFd() const { return FWrite; }

  // Waits until notified, until Fd (when not negative) has input or has ended, or until Timeout;
  // the notifications are used up. Returns Fd's poll events (0 when it has none).
  short Wait(std::chrono::milliseconds Timeout, int Fd);

private:
  int FRead = -1;
  int FWrite = -1;
};

} // namespace sondrix
