#include "core.h"

#include "data_folder.h"
#include "link_identity.h"
#include "postgres/pg_engine.h"
#include "repository.h"
#include "sqlite/sqlite_engine.h"
#include "text_codec.h"

#include <boost/uuid/random_generator.hpp>

#include <system_error>

namespace tarvo {

namespace detail {

namespace {

const wchar_t* const kLocalRepositoryName = L"Локальное хранилище";
const char* const kLocalDatabaseFile = "local_repository.sqlite";

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
