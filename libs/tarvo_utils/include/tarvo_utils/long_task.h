#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace long_task {

// Runs `task` on a worker thread while the calling (GUI) thread keeps processing events; a modal
// busy indicator with `text` appears when the task takes longer than a short moment (about 300 ms),
// window-modal on `parent`, or application-modal when `parent` is null. Returns only after the task
// has ended; an exception thrown by the task is rethrown here.
//
// User input that arrives while the task runs is held back until it has ended, so the user cannot
// start a second operation meanwhile. The indicator needs a QApplication and the GUI thread;
// without them (a QCoreApplication, another thread) the caller's thread still processes events
// but shows nothing, and without any application object it simply waits for the task.
void Run(const std::function<void()>& task, QWidget* parent, const QString& text);

}  // namespace long_task
