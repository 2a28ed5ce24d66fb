#include "ConnectionsListModel.h"
#include "gui_test_support.h"

#include <tarvo_cm/helpers.h>

#include <QCoreApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <thread>

namespace {

constexpr int kRightAndVCentred = 0x82;

class ConnectionsListModelTest : public ui_test::StorageTest {
protected:
    QString cell(const ConnectionsListModel& model, int row, int column,
                 int role = Qt::DisplayRole) const {
        return model.data(model.index(row, column), role).toString();
    }
};

TEST_F(ConnectionsListModelTest, EmptyStorageHasThreeColumnsAndTheirHeaders) {
    ConnectionsListModel model(*m_storage, nullptr);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.columnCount(), 3);
    EXPECT_EQ(model.columnCount(model.index(0, 0)), 3) << "the parent is ignored";

    EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Название хранилища");
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Диск");
    EXPECT_EQ(model.headerData(2, Qt::Horizontal).toString(), "Статус");
    EXPECT_FALSE(model.headerData(3, Qt::Horizontal).isValid());
    EXPECT_FALSE(model.headerData(0, Qt::Vertical).isValid());

    EXPECT_EQ(model.headerData(1, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
              kRightAndVCentred);
    EXPECT_EQ(model.headerData(2, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
              kRightAndVCentred);
    EXPECT_FALSE(model.headerData(0, Qt::Horizontal, Qt::TextAlignmentRole).isValid());
    EXPECT_FALSE(model.headerData(1, Qt::Horizontal, Qt::ToolTipRole).isValid());
}

TEST_F(ConnectionsListModelTest, RowsShowNameDriveAndStatusOfEveryHandle) {
    ConnectionHandle* plain = add(RemoteConnection(L"Архив"));
    ConnectionHandle* named = add(RemoteConnection(L"Проекты"), "Q:\\", "Мои проекты");
    ASSERT_TRUE(plain && named);

    ConnectionsListModel model(*m_storage, nullptr);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.connectionAt(model.index(0, 0)), plain);
    EXPECT_EQ(model.connectionAt(model.index(1, 2)), named);
    EXPECT_EQ(model.connectionAt(model.index(2, 0)), nullptr);
    EXPECT_EQ(model.connectionAt(QModelIndex()), nullptr);

    EXPECT_EQ(cell(model, 0, 0), tarvo_cm::helpers::FormatDisplayName(plain->connection));
    EXPECT_EQ(cell(model, 0, 1), "");
    EXPECT_EQ(cell(model, 0, 2), "Отключено");
    EXPECT_EQ(cell(model, 1, 0), "Мои проекты");
    EXPECT_EQ(cell(model, 1, 1), "Q:\\");
    EXPECT_EQ(cell(model, 1, 2), "Отключено");

    for (int row = 0; row < 2; ++row) {
        EXPECT_FALSE(model.data(model.index(row, 0), Qt::TextAlignmentRole).isValid());
        EXPECT_EQ(model.data(model.index(row, 1), Qt::TextAlignmentRole).toInt(),
                  kRightAndVCentred);
        EXPECT_EQ(model.data(model.index(row, 2), Qt::TextAlignmentRole).toInt(),
                  kRightAndVCentred);
        for (int role : {Qt::DecorationRole, Qt::EditRole, Qt::ForegroundRole, Qt::FontRole,
                         Qt::BackgroundRole, Qt::CheckStateRole}) {
            EXPECT_FALSE(model.data(model.index(row, 0), role).isValid()) << "role " << role;
        }
    }
    EXPECT_FALSE(model.data(model.index(0, 3)).isValid());

    // The drive's real folder, for users who do not have drive letters.
    EXPECT_FALSE(model.data(model.index(0, 1), Qt::ToolTipRole).isValid());
    const QString toolTip = cell(model, 1, 1, Qt::ToolTipRole);
    EXPECT_TRUE(toolTip.isEmpty() || toolTip.contains("Q:\\")) << toolTip.toStdString();

    // Later additions are appended.
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    ConnectionHandle* later = add(RemoteConnection(L"Новое"));
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted.first().at(1).toInt(), 2);
    EXPECT_EQ(model.connectionAt(model.index(2, 0)), later);
}

TEST_F(ConnectionsListModelTest, UpdateRepaintsTheRowWithTheNewCustomName) {
    ConnectionHandle* handle = add(RemoteConnection(L"Архив"));
    ASSERT_TRUE(handle);
    ConnectionsListModel model(*m_storage, nullptr);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    m_storage->updateConnection(handle->connection, MountPoint{QString(), "Старые дела"});
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.first().at(0).toModelIndex(), model.index(0, 0));
    EXPECT_EQ(changed.first().at(1).toModelIndex(), model.index(0, 2));
    EXPECT_TRUE(changed.first().at(2).value<QVector<int>>().isEmpty()) << "all roles";
    EXPECT_EQ(cell(model, 0, 0), "Старые дела");
}

TEST_F(ConnectionsListModelTest, RemovalRenumbersTheRowsBehind) {
    ConnectionHandle* first = add(RemoteConnection(L"Первое"));
    ConnectionHandle* second = add(RemoteConnection(L"Второе"));
    ConnectionHandle* third = add(RemoteConnection(L"Третье"));
    ASSERT_TRUE(first && second && third);
    ConnectionsListModel model(*m_storage, nullptr);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);

    const tarvo_cm::Connection secondRecord = second->connection;
    EXPECT_TRUE(m_storage->removeConnection(first->connection));
    ASSERT_EQ(removed.count(), 1);
    EXPECT_EQ(removed.first().at(1).toInt(), 0);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.connectionAt(model.index(0, 0)), second);
    EXPECT_EQ(model.connectionAt(model.index(1, 0)), third);

    // The renumbered rows repaint where they now are.
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    m_storage->updateConnection(third->connection, MountPoint{QString(), "Три"});
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.first().at(0).toModelIndex().row(), 1);

    EXPECT_TRUE(m_storage->removeConnection(third->connection));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.connectionAt(model.index(0, 0)), second);
    EXPECT_EQ(model.data(model.index(0, 0)).toString(),
              tarvo_cm::helpers::FormatDisplayName(secondRecord));
}

TEST_F(ConnectionsListModelTest, QueuedDriveNotificationForARemovedHandleIsIgnored) {
    ConnectionHandle* kept = add(RemoteConnection(L"Остаётся"));
    ConnectionHandle* removed = add(RemoteConnection(L"Уходит"));
    ASSERT_TRUE(kept && removed);
    ConnectionsListModel model(*m_storage, nullptr);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    ASSERT_TRUE(m_storage->removeConnection(removed->connection));
    // As a drive thread would: emitted elsewhere, delivered later on the GUI thread.
    ConnectionsStorage* storage = m_storage.get();
    std::thread([storage, removed, kept] {
        emit storage->driveUnmounted(removed);
        emit storage->driveMounted(kept);
    }).join();
    EXPECT_EQ(changed.count(), 0) << "nothing arrives before the event loop runs";
    QCoreApplication::processEvents();

    ASSERT_EQ(changed.count(), 1) << "only the live handle repaints";
    EXPECT_EQ(changed.first().at(0).toModelIndex().row(), 0);
    EXPECT_EQ(model.rowCount(), 1);
}

// A drive that could not be connected says "Ошибка", and its row's tool tip says why; an
// intended disconnect ends the failure.
TEST_F(ConnectionsListModelTest, FailedConnectShowsErrorWithTheReasonInTheToolTip) {
    QFile occupant(ui_test::DrivesFolder() + "/L");  // a drive folder something else uses
    ASSERT_TRUE(occupant.open(QIODevice::WriteOnly));
    ConnectionHandle* unreachable = add(RemoteConnection(L"Недоступный"), "K:\\", "1");
    ConnectionHandle* withoutLetter = add(RemoteConnection(L"Без буквы", L"127.0.0.2"), {}, "2");
    ConnectionHandle* occupied = add(RemoteConnection(L"Занятый", L"127.0.0.3"), "L:\\", "3");
    ASSERT_TRUE(unreachable && withoutLetter && occupied);
    ConnectionsListModel model(*m_storage, nullptr);
    EXPECT_EQ(cell(model, 1, 2), "Отключено") << "a connection without a letter is not an error";
    m_storage->mountDrive(withoutLetter->connection);

    const struct {
        int row;
        QString reason;
    } cases[] = {{0, "Не удалось подключиться"}, {1, "не выбрана буква"}, {2, "занят"}};
    for (const auto& scenario : cases) {
        SCOPED_TRACE(scenario.reason.toStdString());
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return cell(model, scenario.row, 2) == "Ошибка"; }, 20000))
            << cell(model, scenario.row, 2).toStdString();
        for (int column = 0; column < 3; ++column) {
            const QString toolTip = cell(model, scenario.row, column, Qt::ToolTipRole);
            EXPECT_TRUE(toolTip.contains(scenario.reason)) << toolTip.toStdString();
        }
    }

    m_storage->unmountDrive(unreachable->connection);
    EXPECT_EQ(cell(model, 0, 2), "Отключено");
    occupant.remove();
}

TEST_F(ConnectionsListModelTest, StatusFollowsTheMountedDrive) {
    ConnectionsListModel model(*m_storage, nullptr);
    UI_TEST_ADD_MOUNTED(handle, "M:\\");
    QCoreApplication::processEvents();
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.connectionAt(model.index(0, 0)), handle);
    EXPECT_EQ(cell(model, 0, 2), "Подключено");
    EXPECT_EQ(cell(model, 0, 1), "M:\\");
    EXPECT_TRUE(cell(model, 0, 1, Qt::ToolTipRole).contains("M")) << "the mount folder is told";

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy unmounted(m_storage.get(), &ConnectionsStorage::driveUnmounted);
    m_storage->unmountDrive(handle->connection);
    EXPECT_EQ(cell(model, 0, 2), "Отключено") << "read at the moment of the call";
    ASSERT_TRUE(unmounted.count() > 0 || unmounted.wait(20000));
    QCoreApplication::processEvents();
    EXPECT_GE(changed.count(), 1);
}

}  // namespace
