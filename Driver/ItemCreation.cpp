// Resolution of paths to items, and creation of documents and folders.
#include "DriveOperations_p.h"
#include "DrivePaths.h"

#include <boost/uuid/string_generator.hpp>

namespace drive {
namespace {

// Every document created through the drive is of this kind.
const boost::uuids::uuid& DocumentKind() {
    static const boost::uuids::uuid kind =
        boost::uuids::string_generator()("1E021951-3C1B-4E80-8D38-D505CDD052AA");
    return kind;
}

std::unique_ptr<FileContext> ContextFor(tarvo::IItemStore& store, const tarvo::IdPath& path) {
    return std::make_unique<FileContext>(store.GetItemInfo(path));
}

}  // namespace

std::unique_ptr<FileContext> Resolve(tarvo::IItemStore& store, const std::wstring& path) {
    try {
        const tarvo::Names names = drive_paths::Split(path);
        const tarvo::IdPath ids = store.ResolvePath(names);
        if (ids.size() < names.size()) {
            return nullptr;
        }
        return ContextFor(store, ids);
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return nullptr;
    }
}

NTSTATUS CreateDocument(tarvo::IItemStore& store, const std::wstring& path,
                        std::unique_ptr<FileContext>& created, CreateFor purpose) {
    try {
        tarvo::Names names = drive_paths::Split(path);
        if (names.size() < 2) {
            return STATUS_ACCESS_DENIED;  // the root is no document
        }
        const std::wstring name = names.back();
        names.pop_back();
        tarvo::IdPath ids = store.ResolvePath(names);
        // A missing parent is refused instead of creating the document in the deepest folder
        // that exists.
        if (ids.size() < names.size()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        tarvo::FileCreateInfo info;
        info.id = tarvo::GenerateUuid();
        info.name = name;
        info.kind = DocumentKind();
        if (purpose == CreateFor::Editing) {
            store.CreateDocumentForEdit(ids, info, std::wstring());
        } else {
            store.CreateDocument(ids, info, std::wstring())->Close(true);
        }
        ids.push_back(info.id);
        created = ContextFor(store, ids);
        return STATUS_SUCCESS;
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return STATUS_ACCESS_DENIED;
    }
}

std::unique_ptr<FileContext> CreateFolder(tarvo::IItemStore& store, const std::wstring& path) {
    try {
        const tarvo::Names names = drive_paths::Split(path);
        const tarvo::IdPath ids = store.ResolvePath(names);
        if (ids.size() + 1 != names.size()) {
            return nullptr;
        }
        store.CreateFolders(ids, tarvo::Names{names.back()});
        const tarvo::IdPath created = store.ResolvePath(names);
        if (created.size() != names.size()) {
            return nullptr;
        }
        return ContextFor(store, created);
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return nullptr;
    }
}

}  // namespace drive
