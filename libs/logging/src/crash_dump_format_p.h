#pragma once

// The raw dump a crash handler writes: text lines "<key> <value>", then the frame addresses (one
// hexadecimal number a line) and the process's memory map as /proc/self/maps showed it.
namespace dump_util::detail {

inline constexpr char kDumpFilePrefix[] = "crash-";
inline constexpr char kDumpFileSuffix[] = ".dump";
inline constexpr char kReportFileSuffix[] = ".txt";

inline constexpr char kDumpHeader[] = "KelvoDrive crash dump 1";
inline constexpr char kKeyTime[] = "time";
inline constexpr char kKeyPid[] = "pid";
inline constexpr char kKeySignal[] = "signal";
inline constexpr char kKeyVersion[] = "version";
inline constexpr char kKeyProgram[] = "program";
inline constexpr char kKeyException[] = "exception";
// The address of the interrupted instruction; every other frame is a return address.
inline constexpr char kKeyInterruptedAt[] = "interrupted_at";
inline constexpr char kSectionFrames[] = "frames";
inline constexpr char kSectionMaps[] = "maps";

}  // namespace dump_util::detail
