#pragma once

#include <QApplication>

// Placeholder until the single-instance guard lands: always the primary instance.
class SingleApplication : public QApplication {
    Q_OBJECT
public:
    enum Mode { PerUser = 1, NotifyOnSecondary = 4, KeyWithoutVersion = 8, KeyWithoutPath = 16 };
    Q_DECLARE_FLAGS(Modes, Mode)

    SingleApplication(int& argc, char* argv[], bool allowSecondary, Modes mode, int timeout);
    bool isPrimaryInstance() const { return true; }
    qint64 primaryPid() const;

signals:
    void instanceStarted();
    void receivedMessage(quint32 instanceId, QByteArray message);
};
