#include "ConnectionsListModel.h"
#include "ConnectionsListWidget.h"
#include "ConnectionsListWidget_p.h"
#include "gui_test_support.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

namespace {

class ConnectionsListWidgetTest : public ui_test::StorageTest {
protected:
    // The view's index of the row that shows `name` in its first column.
    static QModelIndex rowOf(ConnectionsListWidget& widget, const QString& name) {
        QAbstractItemModel* view = widget.model();
        for (int row = 0; row < view->rowCount(); ++row) {
            if (view->index(row, 0).data().toString() == name) {
                return view->index(row, 0);
            }
        }
        return {};
    }

    // Selects the rows of the given handles (and nothing else); every test handle has a custom
    // name, which its row shows.
    static void select(ConnectionsListWidget& widget,
                       const std::vector<ConnectionHandle*>& handles) {
        widget.clearSelection();
        for (ConnectionHandle* handle : handles) {
            const QModelIndex index = rowOf(widget, handle->customName);
            ASSERT_TRUE(index.isValid());
            widget.selectionModel()->select(
                index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

    // The texts of the context menu's actions; a separator reads "-".
    static QStringList contextMenu(ConnectionsListWidget& widget) {
        emit widget.customContextMenuRequested(QPoint());
        auto* menu = widget.findChild<QMenu*>();
        if (!menu) {
            return {"(no menu)"};
        }
        QStringList texts;
        for (QAction* action : menu->actions()) {
            texts << (action->isSeparator() ? QString("-") : action->text());
            EXPECT_TRUE(action->isEnabled());
        }
        menu->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(widget.findChild<QMenu*>(), nullptr) << "the menu deletes itself on close";
        return texts;
    }

    static void trigger(ConnectionsListWidget& widget, const QString& text) {
        emit widget.customContextMenuRequested(QPoint());
        auto* menu = widget.findChild<QMenu*>();
        ASSERT_NE(menu, nullptr);
        for (QAction* action : menu->actions()) {
            if (action->text() == text) {
                action->trigger();
            }
        }
        menu->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

TEST_F(ConnectionsListWidgetTest, ContextMenuOffersWhatTheSelectionAllows) {
    ConnectionHandle* withoutLetter = add(RemoteConnection(L"a"), QString(), "Без буквы");
    ConnectionHandle* withLetter = add(RemoteConnection(L"b"), "K:\\", "С буквой");
    ASSERT_TRUE(withoutLetter && withLetter);
    ConnectionsListWidget widget(*m_storage, nullptr);

    EXPECT_EQ(contextMenu(widget), QStringList{"Добавить"});

    select(widget, {withoutLetter});
    EXPECT_EQ(contextMenu(widget), (QStringList{"-", "Редактировать", "-", "Удалить"}));

    select(widget, {withLetter});
    EXPECT_EQ(contextMenu(widget),
              (QStringList{"Подключить", "-", "Редактировать", "-", "Удалить"}));

    select(widget, {withoutLetter, withLetter});
    EXPECT_EQ(widget.selectedConnections().size(), 2u);
    EXPECT_EQ(contextMenu(widget),
              (QStringList{"Подключить", "-", "Редактировать", "-", "Удалить"}));
}

TEST_F(ConnectionsListWidgetTest, ContextMenuOffersBothForAConnectedAndAnUnconnectedOne) {
    ConnectionHandle* unconnected = add(RemoteConnection(L"b"), "K:\\", "С буквой");
    ASSERT_TRUE(unconnected);
    UI_TEST_ADD_MOUNTED(connected, "L:\\");
    ConnectionsListWidget widget(*m_storage, nullptr);

    select(widget, {connected});
    EXPECT_EQ(contextMenu(widget),
              (QStringList{"Отключить", "-", "Редактировать", "-", "Удалить"}));
    select(widget, {connected, unconnected});
    EXPECT_EQ(contextMenu(widget),
              (QStringList{"Подключить", "Отключить", "-", "Редактировать", "-", "Удалить"}));

    // Either action acts on every selected connection.
    QSignalSpy unmounted(m_storage.get(), &ConnectionsStorage::driveUnmounted);
    trigger(widget, "Отключить");
    EXPECT_FALSE(connected->isConnected());
    EXPECT_FALSE(unconnected->isConnected());
    EXPECT_TRUE(unmounted.count() > 0 || unmounted.wait(20000));
}

TEST_F(ConnectionsListWidgetTest, RemovalAsksFirstAndNoKeepsEverything) {
    ConnectionHandle* first = add(RemoteConnection(L"a"), QString(), "Первое");
    ConnectionHandle* second = add(RemoteConnection(L"b"), QString(), "Второе");
    ConnectionHandle* third = add(RemoteConnection(L"c"), QString(), "Третье");
    ASSERT_TRUE(first && second && third);
    ConnectionsListWidget widget(*m_storage, nullptr);

    {
        ui_test::ModalAnswers answers;  // nothing selected: no question at all
        widget.removeSelectedConnections();
    }

    select(widget, {first, third});
    ui_test::MessageBoxSeen question;
    {
        ui_test::ModalAnswers answers;
        answers.then(ui_test::RecordAndPress(question, QMessageBox::No));
        widget.removeSelectedConnections();
    }
    EXPECT_EQ(question.title, "Удалить");
    EXPECT_EQ(question.text, "Удалить выбранные подключения?");
    EXPECT_TRUE(question.buttons.contains("&Да") || question.buttons.contains("Да"))
        << question.buttons.join(",").toStdString();
    EXPECT_EQ(m_storage->connections().size(), 3u);

    {
        ui_test::ModalAnswers answers;
        answers.then(ui_test::RecordAndPress(question, QMessageBox::Yes));
        widget.removeSelectedConnections();
    }
    ASSERT_EQ(m_storage->connections().size(), 1u);
    EXPECT_EQ(m_storage->connections().front(), second);
    EXPECT_EQ(widget.model()->rowCount(), 1);
}

TEST_F(ConnectionsListWidgetTest, DoubleClickEditsTheClickedRowAlone) {
    ConnectionHandle* first = add(RemoteConnection(L"a"), QString(), "Первое");
    ConnectionHandle* second = add(RemoteConnection(L"b"), QString(), "Второе");
    ASSERT_TRUE(first && second);
    ConnectionsListWidget widget(*m_storage, nullptr);
    widget.resize(500, 300);
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));

    select(widget, {first, second});
    QString title;
    QString shownName;
    {
        ui_test::ModalAnswers answers;
        answers.then([&](QWidget* modal) {
            title = modal->windowTitle();
            if (auto* nameEdit = modal->findChild<QLineEdit*>("customNameEdit")) {
                shownName = nameEdit->text();
            }
            qobject_cast<QDialog*>(modal)->reject();
        });
        const QPoint center = widget.visualRect(rowOf(widget, "Второе")).center();
        // What a mouse delivers: the first click's press and release, then the double click.
        QTest::mouseClick(widget.viewport(), Qt::LeftButton, Qt::NoModifier, center);
        QTest::mouseDClick(widget.viewport(), Qt::LeftButton, Qt::NoModifier, center);
    }
    EXPECT_EQ(title, "Настройки соединения");
    EXPECT_EQ(shownName, "Второе");

    // Two rows still selected when the double click arrives: nothing happens.
    select(widget, {first, second});
    ui_test::ModalAnswers none;
    emit widget.doubleClicked(widget.model()->index(0, 0));
}

TEST_F(ConnectionsListWidgetTest, TableLayoutIsSavedAtOnceAndRestored) {
    add(RemoteConnection(L"a"), QString(), "бета");
    add(RemoteConnection(L"b"), QString(), "Альфа");
    add(RemoteConnection(L"c"), QString(), "гамма");
    EXPECT_FALSE(QSettings().contains("TableLayout"));
    {
        ConnectionsListWidget widget(*m_storage, nullptr);
        widget.resize(600, 300);
        widget.header()->resizeSection(0, 234);
        EXPECT_TRUE(QSettings().contains("TableLayout")) << "stored on every resize";
        widget.header()->moveSection(2, 1);
        widget.sortByColumn(0, Qt::DescendingOrder);
    }
    const QByteArray saved = QSettings().value("TableLayout").toByteArray();
    EXPECT_FALSE(saved.isEmpty());

    ConnectionsListWidget restored(*m_storage, nullptr);
    QHeaderView* header = restored.header();
    EXPECT_EQ(header->sectionSize(0), 234);
    EXPECT_EQ(header->visualIndex(2), 1);
    EXPECT_EQ(header->sortIndicatorSection(), 0);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    // Sorting was switched on after the restore, so the rows come in the restored order,
    // without regard to case.
    QAbstractItemModel* view = restored.model();
    EXPECT_EQ(view->index(0, 0).data().toString(), "гамма");
    EXPECT_EQ(view->index(1, 0).data().toString(), "бета");
    EXPECT_EQ(view->index(2, 0).data().toString(), "Альфа");
}

// Before the user has touched the header: names of the longest allowed length, the drive and the
// status are shown whole in a table of the main window's default width, sorted A to Z.
TEST_F(ConnectionsListWidgetTest, DefaultLayoutShowsEveryCellWholeAndSortsByNameAscending) {
    const QString longest =
        QString("Ящик договоров и счетов 2026 г.").leftJustified(32, QChar(0x0416));
    ASSERT_EQ(longest.size(), 32);
    add(RemoteConnection(L"a"), "W:\\", "бета");
    add(RemoteConnection(L"b"), QString(), longest);
    add(RemoteConnection(L"c"), "M:\\", "Альфа");
    ConnectionsListWidget widget(*m_storage, nullptr);
    widget.resize(620, 300);  // the table's share of the window's default 640 pixels
    widget.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&widget));

    QHeaderView* header = widget.header();
    EXPECT_EQ(header->sortIndicatorSection(), 0);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QAbstractItemModel* view = widget.model();
    EXPECT_EQ(view->index(0, 0).data().toString(), "Альфа");
    EXPECT_EQ(view->index(1, 0).data().toString(), "бета");
    EXPECT_EQ(view->index(2, 0).data().toString(), longest);

    int total = 0;
    for (int column = 0; column < header->count(); ++column) {
        SCOPED_TRACE(column);
        EXPECT_GE(header->sectionSize(column),
                  static_cast<QAbstractItemView&>(widget).sizeHintForColumn(column));
        EXPECT_GE(header->sectionSize(column), header->sectionSizeHint(column));
        total += header->sectionSize(column);
    }
    EXPECT_LE(total, widget.viewport()->width()) << "every column fits without scrolling";
}

TEST(FindDuplicateConnection, IdFirstThenAddressAndTheEarlierEntryDecides) {
    ConnectionHandle first;
    first.connection.endpoint = tarvo::endpoint::Local{};
    first.connection.credentials = tarvo::auth::Current{};
    ConnectionHandle second;
    tarvo::endpoint::Remote remote;
    remote.host = L"db";
    remote.database = L"docs";
    second.connection.endpoint = remote;
    second.connection.credentials = tarvo::auth::Basic{L"user", L"pw"};
    const std::vector<ConnectionHandle*> list{&first, &second};

    tarvo_cm::Connection candidate;
    candidate.endpoint = remote;
    candidate.credentials = tarvo::auth::Basic{L"user", L"other"};
    EXPECT_EQ(findDuplicateConnection(candidate, list, nullptr), "");

    candidate.id = second.connection.id;
    EXPECT_EQ(findDuplicateConnection(candidate, list, nullptr),
              "Соединение с таким ID уже существует");
    EXPECT_EQ(findDuplicateConnection(candidate, list, &second), "")
        << "the edited handle never conflicts with itself";

    // The id of the second entry, the address of the first: the first entry decides.
    candidate.endpoint = tarvo::endpoint::Local{};
    candidate.credentials = tarvo::auth::Current{};
    EXPECT_EQ(findDuplicateConnection(candidate, list, nullptr),
              "Соединение с таким адресом уже существует");

    candidate.id = tarvo_cm::Connection().id;
    candidate.credentials = tarvo::auth::Basic{L"user", L"pw"};
    EXPECT_EQ(findDuplicateConnection(candidate, list, nullptr), "")
        << "same endpoint, other credentials";
}

}  // namespace
