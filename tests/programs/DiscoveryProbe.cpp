// A process for the discovery and debugger tests to look at: it takes the
// name given as its argument (if any), prints where its marker function and
// its marker text lie and the id of a second thread it runs, and waits until
// its standard input is closed. The tests find the marker function's line by
// searching this text for its definition, which must stay on one line.
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

extern "C" {
__attribute__((aligned(16))) char qvdiscovery_text[64] = "quorvel discovery probe text 0123456789abcdef";
}

extern "C" __attribute__((noinline, used)) int qvdiscovery_target(int value) {
  return value * 7 + static_cast<int>(qvdiscovery_text[0]);
}  // end qvdiscovery_target

static long g_idleTid = 0;

static void* Idle(void*) {
  __atomic_store_n(&g_idleTid, static_cast<long>(syscall(SYS_gettid)), __ATOMIC_SEQ_CST);
  for (;;) {
    pause();
  }
  return nullptr;
}

int main(int argc, char** argv) {
  // Named before the thread starts, which takes the name over.
  if (argc > 1) {
    prctl(PR_SET_NAME, argv[1], 0, 0, 0);
  }
  pthread_t thread;
  if (pthread_create(&thread, nullptr, Idle, nullptr) != 0) {
    return 2;
  }
  while (__atomic_load_n(&g_idleTid, __ATOMIC_SEQ_CST) == 0) {
    usleep(1000);
  }
  std::printf("function %p\ntext %p\nthread %ld\nready\n", reinterpret_cast<void*>(&qvdiscovery_target),
              static_cast<void*>(qvdiscovery_text), g_idleTid);
  std::fflush(stdout);
  char byte;
  while (read(0, &byte, 1) > 0) {
  }
  return qvdiscovery_target(0) == 0 ? 1 : 0;
}
