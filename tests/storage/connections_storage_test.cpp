// The connections storage: registering connections and mounting their drives for real.

#include "storage_test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using kelvo_test::localConnection;
using kelvo_test::unreachableConnection;

namespace {

// Runs the event loop until `condition` holds or the time is up.
bool waitFor(const std::function<bool()>& condition, int milliseconds = 10000) {
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

struct MountEntry {
    std::string source;
    std::string type;
};

// mountinfo writes space, tab, newline and backslash as octal escapes (\040).
std::string unescapeMountField(const std::string& field) {
    std::string text;
    for (std::size_t index = 0; index < field.size(); ++index) {
        if (field[index] == '\\' && index + 3 < field.size()) {
            text += static_cast<char>(std::stoi(field.substr(index + 1, 3), nullptr, 8));
            index += 3;
        } else {
            text += field[index];
        }
    }
    return text;
}

// The mount at `folder` as /proc/self/mountinfo lists it, if any.
std::optional<MountEntry> mountAt(const QString& folder) {
    std::ifstream mountInfo("/proc/self/mountinfo");
    const std::string wanted = QDir(folder).absolutePath().toStdString();
    for (std::string line; std::getline(mountInfo, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        fields >> id >> parent >> device >> root >> mountPoint;
        if (mountPoint != wanted) {
            continue;
        }
        std::string field;
        while (fields >> field && field != "-") {
        }
        MountEntry entry;
        fields >> entry.type >> entry.source;
        entry.source = unescapeMountField(entry.source);
        return entry;
    }
    return std::nullopt;
}

// Records the storage's signals in the order they arrive on the GUI thread.
class SignalLog : public QObject {
public:
    explicit SignalLog(ConnectionsStorage& storage) {
        connect(&storage, &ConnectionsStorage::connectionAdded, this,
                [this](ConnectionHandle* handle) { record("added", handle); });
        connect(&storage, &ConnectionsStorage::connectionAboutToBeRemoved, this,
                [this](ConnectionHandle* handle) { record("aboutToBeRemoved", handle); });
        connect(&storage, &ConnectionsStorage::connectionUpdated, this,
                [this](ConnectionHandle* handle) { record("updated", handle); });
        connect(&storage, &ConnectionsStorage::driveMounted, this,
                [this](ConnectionHandle* handle) { record("mounted", handle); });
        connect(&storage, &ConnectionsStorage::driveUnmounted, this,
                [this](ConnectionHandle* handle) { record("unmounted", handle); });
    }
    int count(const std::string& name) const {
        return static_cast<int>(std::count(events.begin(), events.end(), name));
    }
    std::vector<std::string> events;
    std::vector<ConnectionHandle*> handles;

private:
    void record(const std::string& name, ConnectionHandle* handle) {
        events.push_back(name);
        handles.push_back(handle);
    }
};

class ConnectionsStorageTest : public ::testing::Test {
protected:
    kelvo_test::StorageFixtureFolders folders;
    QString letterFolder(char letter) const {
        return folders.drivesFolder() + QLatin1Char('/') + QLatin1Char(letter);
    }
};

TEST_F(ConnectionsStorageTest, MountsUnmountsAndRemovesALocalDrive) {
    KELVO_REQUIRE_FUSE();
    auto storage = folders.makeStorage();
    SignalLog log(*storage);
    const tarvo_cm::Connection connection = localConnection();

    storage->addConnection(connection, {QStringLiteral("Z:\\"), QString()});
    ASSERT_EQ(log.events, std::vector<std::string>{"added"}) << "connectionAdded is synchronous";
    ConnectionHandle* const handle = storage->connections().front();

    ASSERT_TRUE(waitFor([&] { return log.count("mounted") == 1; })) << "driveMounted never came";
    EXPECT_TRUE(handle->isConnected());
    const auto mount = mountAt(letterFolder('Z'));
    ASSERT_TRUE(mount) << "Z is not a mount point";
    EXPECT_EQ(mount->type, "fuse.kelvo");
    EXPECT_EQ(mount->source, "Локальное хранилище") << "the volume label is the repository name";

    storage->unmountDrive(connection);
    EXPECT_FALSE(handle->isConnected());
    ASSERT_TRUE(waitFor([&] { return log.count("unmounted") == 1; }));
    EXPECT_FALSE(mountAt(letterFolder('Z')));

    storage->mountDrive(connection);
    ASSERT_TRUE(waitFor([&] { return log.count("mounted") == 2; }));

    ASSERT_TRUE(storage->removeConnection(connection));
    EXPECT_EQ(log.events.back(), "aboutToBeRemoved") << "removal is announced synchronously";
    EXPECT_TRUE(storage->connections().empty());
    EXPECT_TRUE(waitFor([&] { return !mountAt(letterFolder('Z')); }))
        << "the mount outlived removal";
}

TEST_F(ConnectionsStorageTest, TheCustomNameIsTheVolumeLabelAndAnUpdateRemountsElsewhere) {
    KELVO_REQUIRE_FUSE();
    auto storage = folders.makeStorage();
    SignalLog log(*storage);
    const tarvo_cm::Connection connection = localConnection();
    storage->addConnection(connection, {QStringLiteral("P:\\"), QStringLiteral("Мои, документы")});
    ASSERT_TRUE(waitFor([&] { return log.count("mounted") == 1; }));
    const auto labelled = mountAt(letterFolder('P'));
    ASSERT_TRUE(labelled);
    EXPECT_EQ(labelled->source, "Мои, документы") << "a comma must not cut the label short";

    storage->updateConnection(connection, {QStringLiteral("Q:\\"), QString()});
    ASSERT_TRUE(waitFor([&] { return log.count("mounted") == 2; }));
    EXPECT_TRUE(waitFor([&] { return !mountAt(letterFolder('P')); }));
    EXPECT_TRUE(mountAt(letterFolder('Q')));
    EXPECT_EQ(storage->connections().front()->mountPoint, QStringLiteral("Q:\\"));
    storage->removeConnection(connection);
    EXPECT_TRUE(waitFor([&] { return !mountAt(letterFolder('Q')); }));
}

TEST_F(ConnectionsStorageTest, DrivesThatCannotBeMountedStayDisconnected) {
    auto storage = folders.makeStorage();
    SignalLog log(*storage);

    const tarvo_cm::Connection unreachable = unreachableConnection(L"nowhere");
    storage->addConnection(unreachable, {QStringLiteral("U:\\"), QString()});

    folders.occupyLetter('O');
    const tarvo_cm::Connection onOccupiedLetter = localConnection();
    storage->addConnection(onOccupiedLetter, {QStringLiteral("O:\\"), QString()});

    const tarvo_cm::Connection withoutLetter = unreachableConnection(L"no letter");
    storage->addConnection(withoutLetter, {QString(), QStringLiteral("Без буквы")});

    const auto handles = storage->connections();
    ASSERT_EQ(handles.size(), 3u);
    EXPECT_FALSE(handles[1]->thread.joinable()) << "a drive was started on an occupied letter";
    EXPECT_FALSE(handles[2]->thread.joinable()) << "a drive was started without a letter";

    // Give the failing connect time to finish; nothing may mount.
    waitFor([&] { return !handles[0]->starting->load(); });
    QCoreApplication::processEvents();
    EXPECT_EQ(log.count("mounted"), 0);
    for (ConnectionHandle* handle : handles) {
        EXPECT_FALSE(handle->isConnected());
    }
    EXPECT_FALSE(mountAt(letterFolder('U')));
}

TEST_F(ConnectionsStorageTest, DuplicatesInvalidRecordsAndUnknownIdentifiersAreIgnored) {
    auto storage = folders.makeStorage();
    SignalLog log(*storage);
    const tarvo_cm::Connection original = unreachableConnection(L"db");
    storage->addConnection(original, {});

    tarvo_cm::Connection sameAddress = original;
    sameAddress.id = tarvo::GenerateUuid();
    storage->addConnection(sameAddress, {});
    storage->addConnection(original, {});
    tarvo_cm::Connection invalid = unreachableConnection(L"x");
    std::get<tarvo::endpoint::Remote>(invalid.endpoint).host.clear();
    storage->addConnection(invalid, {});
    EXPECT_EQ(storage->connections().size(), 1u);

    const tarvo_cm::Connection unknown = unreachableConnection(L"unknown");
    EXPECT_FALSE(storage->removeConnection(unknown));
    storage->updateConnection(unknown, {QStringLiteral("K:\\"), QString()});
    storage->mountDrive(unknown);
    storage->unmountDrive(unknown);
    EXPECT_EQ(log.events, std::vector<std::string>{"added"});
}

TEST_F(ConnectionsStorageTest, UpdatesKeepTheMountPointTableInStep) {
    auto storage = folders.makeStorage();
    const tarvo_cm::Connection connection = unreachableConnection(L"db");
    const QString mountPoints = folders.paths().mountPointsPath;

    storage->addConnection(connection, {QString(), QStringLiteral("Только имя")});
    EXPECT_EQ(storage->connections().front()->customName, QStringLiteral("Только имя"));
    EXPECT_TRUE(ConnectionsStorage::readMountPoints(mountPoints).empty())
        << "a name without a letter is not saved when adding";

    storage->updateConnection(connection, {QString(), QStringLiteral("Только имя")});
    EXPECT_EQ(ConnectionsStorage::readMountPoints(mountPoints).count(connection.id), 1u);

    storage->updateConnection(connection, {});
    EXPECT_TRUE(ConnectionsStorage::readMountPoints(mountPoints).empty());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
