#include "sqlite_error.h"

#include "../text_codec.h"

#include <tarvo/errors.h>

#include <sqlite3.h>

namespace tarvo::detail::sqlite {

void ThrowError(sqlite3* db, int code) {
    const std::wstring detail = FromUtf8(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            throw TarvoError(errc::StorageFailure,
                             L"Хранилище слишком долго занято другой операцией записи. Повторите "
                             L"действие немного позже. (" +
                                 detail + L")");
        case SQLITE_FULL:
            throw TarvoError(errc::DiskFull,
                             L"Недостаточно места на диске для записи в хранилище. Освободите "
                             L"место и повторите действие. (" +
                                 detail + L")");
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            throw TarvoError(errc::StorageFailure,
                             L"Файл хранилища повреждён. Восстановите его из резервной копии. (" +
                                 detail + L")");
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_CANTOPEN:
            throw TarvoError(errc::StorageFailure,
                             L"Нет доступа к файлу хранилища. Проверьте права на папку данных "
                             L"программы. (" +
                                 detail + L")");
        case SQLITE_IOERR:
            throw TarvoError(errc::StorageFailure,
                             L"Ошибка ввода-вывода при работе с файлом хранилища. Проверьте диск "
                             L"и повторите действие. (" +
                                 detail + L")");
        case SQLITE_TOOBIG:
            throw TarvoError(errc::TooLarge,
                             L"Содержимое слишком велико для хранилища. (" + detail + L")");
        default:
            throw TarvoError(errc::StorageFailure,
                             L"Ошибка базы данных хранилища: " + detail + L".");
    }
}

}  // namespace tarvo::detail::sqlite
