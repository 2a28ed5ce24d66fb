#pragma once

#include "ConnectionsStorage.h"

#include <tarvo/core.h>
#include <tarvo_cm/connection.h>

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QComboBox;
class QLineEdit;
namespace tarvo_cm {
class ConnectionEditorWidget;
}

// Creates a connection (no handle) or edits one: the connection editor above, the drive letter and
// display name below. Accepting connects to the repository, fetches its name into the record and
// refuses duplicates before the dialog closes.
class DlgEditConnection : public QDialog {
public:
    // Returns an empty text when the record is acceptable, otherwise the error to show.
    using ConnectionValidator = std::function<QString(const tarvo_cm::Connection&)>;

    // `storage`: whose connections keep their drive letters and count as duplicates; none when
    // null.
    DlgEditConnection(std::shared_ptr<tarvo::ICore> core, ConnectionHandle* handle, QWidget* parent,
                      const ConnectionsStorage* storage = ConnectionsStorage::instance());
    ~DlgEditConnection() override;

    void setConnectionValidator(ConnectionValidator validator);

    // Valid after acceptance.
    const tarvo_cm::Connection& connection() const { return m_connection; }
    MountPoint mountPoint() const;

    void accept() override;

private:
    void fillDriveLetters(const QString& currentPath);
    void testConnection();
    // Connects with `candidate`; the error text to show, or nothing. With `repositoryName` given
    // the repository's name is fetched into it.
    std::optional<QString> tryConnect(const std::optional<tarvo_cm::Connection>& candidate,
                                      QString* repositoryName);
    void showError(const QString& text);
    // Puts a typed password into the keyring; where that fails, asks the user whether to keep it
    // in the connections file instead (marking `candidate`) or for this run only. False when the
    // user went back to the dialog.
    bool keepPassword(tarvo_cm::Connection& candidate);

    tarvo_cm::ConnectionEditorWidget* m_editor = nullptr;
    QComboBox* m_driveLetters = nullptr;
    QLineEdit* m_customName = nullptr;
    ConnectionValidator m_connectionValidator;
    std::shared_ptr<tarvo::ICore> m_core;
    const ConnectionsStorage* m_storage;
    tarvo_cm::Connection m_connection;
};
