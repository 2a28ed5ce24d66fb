#include "DlgEditConnection.h"
#include "gui_test_support.h"

#include <win_compat/windows.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTest>
#include <QValidator>

namespace {

// Fault injection: a core whose every connection attempt fails as an unreachable server would.
class UnreachableCore : public tarvo::ICore {
public:
    std::shared_ptr<tarvo::IRepository> Connect(const tarvo::Endpoint&,
                                                const tarvo::Credentials&) override {
        throw tarvo::TarvoError(tarvo::errc::NotConnected,
                                L"Сервер хранилища недоступен: в соединении отказано");
    }
};

// Reaches the user's local repository whatever address and login it is given, so that a server
// connection with a password can be accepted without a server.
class AnyAddressCore : public tarvo::ICore {
public:
    std::shared_ptr<tarvo::IRepository> Connect(const tarvo::Endpoint&,
                                                const tarvo::Credentials&) override {
        return tarvo::CreateCore()->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    }
};

class DlgEditConnectionTest : public ui_test::StorageTest {
protected:
    static QComboBox* letters(QDialog& dialog) {
        return dialog.findChild<QComboBox*>("driveLetterCombo");
    }
    static QLineEdit* nameEdit(QDialog& dialog) {
        return dialog.findChild<QLineEdit*>("customNameEdit");
    }
    static QStringList items(QComboBox* combo) {
        QStringList texts;
        for (int i = 0; i < combo->count(); ++i) {
            texts << combo->itemText(i);
        }
        return texts;
    }
    static QPushButton* testButton(QDialog& dialog) {
        for (QPushButton* button : dialog.findChildren<QPushButton*>()) {
            if (button->text() == "Тест") {
                return button;
            }
        }
        return nullptr;
    }
    // Shows the server inputs of the editor with an empty host.
    static void chooseServerWithoutHost(QDialog& dialog) {
        dialog.findChild<QRadioButton*>("radioServer")->setChecked(true);
        dialog.findChild<QLineEdit*>("editDatabase")->setText("docs");
    }
    // The list the dialog must offer: the empty item, then every letter that neither the system
    // nor a connection uses, with `current` at its own letter's place.
    static QStringList expectedLetters(DWORD takenByConnections, const QString& current = {}) {
        const DWORD used = GetLogicalDrives() | takenByConnections;
        QStringList expected{QString()};
        for (int letter = 0; letter < 26; ++letter) {
            const QString path = QString("%1:\\").arg(QChar('A' + letter));
            if (!current.isEmpty() && current.at(0) == path.at(0)) {
                expected << current;
            }
            if (!(used & (DWORD{1} << letter))) {
                expected << path;
            }
        }
        return expected;
    }
    // Marks a letter as used by the system, as a file in the drives folder does.
    struct OccupiedLetter {
        explicit OccupiedLetter(const QString& letter)
            : file(ui_test::DrivesFolder() + "/" + letter) {
            file.open(QIODevice::WriteOnly);
        }
        ~OccupiedLetter() { file.remove(); }
        QFile file;
    };
};

constexpr DWORD Bit(char letter) {
    return DWORD{1} << (letter - 'A');
}

TEST_F(DlgEditConnectionTest, CreateModeOffersTheFreeLettersWithTheEmptyItemSelected) {
    const OccupiedLetter systemDrive("C");
    ASSERT_TRUE(add(RemoteConnection(L"other"), "K:\\"));
    ASSERT_TRUE(add(RemoteConnection(L"third"), "T:\\"));
    DlgEditConnection dialog(m_storage->core(), nullptr, nullptr);

    EXPECT_EQ(dialog.windowTitle(), "Создание соединения");
    QComboBox* combo = letters(dialog);
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(items(combo), expectedLetters(Bit('K') | Bit('T')));
    EXPECT_FALSE(items(combo).contains("K:\\")) << "another connection's letter, not connected";
    if (GetLogicalDrives() & Bit('C')) {
        EXPECT_FALSE(items(combo).contains("C:\\")) << "a letter the system uses";
    }
    EXPECT_EQ(combo->currentIndex(), 0);
    EXPECT_EQ(dialog.mountPoint().path, "");
}

TEST_F(DlgEditConnectionTest, EditModeOffersTheEditedPathAtItsLettersPlace) {
    const OccupiedLetter itsOwnDrive("D");
    ConnectionHandle* edited = add(RemoteConnection(L"edited"), "D:\\", "Рабочие");
    ASSERT_TRUE(edited);
    ASSERT_TRUE(add(RemoteConnection(L"other"), "E:\\"));
    DlgEditConnection dialog(m_storage->core(), edited, nullptr);

    EXPECT_EQ(dialog.windowTitle(), "Настройки соединения");
    QComboBox* combo = letters(dialog);
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(items(combo), expectedLetters(Bit('D') | Bit('E'), "D:\\"));
    EXPECT_EQ(combo->currentText(), "D:\\");
    EXPECT_EQ(items(combo).count("D:\\"), 1);
    EXPECT_EQ(nameEdit(dialog)->text(), "Рабочие");
    EXPECT_EQ(dialog.mountPoint().path, "D:\\");
    EXPECT_EQ(dialog.mountPoint().customName, "Рабочие");
}

TEST_F(DlgEditConnectionTest, NameTakesSpacesButNoTabsAndAtMost32Characters) {
    DlgEditConnection dialog(m_storage->core(), nullptr, nullptr);
    QLineEdit* name = nameEdit(dialog);
    ASSERT_NE(name, nullptr);
    ASSERT_NE(name->validator(), nullptr);
    EXPECT_EQ(name->maxLength(), 32);

    const auto state = [name](QString text) {
        int position = 0;
        return name->validator()->validate(text, position);
    };
    EXPECT_EQ(state("Мой диск с пробелами"), QValidator::Acceptable);
    EXPECT_EQ(state(""), QValidator::Acceptable);
    EXPECT_EQ(state("с\tтабуляцией"), QValidator::Invalid);
    EXPECT_EQ(state("две\nстроки"), QValidator::Invalid);
    EXPECT_EQ(state(QString(32, 'x')), QValidator::Acceptable);
    EXPECT_NE(state(QString(33, 'x')), QValidator::Acceptable);

    QTest::keyClicks(name, QString(40, 'x'));
    EXPECT_EQ(name->text().size(), 32);
    name->clear();
    QTest::keyClicks(name, "a b");
    name->insert("\t");  // as a paste would
    EXPECT_EQ(name->text(), "a b");
}

TEST_F(DlgEditConnectionTest, AcceptStoresTheRepositoryNameAndTheDrive) {
    DlgEditConnection dialog(m_storage->core(), nullptr, nullptr);
    letters(dialog)->setCurrentText("R:\\");
    nameEdit(dialog)->setText("Мои документы");
    int validatorCalls = 0;
    std::wstring validatedName;
    dialog.setConnectionValidator([&](const tarvo_cm::Connection& candidate) {
        ++validatorCalls;
        validatedName = candidate.name;
        return QString();
    });

    {
        ui_test::ModalAnswers answers;  // success shows nothing
        dialog.accept();
    }
    ASSERT_EQ(dialog.result(), QDialog::Accepted);
    const std::wstring expectedName =
        m_storage->core()
            ->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{})
            ->GetRepositoryName();
    EXPECT_EQ(dialog.connection().name, expectedName);
    EXPECT_EQ(validatorCalls, 1);
    EXPECT_EQ(validatedName, expectedName) << "the validator sees the fetched name";
    EXPECT_TRUE(std::holds_alternative<tarvo::endpoint::Local>(dialog.connection().endpoint));
    EXPECT_EQ(dialog.mountPoint().customName, "Мои документы");
}

TEST_F(DlgEditConnectionTest, EveryRefusalShowsItsErrorAndKeepsTheDialogOpen) {
    ASSERT_TRUE(add(LocalConnection(L"existing")));

    const auto refusal = [](DlgEditConnection& dialog) {
        ui_test::MessageBoxSeen seen;
        ui_test::ModalAnswers answers;
        answers.then(ui_test::RecordAndPress(seen, QMessageBox::Ok));
        dialog.accept();
        EXPECT_NE(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(seen.title, "Ошибка");
        EXPECT_TRUE(seen.warning);
        EXPECT_EQ(seen.buttons, QStringList{"ОК"}) << "in Cyrillic letters";
        return seen.text;
    };

    {
        DlgEditConnection dialog(m_storage->core(), nullptr, nullptr);
        chooseServerWithoutHost(dialog);
        EXPECT_EQ(refusal(dialog), "Невозможно создать соединение.");
    }
    {
        DlgEditConnection dialog(std::make_shared<UnreachableCore>(), nullptr, nullptr);
        EXPECT_EQ(refusal(dialog), "Сервер хранилища недоступен: в соединении отказано");
    }
    {
        // A real server address where nothing listens: the client library's own English words
        // stand on a line of their own, without tabs.
        ConnectionHandle* closed = add(RemoteConnection(L"closed"));
        DlgEditConnection dialog(m_storage->core(), closed, nullptr);
        const QString text = refusal(dialog);
        EXPECT_TRUE(text.contains("\nСообщение сервера: ")) << text.toStdString();
        EXPECT_FALSE(text.contains('\t')) << text.toStdString();
        m_storage->removeConnection(closed->connection);
    }
    {
        // The default input is the local repository, which "existing" already reaches.
        DlgEditConnection dialog(m_storage->core(), nullptr, nullptr);
        EXPECT_EQ(refusal(dialog), "Такое соединение уже существует.");
    }
    {
        DlgEditConnection dialog(m_storage->core(), nullptr, nullptr);
        dialog.setConnectionValidator([](const tarvo_cm::Connection&) {
            return QString("Соединение с таким ID уже существует");
        });
        m_storage->removeConnection(m_storage->connections().front()->connection);
        EXPECT_EQ(refusal(dialog), "Соединение с таким ID уже существует");
        // The user may try again: the same dialog accepts once nothing objects.
        dialog.setConnectionValidator({});
        ui_test::ModalAnswers answers;
        dialog.accept();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
}

// The tests have no keyring (their session bus leads nowhere): storing the password fails, and
// the dialog says so instead of keeping it for this run without a word.
TEST_F(DlgEditConnectionTest, KeyringRefusalIsToldAndOffersTheFileStore) {
    ConnectionHandle* edited = add(RemoteConnection(L"docs"), QString(), "С паролем");
    ASSERT_TRUE(edited);
    const auto answer = [](QString& text, const QString& button) {
        return [&text, button](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr) << modal->windowTitle().toStdString();
            text = box->text();
            for (QAbstractButton* candidate : box->buttons()) {
                if (candidate->text() == button) {
                    candidate->click();
                    return;
                }
            }
            ADD_FAILURE() << "no button " << button.toStdString();
            box->reject();
        };
    };

    DlgEditConnection dialog(std::make_shared<AnyAddressCore>(), edited, nullptr);
    QString told;
    {
        ui_test::ModalAnswers answers;
        answers.then(answer(told, "Отмена"));
        dialog.accept();
    }
    EXPECT_TRUE(told.contains("Пароль не удалось сохранить в хранилище паролей"))
        << told.toStdString();
    EXPECT_NE(dialog.result(), QDialog::Accepted) << "cancel goes back to the dialog";

    {
        ui_test::ModalAnswers answers;
        answers.then(answer(told, "Сохранить в файле"));
        dialog.accept();
    }
    ASSERT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(dialog.connection().storePasswordInFile);
    EXPECT_EQ(std::get<tarvo::auth::Basic>(dialog.connection().credentials).password, L"secret");
}

TEST_F(DlgEditConnectionTest, EditingKeepsItsOwnAddressWithoutConflict) {
    ConnectionHandle* edited = add(LocalConnection(L"local"), QString(), "Своё");
    ASSERT_TRUE(edited);
    DlgEditConnection dialog(m_storage->core(), edited, nullptr);
    ui_test::ModalAnswers answers;
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.connection().id, edited->connection.id);
}

TEST_F(DlgEditConnectionTest, TestButtonReportsSuccessAndChangesNothing) {
    DlgEditConnection dialog(m_storage->core(), nullptr, nullptr);
    QPushButton* test = testButton(dialog);
    ASSERT_NE(test, nullptr);
    bool validatorCalled = false;
    dialog.setConnectionValidator([&](const tarvo_cm::Connection&) {
        validatorCalled = true;
        return QString("не должен вызываться");
    });
    const tarvo_cm::Connection before = dialog.connection();

    ui_test::MessageBoxSeen success;
    {
        ui_test::ModalAnswers answers;
        answers.then(ui_test::RecordAndPress(success, QMessageBox::Ok));
        test->click();
    }
    EXPECT_EQ(success.title, "Тест");
    EXPECT_EQ(success.text, "Соединение успешно.");
    EXPECT_TRUE(success.information);
    EXPECT_FALSE(validatorCalled);
    EXPECT_EQ(dialog.connection().name, before.name);
    EXPECT_EQ(dialog.connection().id, before.id);
    EXPECT_NE(dialog.result(), QDialog::Accepted);

    chooseServerWithoutHost(dialog);
    ui_test::MessageBoxSeen failure;
    {
        ui_test::ModalAnswers answers;
        answers.then(ui_test::RecordAndPress(failure, QMessageBox::Ok));
        test->click();
    }
    EXPECT_EQ(failure.title, "Ошибка");
    EXPECT_EQ(failure.text, "Невозможно создать соединение.");
}

TEST_F(DlgEditConnectionTest, BothGeometriesAreSavedOnCancelAndRestored) {
    QRect savedGeometry;
    {
        DlgEditConnection dialog(m_storage->core(), nullptr, nullptr);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        dialog.resize(dialog.width() + 120, dialog.height());
        QTest::qWait(20);
        savedGeometry = dialog.geometry();
        dialog.reject();
    }
    QSettings settings;
    EXPECT_FALSE(settings.value("DlgEditConnection/DialogGeometry").toByteArray().isEmpty());
    EXPECT_FALSE(settings.value("DlgEditConnection/EditorGeometry").toByteArray().isEmpty());

    DlgEditConnection again(m_storage->core(), nullptr, nullptr);
    again.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&again));
    EXPECT_EQ(again.size(), savedGeometry.size());
}

}  // namespace
