#include <tarvo_utils/long_task.h>

#include <QApplication>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

QProgressDialog* VisibleBusyIndicator() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QProgressDialog*>(widget); dialog && dialog->isVisible()) {
            return dialog;
        }
    }
    return nullptr;
}

TEST(LongTask, ReturnsOnlyAfterTheTaskHasEndedOnAnotherThread) {
    std::atomic<bool> finished{false};
    std::thread::id taskThread;
    long_task::Run(
        [&] {
            taskThread = std::this_thread::get_id();
            std::this_thread::sleep_for(100ms);
            finished = true;
        },
        nullptr, QStringLiteral("Подключение..."));
    EXPECT_TRUE(finished);
    EXPECT_NE(taskThread, std::this_thread::get_id());
}

TEST(LongTask, RethrowsTheTasksExceptionInTheCaller) {
    EXPECT_THROW(
        {
            try {
                long_task::Run([] { throw std::runtime_error("repository unreachable"); }, nullptr,
                               QStringLiteral("Подключение..."));
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "repository unreachable");
                throw;
            }
        },
        std::runtime_error);
}

TEST(LongTask, EventLoopKeepsRunningAndTheIndicatorShowsForASlowTask) {
    QWidget window;
    window.show();
    int timerTicks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&timerTicks] { ++timerTicks; });
    ticker.start(20);

    QString shownText;
    bool shownWindowModal = false;
    QTimer::singleShot(600, [&] {
        if (QProgressDialog* indicator = VisibleBusyIndicator()) {
            shownText = indicator->labelText();
            shownWindowModal = indicator->windowModality() == Qt::WindowModal;
        }
    });
    long_task::Run([] { std::this_thread::sleep_for(900ms); }, &window,
                   QStringLiteral("Проверка соединения"));

    EXPECT_GE(timerTicks, 10);
    EXPECT_EQ(shownText, QStringLiteral("Проверка соединения"));
    EXPECT_TRUE(shownWindowModal);
    EXPECT_EQ(VisibleBusyIndicator(), nullptr) << "the indicator outlived the task";
}

TEST(LongTask, QuickTaskShowsNoIndicator) {
    bool indicatorSeen = false;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout,
                     [&indicatorSeen] { indicatorSeen = indicatorSeen || VisibleBusyIndicator(); });
    watcher.start(10);
    long_task::Run([] { std::this_thread::sleep_for(50ms); }, nullptr, QStringLiteral("..."));
    EXPECT_FALSE(indicatorSeen);
}

TEST(LongTask, NestedRunFromATimerDuringTheWaitCompletes) {
    bool innerFinished = false;
    QTimer::singleShot(50, [&innerFinished] {
        long_task::Run([] { std::this_thread::sleep_for(50ms); }, nullptr, QStringLiteral("inner"));
        innerFinished = true;
    });
    long_task::Run([] { std::this_thread::sleep_for(300ms); }, nullptr, QStringLiteral("outer"));
    EXPECT_TRUE(innerFinished);
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
