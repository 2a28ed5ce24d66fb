#pragma once

#include <boost/uuid/uuid.hpp>

#include <QString>

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tarvo_cm {

// Passwords of connections, kept out of the connections file: in the desktop's keyring (the
// Secret Service, through QtKeychain) under the connection's id. Where no keyring service answers,
// a password is kept for the running process only, and the connections file gets it only when
// the user has accepted that for the connection (Connection::storePasswordInFile).
//
// Keyring calls wait for the keyring's answer in a local event loop; call from a thread that may
// wait (the GUI thread while a dialog or the storage saves, or a worker).
class PasswordStore {
public:
    explicit PasswordStore(QString service = QStringLiteral("KelvoDrive"));
    ~PasswordStore();
    PasswordStore(const PasswordStore&) = delete;
    PasswordStore& operator=(const PasswordStore&) = delete;

    // The store of this process, the one the connections file's subtree uses.
    static PasswordStore& instance();

    // Whether a keyring service answers. Asked once, when it first matters; the first "no" is
    // written to the log.
    bool isAvailable();
    // Why no keyring can be used, in words for the connection dialog; empty when one can.
    QString unavailableReason();

    // Keeps the password: in the keyring when there is one (true), otherwise for this process
    // only (false, with the reason in `failure` when given). An empty password removes what was
    // kept. A password the keyring refused (the user cancelled its prompt, or it failed) is not
    // offered to it again in this process, so the user is asked once.
    bool store(const boost::uuids::uuid& id, const std::wstring& password,
               QString* failure = nullptr);
    // The password kept for the connection; empty when none is known.
    std::wstring load(const boost::uuids::uuid& id);
    // Forgets the connection's password, in the keyring too.
    void remove(const boost::uuids::uuid& id);

private:
    bool probeLocked();
    void logUnavailable() const;
    void giveUpOnKeyring();

    const QString m_service;
    std::mutex m_mutex;
    std::optional<bool> m_available;
    QString m_unavailableReason;
    // What this process knows: everything stored or loaded, so the keyring is asked once per
    // connection.
    std::map<boost::uuids::uuid, std::wstring> m_known;
    // What the keyring holds as far as this process knows, so it is written only on a change.
    std::map<boost::uuids::uuid, std::wstring> m_inKeyring;
    // Passwords the keyring refused, with its reason.
    std::map<boost::uuids::uuid, std::pair<std::wstring, QString>> m_refused;
};

}  // namespace tarvo_cm
