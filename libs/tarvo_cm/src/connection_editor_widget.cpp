#include <tarvo_cm/connection_editor_widget.h>

#include <tarvo_cm/password_store.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <limits>

namespace tarvo_cm {

namespace {

constexpr int kDefaultPostgresPort = 5432;

// Text fields never carry meaningful surrounding blanks; a pasted host often does.
std::wstring TrimmedText(const QLineEdit* edit) {
    return edit->text().trimmed().toStdWString();
}

}  // namespace

ConnectionEditorWidget::ConnectionEditorWidget(std::shared_ptr<tarvo::ICore> core,
                                               Connection& connection, bool editMode,
                                               bool offerLocal, QWidget* parent)
    : QWidget(parent), m_core(std::move(core)), m_connection(connection) {
    if (!editMode) {
        m_connection.id = tarvo::GenerateUuid();
    }
    const bool recordIsLocal = std::holds_alternative<tarvo::endpoint::Local>(connection.endpoint);
    buildLayout(offerLocal || (editMode && recordIsLocal));
    if (editMode) {
        showRecord();
    }
    updateEnabledFields();
}

ConnectionEditorWidget::~ConnectionEditorWidget() = default;

void ConnectionEditorWidget::buildLayout(bool offerLocal) {
    auto* repositoryBox = new QGroupBox(tr("Хранилище"), this);
    auto* repositoryLayout = new QFormLayout(repositoryBox);
    m_localButton = new QRadioButton(tr("Встроенное хранилище на этом компьютере"), repositoryBox);
    m_localButton->setObjectName("radioLocal");
    m_serverButton = new QRadioButton(tr("Сервер PostgreSQL"), repositoryBox);
    m_serverButton->setObjectName("radioServer");
    m_hostEdit = new QLineEdit(repositoryBox);
    m_hostEdit->setObjectName("editHost");
    m_portSpin = new QSpinBox(repositoryBox);
    m_portSpin->setObjectName("spinPort");
    m_portSpin->setRange(1, std::numeric_limits<std::uint16_t>::max());
    m_portSpin->setValue(kDefaultPostgresPort);
    m_databaseEdit = new QLineEdit(repositoryBox);
    m_databaseEdit->setObjectName("editDatabase");
    repositoryLayout->addRow(m_localButton);
    repositoryLayout->addRow(m_serverButton);
    repositoryLayout->addRow(tr("Адрес сервера:"), m_hostEdit);
    repositoryLayout->addRow(tr("Порт:"), m_portSpin);
    repositoryLayout->addRow(tr("База данных:"), m_databaseEdit);
    m_localButton->setVisible(offerLocal);
    (offerLocal ? m_localButton : m_serverButton)->setChecked(true);

    auto* userBox = new QGroupBox(tr("Пользователь"), this);
    auto* userLayout = new QFormLayout(userBox);
    m_currentUserButton = new QRadioButton(tr("Текущий пользователь системы"), userBox);
    m_currentUserButton->setObjectName("radioCurrentUser");
    m_loginButton = new QRadioButton(tr("Имя и пароль"), userBox);
    m_loginButton->setObjectName("radioLogin");
    m_loginEdit = new QLineEdit(userBox);
    m_loginEdit->setObjectName("editLogin");
    m_passwordEdit = new QLineEdit(userBox);
    m_passwordEdit->setObjectName("editPassword");
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    userLayout->addRow(m_currentUserButton);
    userLayout->addRow(m_loginButton);
    userLayout->addRow(tr("Имя пользователя:"), m_loginEdit);
    userLayout->addRow(tr("Пароль:"), m_passwordEdit);
    m_currentUserButton->setChecked(true);
    const QString keyringProblem = PasswordStore::instance().unavailableReason();
    if (!keyringProblem.isEmpty()) {
        m_keyringNotice = new QLabel(keyringProblem, userBox);
        m_keyringNotice->setObjectName("labelKeyringUnavailable");
        m_keyringNotice->setWordWrap(true);
        m_storeInFileCheck =
            new QCheckBox(tr("Сохранить пароль в файле настроек открытым текстом"), userBox);
        m_storeInFileCheck->setObjectName("checkStorePasswordInFile");
        userLayout->addRow(m_keyringNotice);
        userLayout->addRow(m_storeInFileCheck);
    }

    // Radio buttons in one group box are exclusive among themselves already; the groups make the
    // two choices independent of each other explicitly.
    auto* repositoryChoice = new QButtonGroup(this);
    repositoryChoice->addButton(m_localButton);
    repositoryChoice->addButton(m_serverButton);
    auto* userChoice = new QButtonGroup(this);
    userChoice->addButton(m_currentUserButton);
    userChoice->addButton(m_loginButton);
    connect(m_serverButton, &QRadioButton::toggled, this,
            &ConnectionEditorWidget::updateEnabledFields);
    connect(m_loginButton, &QRadioButton::toggled, this,
            &ConnectionEditorWidget::updateEnabledFields);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(repositoryBox);
    layout->addWidget(userBox);
}

void ConnectionEditorWidget::showRecord() {
    if (const auto* remote = std::get_if<tarvo::endpoint::Remote>(&m_connection.endpoint)) {
        m_serverButton->setChecked(true);
        m_hostEdit->setText(QString::fromStdWString(remote->host));
        m_portSpin->setValue(remote->port);
        m_databaseEdit->setText(QString::fromStdWString(remote->database));
    } else {
        m_localButton->setChecked(true);
    }
    if (const auto* basic = std::get_if<tarvo::auth::Basic>(&m_connection.credentials)) {
        m_loginButton->setChecked(true);
        m_loginEdit->setText(QString::fromStdWString(basic->login));
        m_passwordEdit->setText(QString::fromStdWString(basic->password));
        if (m_storeInFileCheck != nullptr) {
            m_storeInFileCheck->setChecked(m_connection.storePasswordInFile);
        }
    } else {
        m_currentUserButton->setChecked(true);
    }
}

void ConnectionEditorWidget::updateEnabledFields() {
    const bool server = m_serverButton->isChecked();
    m_hostEdit->setEnabled(server);
    m_portSpin->setEnabled(server);
    m_databaseEdit->setEnabled(server);
    const bool login = m_loginButton->isChecked();
    m_loginEdit->setEnabled(login);
    m_passwordEdit->setEnabled(login);
    if (m_storeInFileCheck != nullptr) {
        m_storeInFileCheck->setEnabled(login);
    }
}

std::optional<Connection> ConnectionEditorWidget::BuildConnectionFromUI() const {
    Connection result = m_connection;
    if (m_serverButton->isChecked()) {
        tarvo::endpoint::Remote remote;
        if (const auto* edited = std::get_if<tarvo::endpoint::Remote>(&m_connection.endpoint)) {
            remote.sslMode = edited->sslMode;
        }
        remote.host = TrimmedText(m_hostEdit);
        remote.database = TrimmedText(m_databaseEdit);
        const int port = m_portSpin->value();
        if (remote.host.empty() || remote.database.empty() || port < 1 ||
            port > std::numeric_limits<std::uint16_t>::max()) {
            return std::nullopt;
        }
        remote.port = static_cast<std::uint16_t>(port);
        result.endpoint = remote;
    } else {
        result.endpoint = tarvo::endpoint::Local{};
    }
    if (m_loginButton->isChecked()) {
        tarvo::auth::Basic basic;
        basic.login = TrimmedText(m_loginEdit);
        // A password is taken as typed: blanks may belong to it.
        basic.password = m_passwordEdit->text().toStdWString();
        if (basic.login.empty()) {
            return std::nullopt;
        }
        result.credentials = basic;
        result.storePasswordInFile =
            m_storeInFileCheck != nullptr && m_storeInFileCheck->isChecked();
    } else {
        result.credentials = tarvo::auth::Current{};
    }
    return result;
}

}  // namespace tarvo_cm
