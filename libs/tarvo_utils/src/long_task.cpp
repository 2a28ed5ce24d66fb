// Placeholder until the worker-thread version lands: runs the task in place.
#include <tarvo_utils/long_task.h>

namespace long_task {

void Run(const std::function<void()>& task, QWidget*, const QString&) { task(); }

}  // namespace long_task
