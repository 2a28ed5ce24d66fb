#include <tarvo_cm/password_store.h>

#include <logging/logging.h>

#include <qt5keychain/keychain.h>

#include <boost/uuid/uuid_io.hpp>

#include <QCoreApplication>
#include <QEventLoop>

namespace tarvo_cm {

namespace {

// A key nobody stores under: reading it tells whether the keyring answers at all.
const char* const kProbeKey = "kelvo-keyring-probe";

QString KeyOf(const boost::uuids::uuid& id) {
    return QString::fromStdString(boost::uuids::to_string(id));
}

// Runs a keyring job to its end; QtKeychain's jobs report through a signal.
void RunToEnd(QKeychain::Job& job) {
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.setAutoDelete(false);
    // Never the plain-text settings file that QtKeychain can fall back to: the point of the
    // keyring is that the password is not in a file.
    job.setInsecureFallback(false);
    job.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
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
        QKeychain::ReadPasswordJob job(m_service);
        job.setKey(QString::fromLatin1(kProbeKey));
        RunToEnd(job);
        answered = job.error() == QKeychain::NoError || job.error() == QKeychain::EntryNotFound;
        m_unavailableReason = job.errorString();
    }
    m_available = answered;
    if (!answered) {
        KELVO_LOG(logging::kWarning)
            << L"Хранилище паролей рабочего стола недоступно ("
            << m_unavailableReason.toStdWString()
            << L"): пароли подключений хранятся только до выхода из программы, если пользователь "
               L"не разрешил сохранить их в файле настроек";
    }
    return answered;
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
    return QStringLiteral(
               "Хранилище паролей рабочего стола недоступно (%1). Пароль будет "
               "храниться только до выхода из программы, если не разрешить сохранить "
               "его в файле настроек открытым текстом.")
        .arg(m_unavailableReason);
}

bool PasswordStore::store(const boost::uuids::uuid& id, const std::wstring& password) {
    std::lock_guard lock(m_mutex);
    m_known[id] = password;
    if (!probeLocked()) {
        return false;
    }
    if (const auto held = m_inKeyring.find(id);
        held != m_inKeyring.end() && held->second == password) {
        return true;
    }
    if (password.empty()) {
        QKeychain::DeletePasswordJob job(m_service);
        job.setKey(KeyOf(id));
        RunToEnd(job);
        m_inKeyring[id] = password;
        return true;
    }
    QKeychain::WritePasswordJob job(m_service);
    job.setKey(KeyOf(id));
    job.setTextData(QString::fromStdWString(password));
    RunToEnd(job);
    if (job.error() != QKeychain::NoError) {
        KELVO_LOG(logging::kError)
            << L"Не удалось сохранить пароль подключения [" << boost::uuids::to_wstring(id)
            << L"] в хранилище паролей: " << job.errorString().toStdWString()
            << L". Пароль хранится до выхода из программы";
        m_inKeyring.erase(id);
        return false;
    }
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
    QKeychain::ReadPasswordJob job(m_service);
    job.setKey(KeyOf(id));
    RunToEnd(job);
    if (job.error() == QKeychain::EntryNotFound) {
        return {};
    }
    if (job.error() != QKeychain::NoError) {
        KELVO_LOG(logging::kError)
            << L"Не удалось прочитать пароль подключения [" << boost::uuids::to_wstring(id)
            << L"] из хранилища паролей: " << job.errorString().toStdWString();
        return {};
    }
    const std::wstring password = job.textData().toStdWString();
    m_known[id] = password;
    m_inKeyring[id] = password;
    return password;
}

void PasswordStore::remove(const boost::uuids::uuid& id) {
    std::lock_guard lock(m_mutex);
    m_known.erase(id);
    m_inKeyring.erase(id);
    if (!probeLocked()) {
        return;
    }
    QKeychain::DeletePasswordJob job(m_service);
    job.setKey(KeyOf(id));
    RunToEnd(job);
    if (job.error() != QKeychain::NoError && job.error() != QKeychain::EntryNotFound) {
        KELVO_LOG(logging::kError)
            << L"Не удалось удалить пароль подключения [" << boost::uuids::to_wstring(id)
            << L"] из хранилища паролей: " << job.errorString().toStdWString();
    }
}

}  // namespace tarvo_cm
