#include "errors_text.h"

namespace tarvo::detail::errors {

TarvoError ItemGone() {
    return TarvoError(errc::ItemNotFound,
                      L"Объект больше не существует в хранилище: его удалил или переместил "
                      L"другой пользователь. Обновите содержимое папки.");
}

TarvoError NameTaken(const std::wstring& name) {
    return TarvoError(errc::NameCollision,
                      L"В папке уже есть объект с именем «" + name + L"». Выберите другое имя.");
}

TarvoError NotAFolder() {
    return TarvoError(errc::NotAFolder,
                      L"Объект не является папкой: в него нельзя поместить другие объекты.");
}

TarvoError NotADocument() {
    return TarvoError(errc::NotADocument,
                      L"Объект является папкой, а не документом: у папки нет версий и "
                      L"содержимого.");
}

TarvoError FolderNotEmpty() {
    return TarvoError(errc::FolderNotEmpty,
                      L"Папка не пуста. Сначала удалите или перенесите её содержимое.");
}

TarvoError InvalidName(const std::wstring& name) {
    return TarvoError(errc::InvalidArgument,
                      L"Недопустимое имя «" + name +
                          L"»: имя не может быть пустым и не может содержать обратную косую черту "
                          L"или нулевой символ.");
}

TarvoError EmptyPath() {
    return TarvoError(errc::InvalidArgument,
                      L"Путь к объекту пуст: укажите объект, начиная с корневой папки.");
}

TarvoError RootUntouchable() {
    return TarvoError(errc::InvalidArgument,
                      L"Корневую папку хранилища нельзя переименовать, переместить или удалить.");
}

TarvoError MoveIntoItself() {
    return TarvoError(errc::InvalidArgument,
                      L"Папку нельзя переместить в неё саму или в одну из её вложенных папок.");
}

TarvoError LockedBy(const std::wstring& holder) {
    return TarvoError(errc::LockedByOther, L"Документ заблокирован для редактирования: " + holder +
                                               L". Дождитесь, когда он закончит работу.");
}

TarvoError DocumentClosed() {
    return TarvoError(errc::InvalidArgument,
                      L"Документ уже закрыт. Откройте его заново, чтобы продолжить работу.");
}

TarvoError VersionNotWritable() {
    return TarvoError(errc::InvalidArgument,
                      L"Эта версия документа открыта только для чтения: чтобы изменить "
                      L"содержимое, начните новую версию.");
}

TarvoError BlobNotInVersion() {
    return TarvoError(errc::ItemNotFound,
                      L"Содержимое не найдено в этой версии документа. Откройте документ заново.");
}

TarvoError DamagedChunk() {
    return TarvoError(errc::StorageFailure,
                      L"Фрагмент содержимого документа не того размера, что записан в хранилище: "
                      L"хранилище повреждено.");
}

TarvoError BufferTooLarge(std::size_t requested, std::size_t capacity) {
    return TarvoError(errc::InvalidArgument,
                      L"Запрошенный размер буфера (" + std::to_wstring(requested) +
                          L" байт) больше его ёмкости (" + std::to_wstring(capacity) + L" байт).");
}

TarvoError Invalid(const std::wstring& what) {
    return TarvoError(errc::InvalidArgument, what);
}

}  // namespace tarvo::detail::errors
