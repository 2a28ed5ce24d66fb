#pragma once

namespace win_compat {

// Marks every descriptor this process was started with, beyond standard input, output and error,
// close-on-exec. On Windows handles are not inherited unless asked for; here a descriptor that the
// starting program left open (the write end of a pipe it waits on, say) would otherwise reach
// every program this one starts, among them the long-lived fusermount3 of each mount, and the
// starter would wait for as long as a drive stays mounted. Called once, first thing.
void StopHandleInheritance();

}  // namespace win_compat
