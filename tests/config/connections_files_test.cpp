// The two configuration files: what is written, byte for byte, and what survives bad input.

#include "storage_test_support.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <tarvo_cm/config.h>
#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <sstream>

using kelvo_test::readFile;
using kelvo_test::unreachableConnection;
using kelvo_test::writeFile;

namespace {

boost::uuids::uuid uuid(const wchar_t* text) {
    return boost::uuids::string_generator()(text);
}

class ConnectionsFiles : public ::testing::Test {
protected:
    kelvo_test::StorageFixtureFolders folders;
    QString connectionsPath() const { return folders.paths().connectionsConfigPath; }
    QString mountPointsPath() const { return folders.paths().mountPointsPath; }
};

TEST_F(ConnectionsFiles, MountPointFileIsWrittenInTheDocumentedForm) {
    auto storage = folders.makeStorage();
    tarvo_cm::Connection first = unreachableConnection(L"first");
    first.id = uuid(L"0a1b2c3d-0000-4000-8000-00000000000a");
    tarvo_cm::Connection second = unreachableConnection(L"second");
    second.id = uuid(L"0a1b2c3d-0000-4000-8000-00000000000b");
    storage->addConnection(first, {QStringLiteral("Z:\\"), QStringLiteral("Мой диск")});
    storage->addConnection(second, {QStringLiteral("Y:\\"), QString()});

    const QByteArray expected =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
        "<config>\r\n"
        "\t<mount_points>\r\n"
        "\t\t<mount_point>\r\n"
        "\t\t\t<id>0a1b2c3d-0000-4000-8000-00000000000a</id>\r\n"
        "\t\t\t<path>Z:\\</path>\r\n"
        "\t\t\t<custom_name>\xD0\x9C\xD0\xBE\xD0\xB9 "
        "\xD0\xB4\xD0\xB8\xD1\x81\xD0\xBA</custom_name>\r\n"
        "\t\t</mount_point>\r\n"
        "\t\t<mount_point>\r\n"
        "\t\t\t<id>0a1b2c3d-0000-4000-8000-00000000000b</id>\r\n"
        "\t\t\t<path>Y:\\</path>\r\n"
        "\t\t</mount_point>\r\n"
        "\t</mount_points>\r\n"
        "</config>\r\n";
    EXPECT_EQ(readFile(mountPointsPath()), expected);
}

TEST_F(ConnectionsFiles, WrittenMountPointFileReadsBackToTheSameTable) {
    auto storage = folders.makeStorage();
    const tarvo_cm::Connection withName = unreachableConnection(L"a");
    const tarvo_cm::Connection withoutLetter = unreachableConnection(L"b");
    storage->addConnection(withName, {QStringLiteral("Q:\\"), QStringLiteral("Отчёты")});
    storage->addConnection(withoutLetter, {});
    storage->updateConnection(withoutLetter, {QString(), QStringLiteral("Без буквы")});

    const auto table = ConnectionsStorage::readMountPoints(mountPointsPath());
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table.at(withName.id).path, QStringLiteral("Q:\\"));
    EXPECT_EQ(table.at(withName.id).customName, QStringLiteral("Отчёты"));
    EXPECT_TRUE(table.at(withoutLetter.id).path.isEmpty());
    EXPECT_EQ(table.at(withoutLetter.id).customName, QStringLiteral("Без буквы"));
}

TEST_F(ConnectionsFiles, IdentifiersAreReadInAnyFormAndTheFirstEntryWins) {
    writeFile(
        mountPointsPath(),
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<config><mount_points>\n"
        "<!-- a comment inside -->\n"
        "<mount_point><id>{0A1B2C3D-0000-4000-8000-00000000000A}</id><path> Z:\\ "
        "</path></mount_point>\n"
        "<mount_point><id>0a1b2c3d00004000800000000000000a</id><path>X:\\</path></mount_point>\n"
        "<entry_with_other_name><id>0A1B2C3D00004000800000000000000B</id><path>Y:\\</path>"
        "<custom_name>  два   слова </custom_name></entry_with_other_name>\n"
        "</mount_points></config>\n");
    const auto table = ConnectionsStorage::readMountPoints(mountPointsPath());
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table.at(uuid(L"0a1b2c3d-0000-4000-8000-00000000000a")).path, QStringLiteral("Z:\\"));
    EXPECT_EQ(table.at(uuid(L"0a1b2c3d-0000-4000-8000-00000000000b")).customName,
              QStringLiteral("два слова"));
}

TEST_F(ConnectionsFiles, BrokenMountPointFilesGiveEveryEntryThatReads) {
    struct Case {
        const char* name;
        QByteArray content;
        std::size_t readableEntries;
    };
    const Case cases[] = {
        {"not XML", "<config><mount_points><mount_point>", 0},
        {"cut short after a whole entry",
         "<config><mount_points>"
         "<mount_point><id>0a1b2c3d-0000-4000-8000-00000000000a</id><path>Z:\\</path></mount_point>"
         "<mount_point><id>0a1b2c3d-0000-4000-8000-0000",
         1},
        {"no mount_points node", "<config><other/></config>", 0},
        {"attribute on mount_points",
         "<config><mount_points kind=\"x\"><mount_point><id>"
         "0a1b2c3d-0000-4000-8000-00000000000a</id><path>Z:\\</path>"
         "</mount_point></mount_points></config>",
         1},
        {"unparsable id between good entries",
         "<config><mount_points>"
         "<mount_point><id>0a1b2c3d-0000-4000-8000-00000000000a</id><path>Z:\\</path></mount_point>"
         "<mount_point><id>not-an-id</id><path>Y:\\</path></mount_point>"
         "<mount_point><id>0a1b2c3d-0000-4000-8000-00000000000c</id><path>X:\\</path></mount_point>"
         "</mount_points></config>",
         2},
        {"missing path",
         "<config><mount_points><mount_point><id>"
         "0a1b2c3d-0000-4000-8000-00000000000a</id></mount_point>"
         "</mount_points></config>",
         0},
    };
    for (const Case& broken : cases) {
        SCOPED_TRACE(broken.name);
        writeFile(mountPointsPath(), broken.content);
        EXPECT_EQ(ConnectionsStorage::readMountPoints(mountPointsPath()).size(),
                  broken.readableEntries);
        EXPECT_EQ(readFile(mountPointsPath()), broken.content) << "a failed read changed the file";
    }
}

TEST_F(ConnectionsFiles, ForeignSectionsOfTheSharedFileSurviveASave) {
    writeFile(
        connectionsPath(),
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<config>\n"
        "  <!-- settings of the other product -->\n"
        "  <viewer><title>   Просмотр   документов  </title><zoom>125</zoom></viewer>\n"
        "  <connections_manager><connections/><history>последние</history></connections_manager>\n"
        "</config>\n");
    auto storage = folders.makeStorage();
    const tarvo_cm::Connection connection = unreachableConnection(L"shared");
    storage->addConnection(connection, {});

    const QString saved = QString::fromUtf8(readFile(connectionsPath()));
    EXPECT_TRUE(saved.contains(QStringLiteral("<title>Просмотр документов</title>")))
        << saved.toStdString();
    EXPECT_TRUE(saved.contains(QStringLiteral("<zoom>125</zoom>")));
    EXPECT_TRUE(saved.contains(QStringLiteral("<history>последние</history>")));
    EXPECT_FALSE(saved.contains(QStringLiteral("settings of the other product")));

    const auto records = ConnectionsStorage::readConnectionsConfig(connectionsPath());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records.front().id, connection.id);
}

TEST_F(ConnectionsFiles, AMalformedSharedFileIsNeitherLoadedNorOverwritten) {
    const QByteArray malformed = "<config><connections_manager><connections>";
    writeFile(connectionsPath(), malformed);
    auto storage = folders.makeStorage();
    EXPECT_TRUE(storage->connections().empty());

    storage->addConnection(unreachableConnection(L"new"), {});
    EXPECT_EQ(readFile(connectionsPath()), malformed);
}

TEST_F(ConnectionsFiles, SavingCreatesTheMissingFolders) {
    // The sibling product's folder does not exist on a machine without that product; the user's
    // connections must still survive the program's end.
    QDir(folders.path(QStringLiteral("config"))).removeRecursively();
    auto storage = folders.makeStorage();
    const tarvo_cm::Connection connection = unreachableConnection(L"kept");
    storage->addConnection(connection, {QStringLiteral("K:\\"), QString()});

    ASSERT_EQ(ConnectionsStorage::readConnectionsConfig(connectionsPath()).size(), 1u);
    EXPECT_EQ(ConnectionsStorage::readMountPoints(mountPointsPath()).size(), 1u);
}

TEST_F(ConnectionsFiles, FirstStartGivesFreeLettersFromZDownwards) {
    folders.occupyLetter('Z');
    folders.occupyLetter('X');
    {
        auto storage = folders.makeStorage();
        for (const wchar_t* database : {L"one", L"two", L"three"}) {
            storage->addConnection(unreachableConnection(database), {});
        }
    }
    QFile::remove(mountPointsPath());

    auto storage = folders.makeStorage();
    const auto handles = storage->connections();
    ASSERT_EQ(handles.size(), 3u);
    EXPECT_EQ(handles[0]->mountPoint, QStringLiteral("Y:\\"));
    EXPECT_EQ(handles[1]->mountPoint, QStringLiteral("W:\\"));
    EXPECT_EQ(handles[2]->mountPoint, QStringLiteral("V:\\"));
    EXPECT_FALSE(QFile::exists(mountPointsPath())) << "loading wrote a file";
}

TEST_F(ConnectionsFiles, FirstStartWithEveryLetterTakenGivesNoLetter) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        folders.occupyLetter(letter);
    }
    {
        auto storage = folders.makeStorage();
        storage->addConnection(unreachableConnection(L"one"), {});
    }
    QFile::remove(mountPointsPath());
    auto storage = folders.makeStorage();
    ASSERT_EQ(storage->connections().size(), 1u);
    EXPECT_TRUE(storage->connections().front()->mountPoint.isEmpty());
}

TEST_F(ConnectionsFiles, AConnectionMissingFromAnExistingMountPointFileGetsNoLetter) {
    const tarvo_cm::Connection listed = unreachableConnection(L"listed");
    const tarvo_cm::Connection unlisted = unreachableConnection(L"unlisted");
    {
        auto storage = folders.makeStorage();
        storage->addConnection(listed, {QStringLiteral("M:\\"), QString()});
        storage->addConnection(unlisted, {});
    }
    auto storage = folders.makeStorage();
    const auto handles = storage->connections();
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(handles[0]->mountPoint, QStringLiteral("M:\\"));
    EXPECT_TRUE(handles[1]->mountPoint.isEmpty());
    EXPECT_EQ(ConnectionsStorage::readMountPoints(mountPointsPath()).count(unlisted.id), 0u);
}

TEST_F(ConnectionsFiles, RestartBringsBackConnectionsLettersAndNames) {
    const tarvo_cm::Connection first = unreachableConnection(L"first");
    const tarvo_cm::Connection second = unreachableConnection(L"second");
    {
        auto storage = folders.makeStorage();
        storage->addConnection(first, {QStringLiteral("R:\\"), QStringLiteral("Договоры")});
        storage->addConnection(second, {QStringLiteral("S:\\"), QString()});
    }
    auto storage = folders.makeStorage();
    const auto handles = storage->connections();
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(handles[0]->connection.id, first.id);
    EXPECT_EQ(handles[0]->connection.name, first.name);
    EXPECT_EQ(handles[0]->mountPoint, QStringLiteral("R:\\"));
    EXPECT_EQ(handles[0]->customName, QStringLiteral("Договоры"));
    EXPECT_EQ(handles[1]->connection.id, second.id);
    EXPECT_EQ(handles[1]->mountPoint, QStringLiteral("S:\\"));
    EXPECT_TRUE(handles[1]->customName.isEmpty());
}

// What the program cannot read stays where the user wrote it: loading writes nothing, and later
// saves write each unreadable record and mount-point entry back unchanged and in its place.
TEST_F(ConnectionsFiles, UnreadableRecordsStayInPlaceThroughStartAndSaves) {
    const tarvo_cm::Connection before = unreachableConnection(L"before");
    const tarvo_cm::Connection after = unreachableConnection(L"after");
    {
        auto storage = folders.makeStorage();
        storage->addConnection(before, {QStringLiteral("B:\\"), QString()});
        storage->addConnection(after, {QStringLiteral("A:\\"), QString()});
    }
    const QByteArray malformedRecord =
        "<connection><id>0a1b2c3d-0000-4000-8000-0000000000ff</id><name>broken</name>"
        "<endpoint><kind>ftp</kind></endpoint></connection>";
    const QByteArray invalidRecord =
        "<connection><id>0a1b2c3d-0000-4000-8000-0000000000fe</id><name>no database</name>"
        "<endpoint><kind>remote</kind><host>h</host><port>5432</port><database/></endpoint>"
        "<credentials><kind>current</kind></credentials></connection>";
    QByteArray connections = readFile(connectionsPath());
    const int second = connections.indexOf("<connection>", connections.indexOf("<connection>") + 1);
    connections.insert(second, malformedRecord + invalidRecord);
    writeFile(connectionsPath(), connections);
    QByteArray mountPoints = readFile(mountPointsPath());
    mountPoints.insert(mountPoints.indexOf("<mount_point>"),
                       "<mount_point><id>0a1b2c3d-0000-4000-8000-0000000000ff</id><path>W:\\</path>"
                       "</mount_point><mount_point><id>not-an-id</id><path>V:\\</path>"
                       "</mount_point>");
    writeFile(mountPointsPath(), mountPoints);

    auto storage = folders.makeStorage();
    const auto handles = storage->connections();
    ASSERT_EQ(handles.size(), 2u) << "the record after the unreadable ones was not loaded";
    EXPECT_EQ(handles[1]->connection.id, after.id);
    EXPECT_EQ(handles[1]->mountPoint, QStringLiteral("A:\\"));
    EXPECT_EQ(readFile(connectionsPath()), connections) << "loading changed the file";
    EXPECT_EQ(readFile(mountPointsPath()), mountPoints) << "loading changed the file";

    const tarvo_cm::Connection added = unreachableConnection(L"added");
    storage->addConnection(added, {QStringLiteral("C:\\"), QString()});
    storage->removeConnection(before);
    const QString savedConnections = QString::fromUtf8(readFile(connectionsPath()));
    const QStringList order{QStringLiteral("0a1b2c3d-0000-4000-8000-0000000000ff"),
                            QStringLiteral("0a1b2c3d-0000-4000-8000-0000000000fe"),
                            QString::fromStdString(boost::uuids::to_string(after.id)),
                            QString::fromStdString(boost::uuids::to_string(added.id))};
    int position = 0;
    for (const QString& id : order) {
        const int found = savedConnections.indexOf(id, position);
        EXPECT_GT(found, position) << id.toStdString() << " is missing or out of place\n"
                                   << savedConnections.toStdString();
        position = std::max(position, found);
    }
    EXPECT_TRUE(savedConnections.contains(QStringLiteral("<kind>ftp</kind>")));
    EXPECT_FALSE(
        savedConnections.contains(QString::fromStdString(boost::uuids::to_string(before.id))));
    const QString savedMountPoints = QString::fromUtf8(readFile(mountPointsPath()));
    EXPECT_TRUE(savedMountPoints.contains(QStringLiteral("<id>not-an-id</id>")));
    EXPECT_LT(savedMountPoints.indexOf(QStringLiteral("0000000000ff</id>")),
              savedMountPoints.indexOf(QStringLiteral("<id>not-an-id</id>")));
    EXPECT_EQ(ConnectionsStorage::readMountPoints(mountPointsPath()).size(),
              3u);  // ff, after, added
}

// A mount-point file that is not XML any more (cut short) is never replaced: its entries up to the
// cut still give the drives their letters.
TEST_F(ConnectionsFiles, ATruncatedMountPointFileIsKeptAndStillGivesLetters) {
    const tarvo_cm::Connection first = unreachableConnection(L"first");
    const tarvo_cm::Connection second = unreachableConnection(L"second");
    {
        auto storage = folders.makeStorage();
        storage->addConnection(first, {QStringLiteral("F:\\"), QString()});
        storage->addConnection(second, {QStringLiteral("G:\\"), QString()});
    }
    QByteArray truncated = readFile(mountPointsPath());
    truncated.truncate(truncated.lastIndexOf("<path>"));
    writeFile(mountPointsPath(), truncated);
    const QByteArray connections = readFile(connectionsPath());

    auto storage = folders.makeStorage();
    ASSERT_EQ(storage->connections().size(), 2u);
    EXPECT_EQ(storage->connections()[0]->mountPoint, QStringLiteral("F:\\"));
    EXPECT_TRUE(storage->connections()[1]->mountPoint.isEmpty());
    EXPECT_EQ(readFile(connectionsPath()), connections);
    EXPECT_EQ(readFile(mountPointsPath()), truncated);

    storage->updateConnection(second, {QStringLiteral("H:\\"), QString()});
    EXPECT_EQ(readFile(mountPointsPath()), truncated) << "the unreadable file was replaced";
    EXPECT_EQ(ConnectionsStorage::readConnectionsConfig(connectionsPath()).size(), 2u);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
