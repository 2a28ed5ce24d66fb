#include <win_compat/console_control.h>

#include <logging/logging.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The signal handler only writes the signal number into this pipe; a dispatcher thread reads it
// and runs the handlers outside of signal context.
int g_signalPipe[2] = {-1, -1};

std::mutex g_handlersMutex;
std::vector<PHANDLER_ROUTINE>& handlers() {
    static std::vector<PHANDLER_ROUTINE> list;
    return list;
}

DWORD controlEventFor(int signalNumber) {
    switch (signalNumber) {
        case SIGINT:
            return CTRL_C_EVENT;
        case SIGHUP:
            return CTRL_CLOSE_EVENT;
        default:
            return CTRL_SHUTDOWN_EVENT;
    }
}

void onSignal(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

void dispatchSignals() {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t count = ::read(g_signalPipe[0], &byte, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;
        }
        std::vector<PHANDLER_ROUTINE> chain;
        {
            std::lock_guard<std::mutex> lock(g_handlersMutex);
            chain.assign(handlers().rbegin(), handlers().rend());
        }
        const DWORD event = controlEventFor(byte);
        const bool handled =
            std::any_of(chain.begin(), chain.end(),
                        [event](PHANDLER_ROUTINE handler) { return handler(event); });
        if (!handled) {
            // Nobody took it: the signal's default effect, as if no handler had been installed.
            std::signal(byte, SIG_DFL);
            std::raise(byte);
        }
    }
}

bool startDispatcher() {
    if (::pipe2(g_signalPipe, O_CLOEXEC) != 0) {
        KELVO_LOG(logging::kError) << L"Cannot create the signal pipe, errno " << errno;
        return false;
    }
    std::thread(dispatchSignals).detach();
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGINT, SIGHUP, SIGTERM}) {
        ::sigaction(signalNumber, &action, nullptr);
    }
    return true;
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    static const bool dispatcherStarted = startDispatcher();
    if (!dispatcherStarted || HandlerRoutine == nullptr) {
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_handlersMutex);
    auto& list = handlers();
    if (Add) {
        list.push_back(HandlerRoutine);
        return TRUE;
    }
    const auto found = std::find(list.rbegin(), list.rend(), HandlerRoutine);
    if (found == list.rend()) {
        return FALSE;
    }
    list.erase(std::next(found).base());
    return TRUE;
}
