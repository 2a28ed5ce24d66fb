// Passwords of connections: never in plain text in the connections file unless the user accepted
// it; in the desktop's keyring under the connection's id where there is one (checked in a private
// D-Bus session with its own keyring daemon, see password_store_session_child.cpp); for the
// running process only where there is none.
#include "child_process.h"
#include "test_support.h"

#include <tarvo_cm/config.h>
#include <tarvo_cm/connection_editor_widget.h>
#include <tarvo_cm/password_store.h>

#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTemporaryDir>

#include <fstream>
#include <iterator>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

namespace kelvo_test {
namespace {

using boost::property_tree::wptree;

tarvo_cm::Connection BasicConnection(const std::wstring& password) {
    tarvo_cm::Connection connection;
    connection.name = L"Общие документы";
    connection.endpoint = tarvo::endpoint::Remote{L"db.local", 5432, L"docs", L"prefer"};
    connection.credentials = tarvo::auth::Basic{L"ivan", password};
    return connection;
}

std::wstring WrittenXml(const std::vector<tarvo_cm::Connection>& connections) {
    wptree root;
    auto& node = root.put_child(L"connections", wptree());
    tarvo_cm::config::WriteConfigSubtree(node, connections);
    std::wostringstream text;
    boost::property_tree::write_xml(text, root);
    return text.str();
}

std::vector<tarvo_cm::Connection> ReadBack(const std::wstring& xml) {
    wptree root;
    std::wistringstream text(xml);
    boost::property_tree::read_xml(text, root);
    std::vector<tarvo_cm::Connection> connections;
    tarvo_cm::config::ReadConfigSubtree(root.get_child(L"connections"), connections);
    return connections;
}

// The tests' own bus address leads nowhere (see main): no keyring.
TEST(PasswordWithoutKeyringTest, KeepsThePasswordForTheProcessAndOutOfTheFile) {
    auto& store = tarvo_cm::PasswordStore::instance();
    EXPECT_FALSE(store.isAvailable());
    EXPECT_FALSE(store.unavailableReason().isEmpty());

    const auto connection = BasicConnection(L"тайна-1");
    const std::wstring xml = WrittenXml({connection});
    EXPECT_EQ(xml.find(L"тайна-1"), std::wstring::npos) << xml;
    EXPECT_NE(xml.find(L"<password_store>session</password_store>"), std::wstring::npos);

    // Within the same process the password is still known.
    const auto read = ReadBack(xml);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(std::get<tarvo::auth::Basic>(read[0].credentials).password, L"тайна-1");
    EXPECT_FALSE(read[0].storePasswordInFile);

    // Removing the connection forgets it.
    store.remove(connection.id);
    EXPECT_EQ(std::get<tarvo::auth::Basic>(ReadBack(xml)[0].credentials).password, L"");
}

TEST(PasswordWithoutKeyringTest, WritesItIntoTheFileOnlyWhenTheUserAccepted) {
    auto connection = BasicConnection(L"тайна-2");
    connection.storePasswordInFile = true;
    const std::wstring xml = WrittenXml({connection});
    EXPECT_NE(xml.find(L"<password>тайна-2</password>"), std::wstring::npos) << xml;
    tarvo_cm::PasswordStore::instance().remove(connection.id);

    const auto read = ReadBack(xml);
    EXPECT_EQ(std::get<tarvo::auth::Basic>(read[0].credentials).password, L"тайна-2");
    EXPECT_TRUE(read[0].storePasswordInFile);
}

TEST(PasswordWithoutKeyringTest, ReadsFilesWrittenBeforeTheKeyringAndRefusesUnknownPlaces) {
    const std::wstring old =
        L"<connections><connection><id>0b3a4c1e-0000-4000-8000-000000000001</id><name>n</name>"
        L"<endpoint><kind>local</kind></endpoint><credentials><kind>basic</kind><login>u</login>"
        L"<password>old-secret</password></credentials></connection></connections>";
    const auto read = ReadBack(old);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(std::get<tarvo::auth::Basic>(read[0].credentials).password, L"old-secret");
    // Written again without a keyring to take it, the password stays in the file: it would be
    // lost at the program's end otherwise.
    EXPECT_NE(WrittenXml(read).find(L"<password>old-secret</password>"), std::wstring::npos);

    std::wstring unknown = old;
    unknown.replace(unknown.find(L"<password>old-secret</password>"), 31,
                    L"<password_store>cloud</password_store>");
    EXPECT_THROW(ReadBack(unknown), tarvo::TarvoError);
}

TEST(PasswordWithoutKeyringTest, TheConnectionEditorSaysSoAndOffersTheFile) {
    tarvo_cm::Connection record;
    tarvo_cm::ConnectionEditorWidget editor(tarvo::CreateCore(), record, false, true);
    const auto* notice = editor.findChild<QLabel*>("labelKeyringUnavailable");
    auto* storeInFile = editor.findChild<QCheckBox*>("checkStorePasswordInFile");
    ASSERT_NE(notice, nullptr);
    ASSERT_NE(storeInFile, nullptr);
    EXPECT_TRUE(notice->text().contains(QStringLiteral("недоступно")));
    EXPECT_FALSE(storeInFile->isChecked());  // only by the user's explicit choice

    editor.findChild<QRadioButton*>("radioLogin")->setChecked(true);
    editor.findChild<QLineEdit*>("editLogin")->setText(QStringLiteral("ivan"));
    editor.findChild<QLineEdit*>("editPassword")->setText(QStringLiteral("secret"));
    EXPECT_FALSE(editor.BuildConnectionFromUI()->storePasswordInFile);
    storeInFile->setChecked(true);
    EXPECT_TRUE(editor.BuildConnectionFromUI()->storePasswordInFile);
}

TEST(PasswordInKeyringTest, StoresAndReadsBackThroughAPrivateKeyringDaemon) {
    for (const char* tool :
         {"/usr/bin/dbus-run-session", "/usr/bin/gnome-keyring-daemon", "/usr/bin/dbus-send"}) {
        if (::access(tool, X_OK) != 0) {
            GTEST_SKIP() << tool << " is missing (packages dbus-x11 and gnome-keyring)";
        }
    }
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const std::string folder = home.path().toStdString();
    // The daemon keeps its keyring files and socket in these folders, never in the user's own.
    ScopedEnvironment homeVariable("HOME", folder);
    ScopedEnvironment dataVariable("XDG_DATA_HOME", folder + "/data");
    ScopedEnvironment runtimeVariable("XDG_RUNTIME_DIR", folder);
    ScopedEnvironment marker("KELVO_TEST_PRIVATE_KEYRING", "1");
    // A keyring daemon unlocked with a known password, registered on the private bus before the
    // child starts, and stopped after it.
    const std::string script =
        "printf %s known-keyring-password | gnome-keyring-daemon --foreground --unlock "
        "--components=secrets >/dev/null 2>&1 & daemon=$!; "
        "for attempt in $(seq 1 100); do dbus-send --session --print-reply "
        "--dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner "
        "string:org.freedesktop.secrets 2>/dev/null | grep -q true && break; sleep 0.1; done; "
        "\"$0\" >\"$HOME/child.log\" 2>&1; status=$?; kill $daemon; wait $daemon; exit $status";
    ChildProcess child("/usr/bin/dbus-run-session",
                       {"--", "sh", "-c", script, KELVO_PASSWORD_STORE_SESSION_CHILD});
    const int status = child.Wait();
    std::ifstream log(folder + "/child.log");
    const std::string output((std::istreambuf_iterator<char>(log)),
                             std::istreambuf_iterator<char>());
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ]"), std::string::npos) << output;
}

}  // namespace
}  // namespace kelvo_test

int main(int argc, char** argv) {
    // Hermetic even when started by hand from a desktop: the real keyring is never touched.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelvo-test-bus", 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
