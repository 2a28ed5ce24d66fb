// Crashes in the way its first argument names, after dump_util::InitDumps(<second argument>);
// "symbolize" only runs InitDumps, which turns earlier dumps into reports, and exits normally.
#include <logging/dump_util.h>

#include <QCoreApplication>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/mman.h>

namespace {

volatile int g_zero = 0;

[[gnu::noinline]] void CrashByInvalidMemoryAccess() {
    // Taken from a volatile, so the compiler cannot see (and replace) the null store.
    volatile int* nowhere = reinterpret_cast<volatile int*>(static_cast<std::uintptr_t>(g_zero));
    *nowhere = 42;
}

[[gnu::noinline]] void CrashByAbort() {
    std::abort();
}

[[gnu::noinline]] int CrashByDivisionByZero() {
    return 7 / g_zero;
}

[[gnu::noinline]] void CrashByIllegalInstruction() {
    __builtin_trap();
}

// Reading a mapped page beyond the end of its file is a bus error.
[[gnu::noinline]] int CrashByBusError() {
    std::FILE* empty = std::tmpfile();
    void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(empty), 0);
    return static_cast<volatile char*>(page)[0];
}

[[gnu::noinline]] void ThrowUncaughtError() {
    throw std::runtime_error("the disk went away");
}

[[gnu::noinline]] int OverflowTheStack(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (g_zero != 0) {
        return depth;
    }
    // Not a tail call: the addition after it keeps every frame alive.
    return OverflowTheStack(depth + 1) + frame[0];
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        return 2;
    }
    QCoreApplication::setApplicationVersion("9.8.7-crash-test");
    dump_util::InitDumps(argv[2]);
    const std::string mode = argv[1];
    if (mode == "segv") {
        CrashByInvalidMemoryAccess();
    } else if (mode == "abort") {
        CrashByAbort();
    } else if (mode == "fpe") {
        return CrashByDivisionByZero();
    } else if (mode == "ill") {
        CrashByIllegalInstruction();
    } else if (mode == "bus") {
        return CrashByBusError();
    } else if (mode == "exception") {
        ThrowUncaughtError();
    } else if (mode == "overflow") {
        return OverflowTheStack(0);
    } else if (mode == "symbolize") {
        return 0;
    }
    return 3;
}
