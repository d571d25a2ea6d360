#include "platform/thread/clock.h"

#include <chrono>
#include <thread>

ULONGLONG GetTickCount() {
  using namespace std::chrono;
  return ULONGLONG(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
