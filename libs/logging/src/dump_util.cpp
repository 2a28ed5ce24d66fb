// Crash handlers. What runs inside a signal handler is limited to async-signal-safe calls: open,
// read, write, close, getpid, time, sigaction, raise, and boost::stacktrace's safe dump (which
// walks the stack with the unwinder and allocates nothing). Everything else (dates, symbol names)
// is left to the reader in crash_dump_reader.cpp.
#include <logging/dump_util.h>

#include "crash_dump_format_p.h"

#include <logging/logging.h>
#include <logging/private_files.h>

#include <QCoreApplication>

#include <boost/core/demangle.hpp>
#include <boost/stacktrace/safe_dump_to.hpp>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <exception>
#include <typeinfo>

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

namespace dump_util {
namespace {

using namespace detail;

constexpr int kFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
constexpr std::size_t kMaxFrames = 128;
// Big enough for the handler and the unwinder when the thread's own stack is exhausted.
constexpr std::size_t kAlternateStackSize = 256 * 1024;

// Everything the handler needs is prepared by InitDumps in fixed buffers, so the handler neither
// allocates nor formats anything but numbers.
char g_folder[PATH_MAX];
char g_version[128];
char g_program[PATH_MAX];
char g_exceptionText[2048];
std::atomic<bool> g_exceptionPending{false};
std::atomic<bool> g_crashing{false};
alignas(16) char g_alternateStack[kAlternateStackSize];

void CopyText(char* target, std::size_t capacity, const std::string& text) {
    const std::size_t length = std::min(text.size(), capacity - 1);
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

// Signal-safe text output into a file descriptor.
class SafeWriter {
public:
    explicit SafeWriter(int fd) : m_fd(fd) {}

    void text(const char* value) {
        std::size_t length = std::strlen(value);
        while (length > 0) {
            const ssize_t written = ::write(m_fd, value, length);
            if (written <= 0) {
                return;
            }
            value += written;
            length -= static_cast<std::size_t>(written);
        }
    }

    void number(unsigned long long value, unsigned base) {
        char digits[32];
        char* position = digits + sizeof(digits);
        *--position = '\0';
        do {
            *--position = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        if (base == 16) {
            *--position = 'x';
            *--position = '0';
        }
        text(position);
    }

    void line(const char* key, const char* value) {
        text(key);
        text(" ");
        text(value);
        text("\n");
    }

    void line(const char* key, unsigned long long value) {
        text(key);
        text(" ");
        number(value, 10);
        text("\n");
    }

    void copyFile(const char* path) {
        const int source = ::open(path, O_RDONLY | O_CLOEXEC);
        if (source < 0) {
            return;
        }
        char buffer[4096];
        ssize_t count = 0;
        while ((count = ::read(source, buffer, sizeof(buffer))) > 0) {
            if (::write(m_fd, buffer, static_cast<std::size_t>(count)) != count) {
                break;
            }
        }
        ::close(source);
    }

private:
    int m_fd;
};

// Builds "<folder>/crash-<seconds>-<pid>.dump" without allocating.
void DumpPath(char* path, std::size_t capacity, long long seconds, long long pid) {
    char numbers[64];
    char* position = numbers + sizeof(numbers);
    *--position = '\0';
    const auto prepend = [&position](long long value) {
        do {
            *--position = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
    };
    const std::size_t suffixLength = std::strlen(kDumpFileSuffix);
    position -= suffixLength;
    std::memcpy(position, kDumpFileSuffix, suffixLength);
    prepend(pid);
    *--position = '-';
    prepend(seconds);
    path[0] = '\0';
    std::strncat(path, g_folder, capacity - 1);
    std::strncat(path, "/", capacity - std::strlen(path) - 1);
    std::strncat(path, kDumpFilePrefix, capacity - std::strlen(path) - 1);
    std::strncat(path, position, capacity - std::strlen(path) - 1);
}

// Where the signal interrupted the thread, read from the context the kernel saved.
unsigned long long InterruptedAddress(const void* context) {
    const auto* user = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<unsigned long long>(user->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<unsigned long long>(user->uc_mcontext.pc);
#else
    (void)user;
    return 0;
#endif
}

void WriteDump(int signalNumber, const void* context) {
    void* frames[kMaxFrames + 1];
    // Skips this function; the handler, the signal trampoline and the crashing frame follow.
    const std::size_t stored = boost::stacktrace::safe_dump_to(1, frames, sizeof(frames));
    const std::time_t now = std::time(nullptr);
    const pid_t pid = ::getpid();

    char path[PATH_MAX + 64];
    DumpPath(path, sizeof(path), static_cast<long long>(now), pid);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    SafeWriter writer(fd);
    writer.text(kDumpHeader);
    writer.text("\n");
    writer.line(kKeyTime, static_cast<unsigned long long>(now));
    writer.line(kKeyPid, static_cast<unsigned long long>(pid));
    writer.line(kKeySignal, static_cast<unsigned long long>(signalNumber));
    writer.text(kKeyInterruptedAt);
    writer.text(" ");
    writer.number(InterruptedAddress(context), 16);
    writer.text("\n");
    writer.line(kKeyVersion, g_version);
    writer.line(kKeyProgram, g_program);
    if (g_exceptionPending.load()) {
        writer.line(kKeyException, g_exceptionText);
    }
    writer.text(kSectionFrames);
    writer.text("\n");
    for (std::size_t index = 0; index < stored && frames[index] != nullptr; ++index) {
        writer.number(reinterpret_cast<unsigned long long>(frames[index]), 16);
        writer.text("\n");
    }
    writer.text(kSectionMaps);
    writer.text("\n");
    writer.copyFile("/proc/self/maps");
    ::close(fd);
}

void RestoreDefaultAndReraise(int signalNumber) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signalNumber, &action, nullptr);
    // The signal stays blocked until the handler returns; then it kills the process with its own
    // status. A fault would recur anyway when the faulting instruction runs again.
    ::raise(signalNumber);
}

void OnFatalSignal(int signalNumber, siginfo_t*, void* context) {
    // Only the first crashing thread writes; others wait for the process to die.
    if (g_crashing.exchange(true)) {
        for (;;) {
            ::pause();
        }
    }
    WriteDump(signalNumber, context);
    RestoreDefaultAndReraise(signalNumber);
}

std::string DescribeCurrentException() {
    const std::exception_ptr current = std::current_exception();
    if (!current) {
        return "std::terminate called without an active exception";
    }
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& error) {
        return "uncaught " + boost::core::demangle(typeid(error).name()) + ": " + error.what();
    } catch (...) {
        return "uncaught exception of an unknown type";
    }
}

[[noreturn]] void OnTerminate() {
    std::string description = DescribeCurrentException();
    for (char& character : description) {
        if (character == '\n' || character == '\r') {
            character = ' ';
        }
    }
    CopyText(g_exceptionText, sizeof(g_exceptionText), description);
    g_exceptionPending.store(true);
    // The SIGABRT handler writes the report, with the exception's text.
    std::abort();
}

void InstallAlternateStack() {
    stack_t stack{};
    stack.ss_sp = g_alternateStack;
    stack.ss_size = sizeof(g_alternateStack);
    stack.ss_flags = 0;
    if (::sigaltstack(&stack, nullptr) != 0) {
        KELVO_LOG(logging::kWarning)
            << L"cannot install the alternate signal stack: " << std::strerror(errno);
    }
}

std::string ProgramVersion() {
    const QString fromApplication = QCoreApplication::applicationVersion();
    return fromApplication.isEmpty() ? std::string(KELVO_VERSION) : fromApplication.toStdString();
}

std::string ProgramPath() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string("unknown") : path.string();
}

}  // namespace

void InitDumps(const std::filesystem::path& folder) {
    std::error_code error;
    private_files::CreateFolders(folder, error);
    if (error) {
        KELVO_LOG(logging::kError)
            << L"cannot create the crash report folder " << logging::PathText(folder) << L": "
            << QString::fromStdString(error.message()).toStdWString();
    }
    // A crash report is a help, never a reason not to start.
    try {
        SymbolizePendingDumps(folder);
    } catch (const std::exception& failure) {
        KELVO_LOG(logging::kError)
            << L"cannot read the crash dumps in " << logging::PathText(folder) << L": "
            << QString::fromUtf8(failure.what()).toStdWString();
    } catch (...) {
        KELVO_LOG(logging::kError)
            << L"cannot read the crash dumps in " << logging::PathText(folder);
    }

    CopyText(g_folder, sizeof(g_folder), std::filesystem::absolute(folder, error).string());
    CopyText(g_version, sizeof(g_version), ProgramVersion());
    CopyText(g_program, sizeof(g_program), ProgramPath());
    InstallAlternateStack();

    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : kFatalSignals) {
        sigaddset(&action.sa_mask, signalNumber);
    }
    action.sa_flags = SA_ONSTACK | SA_SIGINFO;
    for (const int signalNumber : kFatalSignals) {
        ::sigaction(signalNumber, &action, nullptr);
    }
    std::set_terminate(OnTerminate);
}

}  // namespace dump_util
