#include "pg_schema.h"

#include "../time_codec.h"
#include "pg_error.h"
#include "pg_locks_keys.h"

#include <tarvo/errors.h>

namespace tarvo::detail::postgres {

namespace {

// Everything lives in the schema "kelvo", so the database may hold other things too. Times are
// microseconds since 1970 (UTC). Names compare and sort byte by byte (collation "C"): exactly,
// case-sensitive, the same on every server. Content is stored in chunks of about a megabyte so
// that neither a writer nor a reader ever needs a whole blob in memory; chunks are not compressed
// (documents are mostly compressed already, and trying costs time on every write).
//
// Every role that may connect to the database may use the repository (the administrator decides
// who may connect); only the owner may change the visibility and openability flags.
constexpr const char* kCreateSchema = R"sql(
CREATE SCHEMA kelvo;
CREATE TABLE kelvo.repository_info(
    key text PRIMARY KEY,
    value text NOT NULL);
CREATE TABLE kelvo.items(
    id uuid PRIMARY KEY,
    parent_id uuid,
    name text COLLATE "C" NOT NULL,
    is_folder boolean NOT NULL,
    kind uuid,
    created_us bigint NOT NULL,
    modified_us bigint NOT NULL,
    visible boolean NOT NULL DEFAULT true,
    openable boolean NOT NULL DEFAULT true,
    current_version bigint,
    CONSTRAINT items_unique_name UNIQUE (parent_id, name));
CREATE TABLE kelvo.versions(
    item_id uuid NOT NULL,
    number bigint NOT NULL,
    comment text NOT NULL,
    author text NOT NULL,
    created_us bigint NOT NULL,
    PRIMARY KEY (item_id, number));
CREATE TABLE kelvo.blobs(
    id bigserial PRIMARY KEY,
    item_id uuid NOT NULL,
    version bigint,
    category uuid NOT NULL,
    size bigint NOT NULL DEFAULT 0,
    chunk_size integer NOT NULL);
CREATE INDEX blobs_by_version ON kelvo.blobs(item_id, version, id);
CREATE TABLE kelvo.blob_chunks(
    blob_id bigint NOT NULL,
    chunk_index bigint NOT NULL,
    data bytea NOT NULL,
    PRIMARY KEY (blob_id, chunk_index));
ALTER TABLE kelvo.blob_chunks ALTER COLUMN data SET STORAGE EXTERNAL;
CREATE TABLE kelvo.edit_locks(
    item_id uuid PRIMARY KEY,
    link_id uuid NOT NULL,
    lock_key bigint NOT NULL,
    backend_pid integer NOT NULL,
    holder text NOT NULL,
    taken_us bigint NOT NULL);
GRANT USAGE ON SCHEMA kelvo TO PUBLIC;
GRANT SELECT ON kelvo.repository_info TO PUBLIC;
GRANT SELECT, INSERT, DELETE ON kelvo.items, kelvo.versions, kelvo.blobs, kelvo.blob_chunks,
    kelvo.edit_locks TO PUBLIC;
GRANT UPDATE (parent_id, name, modified_us, current_version) ON kelvo.items TO PUBLIC;
GRANT UPDATE ON kelvo.blobs, kelvo.edit_locks TO PUBLIC;
GRANT USAGE ON SEQUENCE kelvo.blobs_id_seq TO PUBLIC;
)sql";

bool SchemaExists(Connection& connection) {
    return connection.Exec("SELECT 1 FROM pg_catalog.pg_namespace WHERE nspname = 'kelvo'").Rows() >
           0;
}

int SchemaVersion(Connection& connection) {
    auto result =
        connection.Exec("SELECT value FROM kelvo.repository_info WHERE key = 'schema_version'");
    if (result.Rows() == 0) {
        throw TarvoError(errc::StorageFailure,
                         L"В базе данных " + connection.Address() +
                             L" есть схема «kelvo», но это не хранилище этой программы. "
                             L"Выберите другую базу данных.");
    }
    return static_cast<int>(std::stoll(result.Utf8(0, 0)));
}

void CreateSchema(Connection& connection, const std::wstring& defaultName) {
    connection.Execute(kCreateSchema);
    connection.Exec(
        "INSERT INTO kelvo.repository_info(key, value) VALUES ('name', $1), "
        "('schema_version', $2)",
        Params().Text(defaultName).Int64(kSchemaVersion));
    connection.Exec(
        "INSERT INTO kelvo.items(id, parent_id, name, is_folder, created_us, modified_us) "
        "VALUES ($1, NULL, '', true, $2, $2)",
        Params().Uuid(GenerateUuid()).Int64(ToMicroseconds(Now())));
}

}  // namespace

void PrepareSchema(Connection& connection, const std::wstring& defaultName) {
    // Fast path: a repository of this very version needs no transaction and no lock.
    if (SchemaExists(connection) && SchemaVersion(connection) == kSchemaVersion) {
        return;
    }
    Transaction transaction(connection);
    connection.Exec("SELECT pg_advisory_xact_lock($1, $2)",
                    Params().Int64(lock_keys::kNamespace).Int64(lock_keys::kSchema));
    int version = 0;
    if (SchemaExists(connection)) {
        version = SchemaVersion(connection);
    }
    if (version > kSchemaVersion) {
        throw TarvoError(errc::StorageFailure,
                         L"Хранилище " + connection.Address() +
                             L" создано более новой версией программы (версия схемы " +
                             std::to_wstring(version) + L"). Обновите программу.");
    }
    try {
        if (version == 0) {
            CreateSchema(connection, defaultName);
        }
        // Upgrades from older schema versions go here, one step per version, each ending with
        // the new number in repository_info.
    } catch (const QueryError& error) {
        if (error.SqlState() == sql_state::kInsufficientPrivilege) {
            throw TarvoError(errc::AccessDenied,
                             L"В базе данных " + connection.Address() +
                                 L" ещё нет хранилища, а у этого пользователя нет прав создать "
                                 L"его. Попросите администратора сервера подключиться первым "
                                 L"или дать права на создание схемы (GRANT CREATE ON DATABASE).");
        }
        throw;
    }
    transaction.Commit();
}

}  // namespace tarvo::detail::postgres
