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

TEST_F(ConnectionsFiles, BrokenMountPointFilesKeepWhatWasReadBeforeTheFault) {
    struct Case {
        const char* name;
        QByteArray content;
        std::size_t entriesBeforeFault;
    };
    const Case cases[] = {
        {"not XML", "<config><mount_points><mount_point>", 0},
        {"no mount_points node", "<config><other/></config>", 0},
        {"attribute on mount_points",
         "<config><mount_points kind=\"x\"><mount_point><id>"
         "0a1b2c3d-0000-4000-8000-00000000000a</id><path>Z:\\</path>"
         "</mount_point></mount_points></config>",
         0},
        {"unparsable id after a good entry",
         "<config><mount_points>"
         "<mount_point><id>0a1b2c3d-0000-4000-8000-00000000000a</id><path>Z:\\</path></mount_point>"
         "<mount_point><id>not-an-id</id><path>Y:\\</path></mount_point>"
         "<mount_point><id>0a1b2c3d-0000-4000-8000-00000000000c</id><path>X:\\</path></mount_point>"
         "</mount_points></config>",
         1},
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
                  broken.entriesBeforeFault);
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
    EXPECT_EQ(ConnectionsStorage::readMountPoints(mountPointsPath()).size(), 3u);
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

TEST_F(ConnectionsFiles, AnInvalidConnectionDisappearsAtTheNextSave) {
    const tarvo_cm::Connection valid = unreachableConnection(L"valid");
    tarvo_cm::Connection invalid = unreachableConnection(L"");  // a server without a database
    std::vector<tarvo_cm::Connection> records{valid, invalid};
    {
        auto storage = folders.makeStorage();
        storage->addConnection(valid, {});
    }
    // Put the invalid record into the file beside the valid one, as another program might.
    boost::property_tree::wptree tree;
    tarvo_cm::config::WriteConfigSubtree(
        tree.put_child(L"config.connections_manager.connections", {}), records);
    std::wostringstream text;
    boost::property_tree::write_xml(text, tree);
    writeFile(connectionsPath(), QString::fromStdWString(text.str()).toUtf8());

    auto storage = folders.makeStorage();
    ASSERT_EQ(storage->connections().size(), 1u);
    const auto saved = ConnectionsStorage::readConnectionsConfig(connectionsPath());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved.front().id, valid.id);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
