// The connection record's configuration subtree and display name.
#include <tarvo_cm/config.h>
#include <tarvo_cm/helpers.h>

#include <tarvo/errors.h>

#include <gtest/gtest.h>

#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <sstream>

namespace kelvo_test {
namespace {

using boost::property_tree::wptree;

tarvo_cm::Connection LocalConnection() {
    tarvo_cm::Connection connection;
    connection.name = L"Локальное хранилище";
    return connection;
}

tarvo_cm::Connection RemoteConnection() {
    tarvo_cm::Connection connection;
    connection.name = L"Архив <отдела> & \"кадров\"";
    connection.endpoint = tarvo::endpoint::Remote{L"db.example", 6432, L"archive", L"require"};
    connection.credentials = tarvo::auth::Basic{L"ivan", L"p@ss <word>"};
    return connection;
}

void ExpectSame(const tarvo_cm::Connection& actual, const tarvo_cm::Connection& expected) {
    EXPECT_EQ(actual.id, expected.id);
    EXPECT_EQ(actual.name, expected.name);
    EXPECT_TRUE(actual.endpoint == expected.endpoint);
    EXPECT_TRUE(actual.credentials == expected.credentials);
}

// Through the XML text, as the configuration file stores it.
wptree ThroughXml(const wptree& tree) {
    std::wstringstream text;
    boost::property_tree::write_xml(text, tree);
    wptree read;
    boost::property_tree::read_xml(text, read);
    return read;
}

TEST(ConnectionConfigTest, ReadingWhatWasWrittenGivesTheSameRecords) {
    const std::vector<tarvo_cm::Connection> written{LocalConnection(), RemoteConnection()};
    wptree root;
    tarvo_cm::config::WriteConfigSubtree(root.put_child(L"connections", wptree()), written);

    const wptree stored = ThroughXml(root);
    std::vector<tarvo_cm::Connection> read;
    tarvo_cm::config::ReadConfigSubtree(stored.get_child(L"connections"), read);
    ASSERT_EQ(read.size(), 2u);
    ExpectSame(read[0], written[0]);
    ExpectSame(read[1], written[1]);
    EXPECT_EQ(stored.get_child(L"connections").front().second.get<std::wstring>(L"id"),
              boost::uuids::to_wstring(written[0].id));
}

wptree EntryWith(const std::wstring& path, const std::wstring& value) {
    wptree root;
    tarvo_cm::config::WriteConfigSubtree(root, {RemoteConnection()});
    root.front().second.put(path, value);
    return root;
}

TEST(ConnectionConfigTest, RefusesMalformedEntriesClearly) {
    const std::pair<std::wstring, std::wstring> faults[] = {
        {L"id", L"not-a-uuid"},       {L"id", L"{0123456789abcdef0123456789abcdef}"},
        {L"endpoint.kind", L"ftp"},   {L"endpoint.port", L"seventy"},
        {L"endpoint.port", L"70000"}, {L"credentials.kind", L"token"},
    };
    for (const auto& [path, value] : faults) {
        std::vector<tarvo_cm::Connection> read;
        EXPECT_ANY_THROW(tarvo_cm::config::ReadConfigSubtree(EntryWith(path, value), read))
            << std::string(path.begin(), path.end());
        EXPECT_TRUE(read.empty());
    }
    try {
        std::vector<tarvo_cm::Connection> read;
        tarvo_cm::config::ReadConfigSubtree(EntryWith(L"endpoint.kind", L"ftp"), read);
    } catch (const tarvo::TarvoError& error) {
        EXPECT_NE(error.GetMessage().find(L"ftp"), std::wstring::npos);
    }
}

TEST(ConnectionConfigTest, KeepsTheRecordsReadBeforeAMalformedOne) {
    wptree root;
    tarvo_cm::config::WriteConfigSubtree(root, {LocalConnection(), RemoteConnection()});
    root.back().second.get_child(L"endpoint").erase(L"host");
    root.add(L"unrelated", L"ignored");
    std::vector<tarvo_cm::Connection> read;
    EXPECT_THROW(tarvo_cm::config::ReadConfigSubtree(root, read),
                 boost::property_tree::ptree_error);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<tarvo::endpoint::Local>(read[0].endpoint));
}

TEST(ConnectionConfigTest, DisplayNameShowsTheServerOfRemoteRepositories) {
    EXPECT_EQ(tarvo_cm::helpers::FormatDisplayName(LocalConnection()),
              QStringLiteral("Локальное хранилище"));
    auto remote = RemoteConnection();
    remote.name = L"Архив";
    EXPECT_EQ(tarvo_cm::helpers::FormatDisplayName(remote),
              QStringLiteral("Архив (db.example:6432/archive)"));
    remote.name.clear();
    EXPECT_TRUE(tarvo_cm::helpers::FormatDisplayName(remote).contains(
        QStringLiteral("db.example:6432/archive")));
    tarvo_cm::Connection unnamed;
    EXPECT_FALSE(tarvo_cm::helpers::FormatDisplayName(unnamed).isEmpty());
}

TEST(ConnectionConfigTest, ValidRecordsHaveAnIdAndAReachableAddress) {
    EXPECT_TRUE(LocalConnection().isValid());
    EXPECT_TRUE(RemoteConnection().isValid());
    auto noHost = RemoteConnection();
    std::get<tarvo::endpoint::Remote>(noHost.endpoint).host.clear();
    EXPECT_FALSE(noHost.isValid());
    auto nilId = LocalConnection();
    nilId.id = boost::uuids::uuid{};
    EXPECT_FALSE(nilId.isValid());
    EXPECT_NE(tarvo_cm::Connection().id, tarvo_cm::Connection().id);
}

}  // namespace
}  // namespace kelvo_test
