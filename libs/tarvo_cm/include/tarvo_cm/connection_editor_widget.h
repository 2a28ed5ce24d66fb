#pragma once

#include <tarvo/core.h>
#include <tarvo_cm/connection.h>

#include <QWidget>

#include <memory>
#include <optional>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;

namespace tarvo_cm {

// Edits the address (the built-in local repository or a PostgreSQL server) and the credentials
// (the current user, or a login and password) of one connection record.
//
// The widget works on `connection` by reference: in create mode it gives the record a new id at
// construction; in edit mode it shows the record's values and keeps its id. The record itself is
// only read afterwards; BuildConnectionFromUI() hands out the edited copy.
class ConnectionEditorWidget : public QWidget {
    Q_OBJECT

public:
    // `offerLocal`: whether the built-in local repository is offered besides a server. An edited
    // record with a local endpoint always shows that choice.
    ConnectionEditorWidget(std::shared_ptr<tarvo::ICore> core, Connection& connection,
                           bool editMode, bool offerLocal, QWidget* parent = nullptr);
    ~ConnectionEditorWidget() override;

    // The record the inputs describe, with the edited record's id and name; empty when they make
    // no connection (a server without host or database, a login without a name).
    std::optional<Connection> BuildConnectionFromUI() const;

private:
    void buildLayout(bool offerLocal);
    void showRecord();
    void updateEnabledFields();

    std::shared_ptr<tarvo::ICore> m_core;
    Connection& m_connection;
    QRadioButton* m_localButton = nullptr;
    QRadioButton* m_serverButton = nullptr;
    QLineEdit* m_hostEdit = nullptr;
    QSpinBox* m_portSpin = nullptr;
    QLineEdit* m_databaseEdit = nullptr;
    QRadioButton* m_currentUserButton = nullptr;
    QRadioButton* m_loginButton = nullptr;
    QLineEdit* m_loginEdit = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    // Shown only where the desktop has no keyring: what that means for the password, and the
    // user's explicit choice to keep it in the connections file anyway.
    QLabel* m_keyringNotice = nullptr;
    QCheckBox* m_storeInFileCheck = nullptr;
};

}  // namespace tarvo_cm
