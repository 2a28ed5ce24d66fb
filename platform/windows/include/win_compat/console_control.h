#pragma once

#include <win_compat/wintypes.h>

// Notifications that the user's session or terminal is ending. On Linux: SIGINT is CTRL_C_EVENT,
// SIGHUP is CTRL_CLOSE_EVENT and SIGTERM (log-out, shutdown, kill) is CTRL_SHUTDOWN_EVENT.
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;

using PHANDLER_ROUTINE = BOOL (*)(DWORD CtrlType);

// Adds or removes a handler. As on Windows, handlers run on a thread of their own, never inside a
// signal handler, so they may do anything a normal thread does; the last one added runs first,
// and a handler returning TRUE ends the chain. With no handler left, a signal has its default
// effect.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add);
