// A small program whose functions the ELF and DWARF reader tests look up by
// name. The tests find each function's line by searching this text for its
// definition, so the definitions must each stay on one line, and every
// function ends at a line "// end <name>".
#include <cstdio>
#include <cstdlib>

extern "C" __attribute__((noinline)) int qvprobe_add(int a, int b) {
  return a + b;
}  // end qvprobe_add

extern "C" int qvprobe_alias(int a, int b) __attribute__((alias("qvprobe_add")));

extern "C" __attribute__((noinline)) long qvprobe_checksum(const char* text) {
  long sum = 0;
  for (const char* p = text; *p; ++p) {
    sum = sum * 31 + static_cast<unsigned char>(*p);
  }
  return sum;
}  // end qvprobe_checksum

static __attribute__((noinline)) int qvprobe_static_helper(int value) {
  int result = value;
  for (int i = 0; i < value % 7; ++i) {
    result = result * 3 + i;
  }
  return result;
}  // end qvprobe_static_helper

namespace probe {
struct Accumulator {
  long total = 0;
  __attribute__((noinline)) long fold(int value);
};
__attribute__((noinline)) long Accumulator::fold(int value) {
  total += qvprobe_static_helper(value);
  return total;
}  // end fold
}  // namespace probe

#if defined(__x86_64__)
// Hand-written code as assemblers see it: a sized function with an internal
// label, and a function whose size was never declared.
asm(R"(
  .text
  .globl qvprobe_asm_sized
  .type qvprobe_asm_sized, @function
qvprobe_asm_sized:
  movl %edi, %eax
qvprobe_asm_label:
  addl $1, %eax
  ret
  .size qvprobe_asm_sized, .-qvprobe_asm_sized
  .globl qvprobe_asm_unsized
  .type qvprobe_asm_unsized, @function
qvprobe_asm_unsized:
  movl %edi, %eax
  addl $2, %eax
  ret
)");
extern "C" int qvprobe_asm_sized(int);
extern "C" int qvprobe_asm_unsized(int);
#endif

int main(int argc, char** argv) {
  probe::Accumulator accumulator;
  long value = qvprobe_add(argc, 2) + qvprobe_checksum(argv[0]) + accumulator.fold(argc + 5);
#if defined(__x86_64__)
  value += qvprobe_asm_sized(argc) + qvprobe_asm_unsized(argc);
#endif
  std::printf("%ld\n", value);
  return EXIT_SUCCESS;
}
