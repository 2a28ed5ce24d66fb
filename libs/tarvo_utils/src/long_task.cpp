#include <tarvo_utils/long_task.h>

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>

#include <exception>
#include <memory>
#include <thread>

namespace long_task {
namespace {

// How long a task may run before the busy indicator appears; shorter tasks flash nothing.
constexpr int kIndicatorDelayMilliseconds = 300;

// A busy indicator the user cannot dismiss: the task cannot be cancelled, and a dismissed modal
// dialog would give the window back while the task still runs.
class BusyDialog : public QProgressDialog {
public:
    BusyDialog(const QString& text, QWidget* parent)
        : QProgressDialog(text, QString(), 0, 0, parent) {
        setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
        setMinimumDuration(0);
        setAutoClose(false);
        setAutoReset(false);
    }

    void reject() override {}

protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

bool CanShowWidgets() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

}  // namespace

void Run(const std::function<void()>& task, QWidget* parent, const QString& text) {
    std::exception_ptr failure;
    const auto body = [&task, &failure] {
        try {
            task();
        } catch (...) {
            failure = std::current_exception();
        }
    };

    if (!QCoreApplication::instance()) {
        // No event loop to keep alive: just wait for the worker.
        std::thread worker(body);
        worker.join();
    } else {
        QEventLoop loop;
        std::thread worker([&body, &loop] {
            body();
            // Queued, so it takes effect inside exec() even when the task ends before exec().
            QMetaObject::invokeMethod(
                &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
        });

        std::unique_ptr<BusyDialog> dialog;
        QTimer indicatorDelay;
        if (CanShowWidgets()) {
            indicatorDelay.setSingleShot(true);
            QObject::connect(&indicatorDelay, &QTimer::timeout, [&dialog, &text, parent] {
                dialog = std::make_unique<BusyDialog>(text, parent);
                dialog->show();
            });
            indicatorDelay.start(kIndicatorDelayMilliseconds);
        }
        // Timers, painting and other events go on; user input waits until the task has ended, so
        // nothing can start a second operation while this one runs.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        worker.join();
        indicatorDelay.stop();
        dialog.reset();
    }

    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace long_task
