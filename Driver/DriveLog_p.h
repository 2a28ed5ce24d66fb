#pragma once

#include <logging/logging.h>

// Every record of the drive names one source, "Driver\FSDriver", whichever of the drive's files
// writes it: the operations are spread over several files, but for whoever reads the log they are
// one component.
#define KELVO_DRIVE_LOG(severity)                                                                \
    ::logging::detail::LogMessage(KELVO_SOURCE_ROOT "Driver/FSDriver.cpp", __LINE__, (severity)) \
        .stream()
