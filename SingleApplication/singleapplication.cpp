#include "singleapplication.h"

#include "singleapplication_p.h"

#include <QDebug>
#include <QSharedMemory>

#include <errno.h>

#include <cstdlib>

namespace {

// Qt's application object keeps references to the argument count and vector for its whole life
// and reads argv[0] (for the default application name) even when the count is 0. The start-up
// passes no vector at all, so that Qt never interprets the program's own arguments; Qt then gets
// this one, which holds only the name the program was started under.
class ProgramOnlyArguments {
public:
    static ProgramOnlyArguments& instance() {
        static ProgramOnlyArguments arguments;
        return arguments;
    }
    int& count() { return m_count; }
    char** vector() { return m_vector; }

private:
    ProgramOnlyArguments() : m_vector{program_invocation_name, nullptr} {}

    int m_count = 1;
    char* m_vector[2];
};

int& argumentCountForQt(int& argc, char* argv[]) {
    return argv != nullptr ? argc : ProgramOnlyArguments::instance().count();
}

char** argumentVectorForQt(char* argv[]) {
    return argv != nullptr ? argv : ProgramOnlyArguments::instance().vector();
}

}  // namespace

SingleApplication::SingleApplication(int& argc, char* argv[], bool allowSecondary,
                                     QFlags<Mode> mode, int timeout)
    : QApplication(argumentCountForQt(argc, argv), argumentVectorForQt(argv)),
      d(new SingleApplicationPrivate(this)) {
    d->mode = mode;
    d->genInstanceKey();
    d->initializeMemoryBlock();
    d->waitForConsistentBlock();

    InstanceBlock* block = d->block();
    if (block->hasPrimary != 0 && d->recordedPrimaryIsGone(timeout)) {
        qWarning().noquote() << QStringLiteral(
                                    "SingleApplication: The primary instance recorded in the "
                                    "shared memory block (process %1) no longer runs. Assuming "
                                    "primary instance failure.")
                                    .arg(block->primaryProcessId);
        d->resetBlock();
    }

    if (block->hasPrimary == 0) {
        d->startPrimary();
        if (!d->sharedBlock->unlock()) {
            qDebug().noquote() << "SingleApplication: Unable to unlock memory after primary start."
                               << d->sharedBlock->errorString();
        }
        return;
    }

    if (!allowSecondary) {
        // Only one instance may run: tell the primary that somebody tried, then end quietly.
        d->connectToPrimary(timeout, SingleApplicationPrivate::NewInstance);
        if (!d->sharedBlock->unlock()) {
            qDebug().noquote()
                << "SingleApplication: Unable to unlock memory after secondary start."
                << d->sharedBlock->errorString();
        }
        delete d;
        d = nullptr;
        ::exit(EXIT_SUCCESS);
    }

    d->startSecondary();
    if (d->mode.testFlag(NotifyOnSecondary)) {
        d->connectToPrimary(timeout, SingleApplicationPrivate::SecondaryInstance);
    }
    if (!d->sharedBlock->unlock()) {
        qDebug().noquote() << "SingleApplication: Unable to unlock memory after secondary start."
                           << d->sharedBlock->errorString();
    }
}

SingleApplication::~SingleApplication() {
    delete d;
}

bool SingleApplication::isPrimaryInstance() const {
    return d->server != nullptr;
}

int SingleApplication::instanceIndex() const {
    return d->instanceIndex;
}

qint64 SingleApplication::primaryPid() const {
    return d->primaryPid();
}

void SingleApplication::abortSafely() {
    if (d != nullptr && d->sharedBlock != nullptr) {
        qCritical().noquote() << QStringLiteral("SingleApplication: %1 %2")
                                     .arg(d->sharedBlock->error())
                                     .arg(d->sharedBlock->errorString());
    } else {
        qCritical().noquote() << "SingleApplication: no shared memory block";
    }
    delete d;
    d = nullptr;
    ::exit(EXIT_FAILURE);
}
