#include "sqlite_schema.h"

#include "../time_codec.h"
#include "sqlite_database.h"

#include <tarvo/errors.h>

namespace tarvo::detail::sqlite {

namespace {

// Times are microseconds since 1970 (UTC); ids are 16-byte UUIDs. Content is stored in chunks so
// that neither a writer nor a reader ever needs a whole blob in memory.
constexpr const char* kCreateSchema = R"sql(
CREATE TABLE repository_info(
    key TEXT PRIMARY KEY NOT NULL,
    value TEXT NOT NULL);
CREATE TABLE items(
    id BLOB PRIMARY KEY NOT NULL,
    parent_id BLOB,
    name TEXT NOT NULL,
    is_folder INTEGER NOT NULL,
    kind BLOB,
    created_us INTEGER NOT NULL,
    modified_us INTEGER NOT NULL,
    visible INTEGER NOT NULL DEFAULT 1,
    openable INTEGER NOT NULL DEFAULT 1,
    current_version INTEGER);
CREATE UNIQUE INDEX items_by_parent_and_name ON items(parent_id, name);
CREATE TABLE versions(
    item_id BLOB NOT NULL,
    number INTEGER NOT NULL,
    comment TEXT NOT NULL,
    author TEXT NOT NULL,
    created_us INTEGER NOT NULL,
    PRIMARY KEY(item_id, number));
CREATE TABLE blobs(
    id INTEGER PRIMARY KEY,
    item_id BLOB NOT NULL,
    version INTEGER NOT NULL,
    category BLOB NOT NULL,
    size INTEGER NOT NULL DEFAULT 0,
    chunk_size INTEGER NOT NULL);
CREATE INDEX blobs_by_version ON blobs(item_id, version, id);
CREATE TABLE blob_chunks(
    blob_id INTEGER NOT NULL,
    chunk_index INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY(blob_id, chunk_index));
CREATE TABLE edit_locks(
    item_id BLOB PRIMARY KEY NOT NULL,
    link_id BLOB NOT NULL,
    host TEXT NOT NULL,
    process_id INTEGER NOT NULL,
    process_start INTEGER NOT NULL,
    holder TEXT NOT NULL,
    taken_us INTEGER NOT NULL);
CREATE INDEX edit_locks_by_link ON edit_locks(link_id);
)sql";

// Added to existing repositories too, at every open; a program that does not know the table
// leaves it alone. Content that an upload has written but not yet committed: its chunks are in
// blob_chunks under the blob id, and nothing else refers to them until the version's commit
// writes the blob's row and removes this one. The owner's process tells whether the upload can
// still finish; one that cannot is collected at the next open.
constexpr const char* kCreateStaging = R"sql(
CREATE TABLE IF NOT EXISTS staged_blobs(
    blob_id INTEGER PRIMARY KEY,
    link_id BLOB NOT NULL,
    host TEXT NOT NULL,
    process_id INTEGER NOT NULL,
    process_start INTEGER NOT NULL,
    started_us INTEGER NOT NULL);
)sql";

// SQLite's incremental auto-vacuum mode.
constexpr std::int64_t kIncrementalVacuum = 2;

std::int64_t AutoVacuumMode(Database& db) {
    StatementUse query(db.Prepare("PRAGMA auto_vacuum"));
    return query->Step() ? query->ColumnInt64(0) : 0;
}

// The mode can only change by rebuilding the file; done once, for repositories made before the
// space of deleted content was given back. The rebuild's copy goes to a temporary file, not to
// memory: the repository may be larger than the memory.
void EnableIncrementalVacuum(Database& db) {
    if (AutoVacuumMode(db) == kIncrementalVacuum) {
        return;
    }
    db.Execute("PRAGMA auto_vacuum=INCREMENTAL; PRAGMA temp_store=FILE;");
    try {
        db.Execute("VACUUM");
    } catch (...) {
        db.Execute("PRAGMA temp_store=MEMORY");
        throw;
    }
    db.Execute("PRAGMA temp_store=MEMORY");
}

int SchemaVersion(Database& db) {
    StatementUse query(db.Prepare("PRAGMA user_version"));
    return query->Step() ? static_cast<int>(query->ColumnInt64(0)) : 0;
}

void CreateSchema(Database& db, const std::wstring& defaultName) {
    db.Execute(kCreateSchema);
    {
        StatementUse insert(
            db.Prepare("INSERT INTO repository_info(key, value) VALUES('name', ?1)"));
        insert->BindText(1, defaultName);
        insert->Run();
    }
    const std::int64_t now = ToMicroseconds(Now());
    StatementUse insertRoot(
        db.Prepare("INSERT INTO items(id, parent_id, name, is_folder, created_us, modified_us) "
                   "VALUES(?1, NULL, '', 1, ?2, ?2)"));
    insertRoot->BindUuid(1, GenerateUuid());
    insertRoot->BindInt64(2, now);
    insertRoot->Run();
}

}  // namespace

void PrepareSchema(Database& db, const std::wstring& defaultName) {
    Transaction transaction(db, Transaction::Kind::Write);
    const int version = SchemaVersion(db);
    if (version > kSchemaVersion) {
        throw TarvoError(errc::StorageFailure,
                         L"Хранилище создано более новой версией программы (версия схемы " +
                             std::to_wstring(version) + L"). Обновите программу.");
    }
    if (version == 0) {
        CreateSchema(db, defaultName);
    }
    // Upgrades from older schema versions go here, one step per version.
    if (version != kSchemaVersion) {
        db.Execute(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    }
    db.Execute(kCreateStaging);
    transaction.Commit();
    EnableIncrementalVacuum(db);
}

}  // namespace tarvo::detail::sqlite
