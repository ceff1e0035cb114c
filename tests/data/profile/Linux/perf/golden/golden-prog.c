/* A program without a C library, so that its recordings name only code
   that is checked in beside them. */
typedef unsigned long u64;

static long sys3(long n, long a, long b, long c) {
  long r;
  __asm__ volatile("syscall" : "=a"(r) : "a"(n), "D"(a), "S"(b), "d"(c) : "rcx", "r11", "memory");
  return r;
}

volatile u64 sink;

__attribute__((noinline)) void leaf(u64 n) {
  for (u64 i = 0; i < n; ++i) sink += i * i;
}

__attribute__((noinline)) void middle(u64 n) {
  leaf(n);
  leaf(n / 2);
}

__attribute__((noinline)) void outer(u64 n) { middle(n); }

__attribute__((noinline)) void writes(int count) {
  static const char text[] = "x";
  for (int i = 0; i < count; ++i) sys3(1, 1, (long)text, 1);
}

__attribute__((noinline)) void naps(int count) {
  struct { long sec, nsec; } pause = {0, 2000000};
  for (int i = 0; i < count; ++i) sys3(35, (long)&pause, 0, 0);
}

void _start(void) {
  outer(6000000);
  writes(5);
  naps(3);
  outer(3000000);
  sys3(60, 0, 0, 0);
  for (;;) {}
}
