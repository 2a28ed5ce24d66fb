// Runs inside the private D-Bus session with its own keyring daemon that password_store_test
// starts: a password goes into the keyring and comes back, the connections file holds none, and
// removing forgets it. Refuses to run anywhere else, so that it never writes into a real keyring.
#include "storage_test_support.h"

#include <tarvo_cm/config.h>
#include <tarvo_cm/password_store.h>

#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>

#include <QCoreApplication>

#include <cstdlib>
#include <iostream>
#include <sstream>

namespace {

using boost::property_tree::wptree;

TEST(PrivateKeyringTest, KeepsPasswordsUnderTheConnectionIdAndNotInTheFile) {
    tarvo_cm::PasswordStore store(QStringLiteral("KelvoDriveTest"));
    ASSERT_TRUE(store.isAvailable()) << store.unavailableReason().toStdString();
    EXPECT_TRUE(store.unavailableReason().isEmpty());

    const auto id = tarvo::GenerateUuid();
    EXPECT_TRUE(store.store(id, L"пароль в связке"));
    // Another store has nothing in memory: what it reads comes from the keyring.
    tarvo_cm::PasswordStore fresh(QStringLiteral("KelvoDriveTest"));
    EXPECT_EQ(fresh.load(id), L"пароль в связке");
    EXPECT_EQ(fresh.load(tarvo::GenerateUuid()), L"");

    store.remove(id);
    tarvo_cm::PasswordStore afterRemoval(QStringLiteral("KelvoDriveTest"));
    EXPECT_EQ(afterRemoval.load(id), L"");
}

TEST(PrivateKeyringTest, TheConnectionsSubtreeNamesTheKeyringInsteadOfThePassword) {
    tarvo_cm::Connection connection;
    connection.name = L"Общие документы";
    connection.endpoint = tarvo::endpoint::Remote{L"db.local", 5432, L"docs", L"prefer"};
    connection.credentials = tarvo::auth::Basic{L"ivan", L"секрет-связки"};
    // Even with the user's consent to the file, the keyring wins where there is one.
    connection.storePasswordInFile = true;

    wptree root;
    tarvo_cm::config::WriteConfigSubtree(root.put_child(L"connections", wptree()), {connection});
    std::wostringstream xml;
    boost::property_tree::write_xml(xml, root);
    EXPECT_EQ(xml.str().find(L"секрет-связки"), std::wstring::npos) << xml.str().size();
    EXPECT_NE(xml.str().find(L"<password_store>keyring</password_store>"), std::wstring::npos);

    // The password is in the keyring under the connection's id...
    tarvo_cm::PasswordStore independent;
    EXPECT_EQ(independent.load(connection.id), L"секрет-связки");
    // ...and reading the subtree brings it back into the record.
    std::vector<tarvo_cm::Connection> read;
    tarvo_cm::config::ReadConfigSubtree(root.get_child(L"connections"), read);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(std::get<tarvo::auth::Basic>(read[0].credentials).password, L"секрет-связки");

    // Removing the connection removes its password.
    tarvo_cm::PasswordStore::instance().remove(connection.id);
    tarvo_cm::PasswordStore afterRemoval;
    EXPECT_EQ(afterRemoval.load(connection.id), L"");
}

TEST(PrivateKeyringTest, TheStorageKeepsThePasswordOutOfItsFileAndRemovesItWithTheConnection) {
    kelvo_test::StorageFixtureFolders folders;
    auto storage = folders.makeStorage();
    auto connection = kelvo_test::unreachableConnection(L"docs");
    connection.credentials = tarvo::auth::Basic{L"reader", L"unique-password-42"};
    storage->addConnection(connection, {});

    const QByteArray file = kelvo_test::readFile(folders.paths().connectionsConfigPath);
    EXPECT_FALSE(file.contains("unique-password-42")) << file.toStdString();
    EXPECT_TRUE(file.contains("<password_store>keyring</password_store>"));
    tarvo_cm::PasswordStore independent;
    EXPECT_EQ(independent.load(connection.id), L"unique-password-42");

    ASSERT_TRUE(storage->removeConnection(connection));
    tarvo_cm::PasswordStore afterRemoval;
    EXPECT_EQ(afterRemoval.load(connection.id), L"");
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("KELVO_TEST_PRIVATE_KEYRING") == nullptr) {
        std::cerr << "runs only inside the private keyring session of password_store_test\n";
        return 2;
    }
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
