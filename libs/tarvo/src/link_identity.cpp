#include "link_identity.h"

#include "text_codec.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

namespace tarvo::detail {

namespace {

std::string HostName() {
    char buffer[256] = {};
    if (::gethostname(buffer, sizeof(buffer) - 1) != 0) {
        return "localhost";
    }
    return buffer;
}

std::wstring UserName() {
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name) {
        return FromUtf8(entry->pw_name);
    }
    if (const char* user = std::getenv("USER")) {
        return FromUtf8(user);
    }
    return L"uid " + std::to_wstring(::geteuid());
}

struct ProcessStat {
    char state = '?';
    std::int64_t startTicks = 0;
};

// Fields 3 (state) and 22 (start time) of /proc/<pid>/stat; nothing when the process is gone.
std::optional<ProcessStat> ReadProcessStat(std::int64_t processId) {
    std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
    std::string line;
    if (!stat || !std::getline(stat, line)) {
        return std::nullopt;
    }
    // The command name (field 2) may contain spaces and parentheses; the fields after it do not.
    const auto commandEnd = line.rfind(')');
    if (commandEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(commandEnd + 1));
    ProcessStat result;
    fields >> result.state;
    std::string skipped;
    for (int index = 4; index <= 21; ++index) {
        fields >> skipped;
    }
    fields >> result.startTicks;
    if (!fields) {
        result.startTicks = 0;
    }
    return result;
}

}  // namespace

LinkIdentity LinkIdentity::ForNewLink() {
    LinkIdentity identity;
    identity.linkId = GenerateUuid();
    identity.userName = UserName();
    identity.host = HostName();
    identity.processId = ::getpid();
    if (const auto stat = ReadProcessStat(identity.processId)) {
        identity.processStart = stat->startTicks;
    }
    return identity;
}

namespace {
constexpr wchar_t kHostSeparator[] = L" на ";
constexpr wchar_t kProcessOpening[] = L" (процесс ";
}  // namespace

std::wstring LinkIdentity::HolderText() const {
    return userName + kHostSeparator + FromUtf8(host) + kProcessOpening +
           std::to_wstring(processId) + L")";
}

std::wstring UserOfHolderText(const std::wstring& holderText) {
    // Host names hold no spaces, so the last separators are the ones HolderText put there,
    // whatever the user's name holds.
    const std::size_t process = holderText.rfind(kProcessOpening);
    if (process == std::wstring::npos || holderText.empty() || holderText.back() != L')') {
        return {};
    }
    const std::size_t host = holderText.rfind(kHostSeparator, process);
    if (host == std::wstring::npos || host == 0) {
        return {};
    }
    return holderText.substr(0, host);
}

bool IsOwnerGone(const std::string& host, std::int64_t processId, std::int64_t processStart) {
    static const std::string kThisHost = HostName();
    if (host != kThisHost || processId <= 0) {
        return false;
    }
    if (::kill(static_cast<pid_t>(processId), 0) != 0 && errno == ESRCH) {
        return true;
    }
    const auto stat = ReadProcessStat(processId);
    if (!stat) {
        return false;  // no /proc to ask: presume alive
    }
    // A zombie has ended even though its parent has not collected it yet.
    if (stat->state == 'Z' || stat->state == 'X') {
        return true;
    }
    return processStart != 0 && stat->startTicks != 0 && stat->startTicks != processStart;
}

}  // namespace tarvo::detail
