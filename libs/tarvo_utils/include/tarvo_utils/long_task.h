#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace long_task {

// Runs `task` on a worker thread while the calling (GUI) thread keeps processing events; a modal
// busy indicator with `text` appears when the task takes longer than a short moment. Returns only
// after the task has ended; an exception thrown by the task is rethrown here.
void Run(const std::function<void()>& task, QWidget* parent, const QString& text);

}  // namespace long_task
