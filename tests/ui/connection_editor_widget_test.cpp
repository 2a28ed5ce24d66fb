#include "gui_test_support.h"

#include <tarvo_cm/connection_editor_widget.h>

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>

namespace {

// The editor's inputs, found by their object names.
struct EditorInputs {
    explicit EditorInputs(QWidget& editor)
        : local(editor.findChild<QRadioButton*>("radioLocal")),
          server(editor.findChild<QRadioButton*>("radioServer")),
          host(editor.findChild<QLineEdit*>("editHost")),
          port(editor.findChild<QSpinBox*>("spinPort")),
          database(editor.findChild<QLineEdit*>("editDatabase")),
          currentUser(editor.findChild<QRadioButton*>("radioCurrentUser")),
          login(editor.findChild<QRadioButton*>("radioLogin")),
          loginName(editor.findChild<QLineEdit*>("editLogin")),
          password(editor.findChild<QLineEdit*>("editPassword")) {}

    bool complete() const {
        return local && server && host && port && database && currentUser && login && loginName &&
               password;
    }

    QRadioButton* local;
    QRadioButton* server;
    QLineEdit* host;
    QSpinBox* port;
    QLineEdit* database;
    QRadioButton* currentUser;
    QRadioButton* login;
    QLineEdit* loginName;
    QLineEdit* password;
};

TEST(ConnectionEditorWidget, CreateModeStartsWithTheLocalRepositoryAndAFreshId) {
    tarvo_cm::Connection record;
    const boost::uuids::uuid before = record.id;
    tarvo_cm::ConnectionEditorWidget editor(nullptr, record, false, true);
    EditorInputs inputs(editor);
    ASSERT_TRUE(inputs.complete());

    EXPECT_NE(record.id, before) << "a new record gets a new id";
    EXPECT_TRUE(inputs.local->isChecked());
    EXPECT_TRUE(inputs.currentUser->isChecked());
    EXPECT_EQ(inputs.port->value(), 5432);
    EXPECT_EQ(inputs.port->minimum(), 1);
    EXPECT_EQ(inputs.port->maximum(), 65535);
    EXPECT_EQ(inputs.password->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(inputs.host->isEnabled()) << "server fields are off for the local repository";
    EXPECT_FALSE(inputs.loginName->isEnabled());

    const std::optional<tarvo_cm::Connection> built = editor.BuildConnectionFromUI();
    ASSERT_TRUE(built);
    EXPECT_EQ(built->id, record.id);
    EXPECT_TRUE(std::holds_alternative<tarvo::endpoint::Local>(built->endpoint));
    EXPECT_TRUE(std::holds_alternative<tarvo::auth::Current>(built->credentials));
}

TEST(ConnectionEditorWidget, BuildsAServerConnectionWithLoginAndPassword) {
    tarvo_cm::Connection record;
    tarvo_cm::ConnectionEditorWidget editor(nullptr, record, false, true);
    EditorInputs inputs(editor);
    ASSERT_TRUE(inputs.complete());

    inputs.server->setChecked(true);
    EXPECT_TRUE(inputs.host->isEnabled());
    inputs.host->setText("  db.example.org ");
    inputs.port->setValue(6543);
    inputs.database->setText("Архив");
    inputs.login->setChecked(true);
    inputs.loginName->setText("иванов");
    inputs.password->setText(" пароль с пробелом ");

    const std::optional<tarvo_cm::Connection> built = editor.BuildConnectionFromUI();
    ASSERT_TRUE(built);
    const auto* remote = std::get_if<tarvo::endpoint::Remote>(&built->endpoint);
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(remote->host, L"db.example.org");
    EXPECT_EQ(remote->port, 6543);
    EXPECT_EQ(remote->database, L"Архив");
    const auto* basic = std::get_if<tarvo::auth::Basic>(&built->credentials);
    ASSERT_NE(basic, nullptr);
    EXPECT_EQ(basic->login, L"иванов");
    EXPECT_EQ(basic->password, L" пароль с пробелом ") << "a password is kept as typed";
    EXPECT_TRUE(built->isValid());
}

TEST(ConnectionEditorWidget, IncompleteInputMakesNoConnection) {
    tarvo_cm::Connection record;
    tarvo_cm::ConnectionEditorWidget editor(nullptr, record, false, true);
    EditorInputs inputs(editor);
    ASSERT_TRUE(inputs.complete());
    inputs.server->setChecked(true);

    inputs.database->setText("docs");
    inputs.host->setText("   ");
    EXPECT_FALSE(editor.BuildConnectionFromUI()) << "a server without host";

    inputs.host->setText("db");
    inputs.database->clear();
    EXPECT_FALSE(editor.BuildConnectionFromUI()) << "a server without database";

    inputs.database->setText("docs");
    inputs.login->setChecked(true);
    EXPECT_FALSE(editor.BuildConnectionFromUI()) << "a login without a name";

    inputs.loginName->setText("user");
    EXPECT_TRUE(editor.BuildConnectionFromUI());

    inputs.port->setValue(70000);
    EXPECT_EQ(inputs.port->value(), 65535) << "the port cannot leave its range";
}

TEST(ConnectionEditorWidget, EditModeShowsTheRecordAndKeepsItsIdAndName) {
    tarvo_cm::Connection record;
    tarvo::endpoint::Remote remote;
    remote.host = L"server";
    remote.port = 5433;
    remote.database = L"archive";
    remote.sslMode = L"require";
    record.endpoint = remote;
    record.credentials = tarvo::auth::Basic{L"admin", L"pw"};
    record.name = L"Архив";
    const boost::uuids::uuid id = record.id;

    tarvo_cm::ConnectionEditorWidget editor(nullptr, record, true, true);
    EditorInputs inputs(editor);
    ASSERT_TRUE(inputs.complete());
    EXPECT_EQ(record.id, id);
    EXPECT_TRUE(inputs.server->isChecked());
    EXPECT_EQ(inputs.host->text(), "server");
    EXPECT_EQ(inputs.port->value(), 5433);
    EXPECT_EQ(inputs.database->text(), "archive");
    EXPECT_TRUE(inputs.login->isChecked());
    EXPECT_EQ(inputs.loginName->text(), "admin");
    EXPECT_EQ(inputs.password->text(), "pw");

    inputs.database->setText("archive2");
    const std::optional<tarvo_cm::Connection> built = editor.BuildConnectionFromUI();
    ASSERT_TRUE(built);
    EXPECT_EQ(built->id, id);
    EXPECT_EQ(built->name, L"Архив");
    const auto& builtRemote = std::get<tarvo::endpoint::Remote>(built->endpoint);
    EXPECT_EQ(builtRemote.database, L"archive2");
    EXPECT_EQ(builtRemote.sslMode, L"require") << "settings the editor does not show survive";
}

}  // namespace
