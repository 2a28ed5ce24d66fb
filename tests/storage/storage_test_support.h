#pragma once

#include <ConnectionsStorage.h>
#include <test_support.h>

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>

namespace kelvo_test {

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

    std::unique_ptr<ConnectionsStorage> makeStorage() const;

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
