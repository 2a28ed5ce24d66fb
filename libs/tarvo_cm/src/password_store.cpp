#include <tarvo_cm/password_store.h>

#include <logging/logging.h>

#include <qt5keychain/keychain.h>

#include <boost/uuid/uuid_io.hpp>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

namespace tarvo_cm {

namespace {

// A key nobody stores under: reading it tells whether the keyring answers at all.
const char* const kProbeKey = "kelvo-keyring-probe";

QString KeyOf(const boost::uuids::uuid& id) {
    return QString::fromStdString(boost::uuids::to_string(id));
}

struct JobOutcome {
    QKeychain::Error error = QKeychain::NoError;
    QString errorString;
    QString text;  // what a read job found
};

// Time limits for the keyring's answer. A keyring may ask the user to unlock it, which takes a
// while; one that never answers (a service without a default collection whose prompt nobody can
// see) must not freeze the program.
constexpr std::chrono::seconds kProbeLimit{5};
constexpr std::chrono::seconds kJobLimit{60};

// Runs a keyring job (which reports through a signal) and waits for its end; nothing when the
// keyring did not answer in time, or when the program was asked to end meanwhile: the wait runs a
// nested event loop, which ends with the application's quit (the main loop is then not started or
// ends too). The job deletes itself when it ends, however late.
std::optional<JobOutcome> RunToEnd(QKeychain::Job* job, std::chrono::milliseconds limit) {
    auto outcome = std::make_shared<std::optional<JobOutcome>>();
    QEventLoop loop;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [outcome, &loop](QKeychain::Job* done) {
        JobOutcome result{done->error(), done->errorString(), {}};
        if (const auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done)) {
            result.text = read->textData();
        }
        *outcome = result;
        loop.quit();
    });
    job->setAutoDelete(true);
    // Never the plain-text settings file that QtKeychain can fall back to: the point of the
    // keyring is that the password is not in a file.
    job->setInsecureFallback(false);
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    job->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return *outcome;
}

}  // namespace

PasswordStore::PasswordStore(QString service) : m_service(std::move(service)) {}

PasswordStore::~PasswordStore() = default;

PasswordStore& PasswordStore::instance() {
    static PasswordStore store;
    return store;
}

bool PasswordStore::probeLocked() {
    if (m_available) {
        return *m_available;
    }
    bool answered = false;
    if (QCoreApplication::instance() == nullptr) {
        // QtKeychain's jobs run from the event loop, which needs the application object.
        m_unavailableReason = QStringLiteral("у программы нет объекта приложения Qt");
    } else {
        auto* job = new QKeychain::ReadPasswordJob(m_service);
        job->setKey(QString::fromLatin1(kProbeKey));
        const auto outcome = RunToEnd(job, kProbeLimit);
        answered = outcome && (outcome->error == QKeychain::NoError ||
                               outcome->error == QKeychain::EntryNotFound);
        m_unavailableReason =
            outcome ? outcome->errorString : QStringLiteral("служба не ответила вовремя");
    }
    m_available = answered;
    if (!answered) {
        logUnavailable();
    }
    return answered;
}

void PasswordStore::logUnavailable() const {
    KELVO_LOG(logging::kWarning)
        << L"Хранилище паролей рабочего стола недоступно (" << m_unavailableReason.toStdWString()
        << L"): пароли подключений хранятся только до выхода из программы, если пользователь не "
           L"разрешил сохранить их в файле настроек";
}

// A keyring that stopped answering counts as absent for the rest of the process.
void PasswordStore::giveUpOnKeyring() {
    m_available = false;
    m_unavailableReason = QStringLiteral("служба не ответила вовремя");
    logUnavailable();
}

bool PasswordStore::isAvailable() {
    std::lock_guard lock(m_mutex);
    return probeLocked();
}

QString PasswordStore::unavailableReason() {
    std::lock_guard lock(m_mutex);
    if (probeLocked()) {
        return {};
    }
    // The keyring's own reason is technical and not translated; it is in the log.
    return QStringLiteral(
        "Хранилище паролей рабочего стола недоступно. Пароль будет храниться только до выхода из "
        "программы, если не разрешить сохранить его в файле настроек открытым текстом.");
}

bool PasswordStore::store(const boost::uuids::uuid& id, const std::wstring& password,
                          QString* failure) {
    std::lock_guard lock(m_mutex);
    m_known[id] = password;
    const auto fail = [failure](const QString& reason) {
        if (failure) {
            *failure = reason;
        }
        return false;
    };
    if (!probeLocked()) {
        return fail(QStringLiteral("хранилище паролей рабочего стола недоступно (%1)")
                        .arg(m_unavailableReason));
    }
    if (const auto refused = m_refused.find(id);
        refused != m_refused.end() && refused->second.first == password) {
        return fail(refused->second.second);
    }
    if (const auto held = m_inKeyring.find(id);
        held != m_inKeyring.end() && held->second == password) {
        return true;
    }
    std::unique_ptr<QKeychain::Job> job;
    if (password.empty()) {
        auto deletion = std::make_unique<QKeychain::DeletePasswordJob>(m_service);
        deletion->setKey(KeyOf(id));
        job = std::move(deletion);
    } else {
        auto write = std::make_unique<QKeychain::WritePasswordJob>(m_service);
        write->setKey(KeyOf(id));
        write->setTextData(QString::fromStdWString(password));
        job = std::move(write);
    }
    const auto outcome = RunToEnd(job.release(), kJobLimit);
    if (!outcome) {
        giveUpOnKeyring();
        m_inKeyring.erase(id);
        return fail(QStringLiteral("хранилище паролей не ответило вовремя"));
    }
    const bool done = outcome->error == QKeychain::NoError ||
                      (password.empty() && outcome->error == QKeychain::EntryNotFound);
    if (!done) {
        KELVO_LOG(logging::kError)
            << L"Не удалось сохранить пароль подключения [" << boost::uuids::to_wstring(id)
            << L"] в хранилище паролей: " << outcome->errorString.toStdWString()
            << L". Пароль хранится до выхода из программы";
        m_inKeyring.erase(id);
        const QString reason = outcome->error == QKeychain::AccessDeniedByUser
                                   ? QStringLiteral("запрос хранилища паролей отменён")
                                   : outcome->errorString;
        m_refused[id] = {password, reason};
        return fail(reason);
    }
    m_refused.erase(id);
    m_inKeyring[id] = password;
    return true;
}

std::wstring PasswordStore::load(const boost::uuids::uuid& id) {
    std::lock_guard lock(m_mutex);
    if (const auto known = m_known.find(id); known != m_known.end()) {
        return known->second;
    }
    if (!probeLocked()) {
        return {};
    }
    auto* job = new QKeychain::ReadPasswordJob(m_service);
    job->setKey(KeyOf(id));
    const auto outcome = RunToEnd(job, kJobLimit);
    if (!outcome) {
        giveUpOnKeyring();
        return {};
    }
    if (outcome->error == QKeychain::EntryNotFound) {
        return {};
    }
    if (outcome->error != QKeychain::NoError) {
        KELVO_LOG(logging::kError)
            << L"Не удалось прочитать пароль подключения [" << boost::uuids::to_wstring(id)
            << L"] из хранилища паролей: " << outcome->errorString.toStdWString();
        return {};
    }
    const std::wstring password = outcome->text.toStdWString();
    m_known[id] = password;
    m_inKeyring[id] = password;
    return password;
}

void PasswordStore::remove(const boost::uuids::uuid& id) {
    std::lock_guard lock(m_mutex);
    m_known.erase(id);
    m_refused.erase(id);
    m_inKeyring.erase(id);
    if (!probeLocked()) {
        return;
    }
    auto* job = new QKeychain::DeletePasswordJob(m_service);
    job->setKey(KeyOf(id));
    const auto outcome = RunToEnd(job, kJobLimit);
    if (!outcome) {
        giveUpOnKeyring();
        return;
    }
    if (outcome->error != QKeychain::NoError && outcome->error != QKeychain::EntryNotFound) {
        KELVO_LOG(logging::kError)
            << L"Не удалось удалить пароль подключения [" << boost::uuids::to_wstring(id)
            << L"] из хранилища паролей: " << outcome->errorString.toStdWString();
    }
}

}  // namespace tarvo_cm
