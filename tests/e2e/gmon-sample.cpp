// A small program built with profiling: its gmon.out is what a target sends.
#include <cstdio>

namespace {

volatile unsigned long sink;

__attribute__((noinline)) unsigned long mix(unsigned long x) {
    for (int i = 0; i < 2000; ++i) x = x * 6364136223846793005ul + 1442695040888963407ul;
    return x;
}

__attribute__((noinline)) unsigned long fold(unsigned long x) {
    for (int i = 0; i < 1000; ++i) x ^= x >> 7 ^ x << 9;
    return x;
}

}  // namespace

int main() {
    unsigned long x = 1;
    for (int round = 0; round < 40000; ++round) x = fold(mix(x));
    sink = x;
    std::printf("%lu\n", x & 0xff);
    return 0;
}
