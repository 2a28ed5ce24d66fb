#include "DlgEditConnection.h"

#include <tarvo/exceptions.h>
#include <tarvo_cm/connection_editor_widget.h>
#include <tarvo_cm/password_store.h>
#include <tarvo_utils/long_task.h>
#include <tarvo_utils/qt_conv.h>
#include <win_compat/windows.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QVBoxLayout>

namespace {

const char kDialogGeometryKey[] = "DlgEditConnection/DialogGeometry";
const char kEditorGeometryKey[] = "DlgEditConnection/EditorGeometry";
constexpr int kCustomNameMaxLength = 32;
constexpr int kLetterCount = 26;

// The drive letter a path such as "Z:\" names, as a bit number of the drive mask; -1 for none.
int LetterIndex(const QString& path) {
    if (path.isEmpty()) {
        return -1;
    }
    const QChar first = path.at(0);
    if (first < QLatin1Char('A') || first > QLatin1Char('Z')) {
        return -1;
    }
    return first.unicode() - 'A';
}

}  // namespace

DlgEditConnection::DlgEditConnection(std::shared_ptr<tarvo::ICore> core, ConnectionHandle* handle,
                                     QWidget* parent, const ConnectionsStorage* storage)
    : QDialog(parent), m_core(std::move(core)), m_storage(storage) {
    const bool editMode = handle != nullptr;
    if (editMode) {
        m_connection = handle->connection;
    }

    m_editor = new tarvo_cm::ConnectionEditorWidget(m_core, m_connection, editMode, true, nullptr);

    auto* buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &DlgEditConnection::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &DlgEditConnection::reject);

    auto* testButton = new QPushButton(QDialog::tr("Тест"));
    connect(testButton, &QPushButton::clicked, this, [this] { testConnection(); });

    auto* buttonRow = new QHBoxLayout;
    buttonRow->addWidget(testButton);
    buttonRow->addWidget(buttonBox);

    auto* driveBox = new QGroupBox(QDialog::tr("Параметры диска"));
    auto* driveLayout = new QGridLayout(driveBox);
    m_driveLetters = new QComboBox;
    m_driveLetters->setObjectName("driveLetterCombo");
    m_customName = new QLineEdit;
    m_customName->setObjectName("customNameEdit");
    driveLayout->addWidget(new QLabel(QDialog::tr("Буква:")), 0, 0);
    driveLayout->addWidget(m_driveLetters, 0, 1);
    driveLayout->addWidget(new QLabel(QDialog::tr("Название:")), 1, 0);
    driveLayout->addWidget(m_customName, 1, 1);

    fillDriveLetters(editMode ? handle->mountPoint : QString());

    m_customName->setMaxLength(kCustomNameMaxLength);
    m_customName->setValidator(
        new QRegularExpressionValidator(QRegularExpression("^[\\S\\ ]{0,32}$"), this));
    m_customName->setText(editMode ? handle->customName : QString());

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_editor);
    layout->addWidget(driveBox);
    layout->addStretch();
    layout->addLayout(buttonRow);

    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setWindowTitle(editMode ? QDialog::tr("Настройки соединения")
                            : QDialog::tr("Создание соединения"));

    const QSettings settings;
    restoreGeometry(settings.value(kDialogGeometryKey).toByteArray());
    m_editor->restoreGeometry(settings.value(kEditorGeometryKey).toByteArray());
}

DlgEditConnection::~DlgEditConnection() {
    QSettings settings;
    settings.setValue(kDialogGeometryKey, saveGeometry());
    settings.setValue(kEditorGeometryKey, m_editor->saveGeometry());
}

void DlgEditConnection::setConnectionValidator(ConnectionValidator validator) {
    m_connectionValidator = std::move(validator);
}

MountPoint DlgEditConnection::mountPoint() const {
    return MountPoint{m_driveLetters->currentText(), m_customName->text()};
}

void DlgEditConnection::fillDriveLetters(const QString& currentPath) {
    m_driveLetters->addItem(QString());

    DWORD usedLetters = GetLogicalDrives();
    // Letters given to other connections stay theirs even while those are not connected.
    if (m_storage) {
        for (const ConnectionHandle* handle : m_storage->connections()) {
            const int letter = LetterIndex(handle->mountPoint);
            if (letter >= 0) {
                usedLetters |= DWORD{1} << letter;
            }
        }
    }

    const int currentLetter = LetterIndex(currentPath);
    for (int letter = 0; letter < kLetterCount; ++letter) {
        if (letter == currentLetter) {
            m_driveLetters->addItem(currentPath);
            m_driveLetters->setCurrentIndex(m_driveLetters->count() - 1);
        }
        if (usedLetters & (DWORD{1} << letter)) {
            continue;
        }
        m_driveLetters->addItem(QString("%1:\\").arg(QChar('A' + letter), 0, QLatin1Char(' ')));
    }
}

void DlgEditConnection::accept() {
    std::optional<tarvo_cm::Connection> candidate = m_editor->BuildConnectionFromUI();
    QString repositoryName;
    if (const std::optional<QString> error = tryConnect(candidate, &repositoryName)) {
        showError(*error);
        return;
    }
    candidate->name = repositoryName.toStdWString();
    if (m_connectionValidator) {
        const QString objection = m_connectionValidator(*candidate);
        if (!objection.isEmpty()) {
            showError(objection);
            return;
        }
    }
    if (!keepPassword(*candidate)) {
        return;
    }
    m_connection = *candidate;
    QDialog::accept();
}

bool DlgEditConnection::keepPassword(tarvo_cm::Connection& candidate) {
    const auto* basic = std::get_if<tarvo::auth::Basic>(&candidate.credentials);
    if (!basic || basic->password.empty() || candidate.storePasswordInFile) {
        return true;
    }
    // Stored now, while the user can still answer here: a keyring that fails or whose prompt
    // the user cancels must not leave the password silently kept for this run only.
    QString failure;
    if (tarvo_cm::PasswordStore::instance().store(candidate.id, basic->password, &failure)) {
        return true;
    }
    QMessageBox box(QMessageBox::Warning, QDialog::tr("Пароль не сохранён"),
                    QDialog::tr("Пароль не удалось сохранить в хранилище паролей рабочего стола: "
                                "%1.\nСохранить его в файле настроек открытым текстом или хранить "
                                "только до выхода из программы?")
                        .arg(failure),
                    QMessageBox::NoButton, this);
    QPushButton* toFile = box.addButton(QDialog::tr("Сохранить в файле"), QMessageBox::AcceptRole);
    QPushButton* forThisRun =
        box.addButton(QDialog::tr("До выхода из программы"), QMessageBox::DestructiveRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(toFile);
    box.exec();
    if (box.clickedButton() == toFile) {
        candidate.storePasswordInFile = true;
        return true;
    }
    return box.clickedButton() == forThisRun;
}

void DlgEditConnection::testConnection() {
    const std::optional<tarvo_cm::Connection> candidate = m_editor->BuildConnectionFromUI();
    if (const std::optional<QString> error = tryConnect(candidate, nullptr)) {
        showError(*error);
        return;
    }
    QMessageBox::information(this, QDialog::tr("Тест"), QDialog::tr("Соединение успешно."),
                             QMessageBox::Ok, QMessageBox::NoButton);
}

std::optional<QString> DlgEditConnection::tryConnect(
    const std::optional<tarvo_cm::Connection>& candidate, QString* repositoryName) {
    // Without a core nothing can be connected; say so instead of failing later.
    if (!candidate || !m_core) {
        return QDialog::tr("Невозможно создать соединение.");
    }
    try {
        const std::shared_ptr<tarvo::ICore> core = m_core;
        long_task::Run(
            [&core, &candidate, repositoryName] {
                std::shared_ptr<tarvo::IRepository> repository =
                    core->Connect(candidate->endpoint, candidate->credentials);
                if (repositoryName) {
                    *repositoryName = QString::fromStdWString(repository->GetRepositoryName());
                }
            },
            this, QDialog::tr("Установка соединения"));
    } catch (const exceptions::Error& error) {
        return qt_conv::FromStdWString(error.GetMessage());
    }

    if (m_storage) {
        for (const ConnectionHandle* handle : m_storage->connections()) {
            if (handle->connection.id == m_connection.id) {
                continue;
            }
            if (tarvo_cm::SameAddress(handle->connection, *candidate)) {
                return QDialog::tr("Такое соединение уже существует.");
            }
        }
    }
    return std::nullopt;
}

void DlgEditConnection::showError(const QString& text) {
    QMessageBox::warning(this, QObject::tr("Ошибка"), text, QMessageBox::Ok, QMessageBox::NoButton);
}
