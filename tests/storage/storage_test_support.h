#pragma once

#include <ConnectionsStorage.h>
#include <test_support.h>

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>

namespace kelvo_test {

// Deletes a test's storage only after its drive threads have ended, as the program's teardown
// does: a detached drive thread still connecting when the test process exits would run on into
// the process's destroyed globals.
struct StorageCloser {
    void operator()(ConnectionsStorage* storage) const;
};
using StorageOwner = std::unique_ptr<ConnectionsStorage, StorageCloser>;

// A storage over files in a temporary folder, with its own drives folder and repository data
// folder, so tests never touch the user's real configuration or drives.
class StorageFixtureFolders {
public:
    StorageFixtureFolders();

    QString path(const QString& relative) const { return m_root.filePath(relative); }
    ConnectionsStorage::Paths paths() const;
    QString drivesFolder() const { return path(QStringLiteral("drives")); }
    // Makes drive letter `letter` count as used (a non-empty folder in the drives folder).
    void occupyLetter(char letter) const;

    StorageOwner makeStorage() const;

private:
    QTemporaryDir m_root;
    ScopedEnvironment m_drives;
    ScopedEnvironment m_data;
};

// A connection to a server nobody listens on: valid, but every connect attempt fails at once.
tarvo_cm::Connection unreachableConnection(const std::wstring& database);
tarvo_cm::Connection localConnection();

QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& content);

}  // namespace kelvo_test
