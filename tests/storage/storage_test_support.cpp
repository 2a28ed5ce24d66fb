#include "storage_test_support.h"

#include <chrono>

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kelvo_test {

StorageFixtureFolders::StorageFixtureFolders()
    : m_drives("KELVO_DRIVES_DIR", m_root.filePath(QStringLiteral("drives")).toStdString()),
      m_data("KELVO_DATA_DIR", m_root.filePath(QStringLiteral("data")).toStdString()) {
    QDir().mkpath(drivesFolder());
    QDir().mkpath(path(QStringLiteral("config/Ostrel/KelvoDrive")));
    QDir().mkpath(path(QStringLiteral("config/Ostrel/KelvoIII_2013")));
}

ConnectionsStorage::Paths StorageFixtureFolders::paths() const {
    return {path(QStringLiteral("config/Ostrel/KelvoIII_2013/ConnectionsConfig.xml")),
            path(QStringLiteral("config/Ostrel/KelvoDrive/mount_points.xml"))};
}

void StorageFixtureFolders::occupyLetter(char letter) const {
    const QString folder = drivesFolder() + QLatin1Char('/') + QLatin1Char(letter);
    QDir().mkpath(folder);
    writeFile(folder + QStringLiteral("/occupied"), "x");
}

void StorageCloser::operator()(ConnectionsStorage* storage) const {
    storage->unmountAllAndWait(std::chrono::seconds(10));
    delete storage;
}

StorageOwner StorageFixtureFolders::makeStorage() const {
    return StorageOwner(new ConnectionsStorage(paths(), tarvo::CreateCore()));
}

tarvo_cm::Connection unreachableConnection(const std::wstring& database) {
    tarvo_cm::Connection connection;
    connection.name = L"Архив " + database;
    tarvo::endpoint::Remote remote;
    remote.host = L"127.0.0.1";
    remote.port = 1;  // nothing listens on port 1
    remote.database = database;
    connection.endpoint = remote;
    connection.credentials = tarvo::auth::Basic{L"reader", L"secret"};
    return connection;
}

tarvo_cm::Connection localConnection() {
    tarvo_cm::Connection connection;
    connection.name = L"Локальное хранилище";
    connection.endpoint = tarvo::endpoint::Local{};
    connection.credentials = tarvo::auth::Current{};
    return connection;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(content);
    }
}

}  // namespace kelvo_test
