#include "core.h"

#include "data_folder.h"
#include "link_identity.h"
#include "postgres/pg_engine.h"
#include "repository.h"
#include "sqlite/sqlite_engine.h"
#include "text_codec.h"

#include <boost/uuid/random_generator.hpp>

#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo {

namespace detail {

namespace {

const wchar_t* const kLocalRepositoryName = L"Локальное хранилище";
const char* const kLocalDatabaseFile = "local_repository.sqlite";

// The documents are the user's alone, whatever the umask: the folder is the owner's, and the
// database file is made 0600 before SQLite opens it, since SQLite gives its WAL and shared-memory
// files the database file's mode. Files of older versions are narrowed too.
void MakeLocalRepositoryPrivate(const std::filesystem::path& folder,
                                const std::filesystem::path& database) {
    std::error_code ignored;  // a folder or file we cannot narrow still works
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ignored);
    const int descriptor =
        ::open(database.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor >= 0) {
        ::fchmod(descriptor, S_IRUSR | S_IWUSR);
        ::close(descriptor);
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        ::chmod((database.string() + suffix).c_str(), S_IRUSR | S_IWUSR);
    }
}

std::shared_ptr<IRepository> ConnectLocal() {
    const auto folder = DataFolder();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        throw TarvoError(errc::NotConnected, L"Не удалось создать папку данных программы «" +
                                                 FromUtf8(folder.string()) + L"»: " +
                                                 FromUtf8(error.message()) +
                                                 L". Проверьте права доступа к ней.");
    }
    MakeLocalRepositoryPrivate(folder, folder / kLocalDatabaseFile);
    auto engine = std::make_shared<sqlite::SqliteEngine>(
        (folder / kLocalDatabaseFile).string(), kLocalRepositoryName, LinkIdentity::ForNewLink());
    return std::make_shared<Repository>(std::move(engine));
}

}  // namespace

std::shared_ptr<IRepository> Core::Connect(const Endpoint& endpoint,
                                           const Credentials& credentials) {
    // The local repository belongs to the operating-system user who owns its file; credentials
    // play no part in reaching it.
    if (std::holds_alternative<endpoint::Local>(endpoint)) {
        return ConnectLocal();
    }
    const auto settings =
        postgres::ConnectionSettings::From(std::get<endpoint::Remote>(endpoint), credentials);
    return std::make_shared<Repository>(std::make_shared<postgres::PgEngine>(settings));
}

}  // namespace detail

ItemId GenerateUuid() {
    thread_local boost::uuids::random_generator generator;
    return generator();
}

std::shared_ptr<ICore> CreateCore() {
    return std::make_shared<detail::Core>();
}

}  // namespace tarvo
