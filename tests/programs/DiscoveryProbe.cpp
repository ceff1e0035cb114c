// A process for the discovery and debugger tests to look at: it prints where
// its marker function and its marker text lie, runs a second thread, and
// waits until its standard input is closed. The tests find the marker
// function's line by searching this text for its definition, which must
// stay on one line.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>

extern "C" {
__attribute__((aligned(16))) char qvdiscovery_text[64] = "quorvel discovery probe text 0123456789abcdef";
}

extern "C" __attribute__((noinline, used)) int qvdiscovery_target(int value) {
  return value * 7 + static_cast<int>(qvdiscovery_text[0]);
}  // end qvdiscovery_target

static void* Idle(void*) {
  for (;;) {
    pause();
  }
  return nullptr;
}

int main() {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, Idle, nullptr) != 0) {
    return 2;
  }
  std::printf("function %p\ntext %p\nready\n", reinterpret_cast<void*>(&qvdiscovery_target),
              static_cast<void*>(qvdiscovery_text));
  std::fflush(stdout);
  char byte;
  while (read(0, &byte, 1) > 0) {
  }
  return qvdiscovery_target(0) == 0 ? 1 : 0;
}
