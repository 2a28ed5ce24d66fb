#include "fuse_log_bridge.h"

#define FUSE_USE_VERSION 312
#include <fuse_log.h>

#include <platform_base/text_codec.h>

#include <logging/logging.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace kelvo_dokan {
namespace {

int SeverityOf(fuse_log_level level) {
    switch (level) {
        case FUSE_LOG_EMERG:
        case FUSE_LOG_ALERT:
        case FUSE_LOG_CRIT:
        case FUSE_LOG_ERR:
            return logging::kError;
        case FUSE_LOG_WARNING:
        case FUSE_LOG_NOTICE:
            return logging::kWarning;
        default:
            return logging::kInfo;
    }
}

void WriteFuseMessage(fuse_log_level level, const char* format, va_list arguments) {
    char text[1024];
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (length < 0) {
        return;
    }
    std::string message(text,
                        std::min<std::size_t>(static_cast<std::size_t>(length), sizeof text - 1));
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    if (message.empty()) {
        return;
    }
    KELVO_LOG(SeverityOf(level)) << L"libfuse: " << kelvo_platform::Utf8ToWideLossy(message);
}

}  // namespace

void InstallFuseLogBridge() {
    static std::once_flag once;
    std::call_once(once, [] { fuse_set_log_func(&WriteFuseMessage); });
}

}  // namespace kelvo_dokan
