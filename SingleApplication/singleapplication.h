#pragma once

#include <QApplication>
#include <QByteArray>
#include <QFlags>

class SingleApplicationPrivate;

// The application object that lets only one primary instance of a program run. The first instance
// records itself in a named shared memory block and listens on a local server; every later
// instance counts itself in the block and, with NotifyOnSecondary, tells the primary that it was
// started, after which the primary emits instanceStarted.
class SingleApplication : public QApplication {
    Q_OBJECT
public:
    enum Mode {
        PerUser = 1,            // the key holds the user name; the server accepts that user only
        NotifyOnSecondary = 4,  // a secondary instance identifies itself to the primary
        KeyWithoutVersion = 8,  // the application version stays out of the key
        KeyWithoutPath = 16,    // the executable path stays out of the key
    };
    Q_DECLARE_FLAGS(Modes, Mode)

    // Decides between primary and secondary before it returns. `argv` may be null: Qt is then given
    // only the executable's path as its one argument. `timeout` bounds the notification of the
    // primary, in milliseconds. A later instance that is not allowed to be a secondary notifies the
    // primary and ends the process with exit code 0.
    SingleApplication(int& argc, char* argv[], bool allowSecondary = false,
                      QFlags<Mode> mode = NotifyOnSecondary, int timeout = 1000);
    ~SingleApplication() override;

    SingleApplication(const SingleApplication&) = delete;
    SingleApplication& operator=(const SingleApplication&) = delete;

    bool isPrimaryInstance() const;
    // 0 in the primary, the instance's number (1, 2, ...) in a secondary.
    int instanceIndex() const;
    // The process id recorded by the primary, read under the block's lock; -1 when none is known.
    qint64 primaryPid() const;

signals:
    void instanceStarted();
    void receivedMessage(quint32 instanceId, QByteArray message);

private:
    friend class SingleApplicationPrivate;
    // Logs the block's error, releases everything and ends the process with exit code 1.
    [[noreturn]] void abortSafely();

    SingleApplicationPrivate* d;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SingleApplication::Modes)
