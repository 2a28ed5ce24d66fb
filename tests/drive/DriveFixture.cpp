#include "DriveFixture.h"

#include <boost/uuid/string_generator.hpp>

#include <cstring>

namespace drive_test {
namespace {

tarvo::Names SplitForTest(const std::wstring& path) {
    tarvo::Names names{L""};
    std::wstring current;
    for (const wchar_t c : path) {
        if (c == L'\\') {
            if (!current.empty()) {
                names.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        names.push_back(current);
    }
    return names;
}

int CollectFindData(PWIN32_FIND_DATAW record, PDOKAN_FILE_INFO fileInfo) {
    reinterpret_cast<std::vector<WIN32_FIND_DATAW>*>(fileInfo->Context)->push_back(*record);
    return 0;
}

void WriteBlob(tarvo::IDocument& document, const std::string& content) {
    const auto writer = document.CreateBlob(
        boost::uuids::string_generator()("0b5f7a7e-0000-4000-8000-00000000aaaa"));
    const std::size_t chunk = writer->GetChunkSize();
    const auto buffer = tarvo::CreateBuffer(chunk);
    for (std::size_t offset = 0; offset < content.size(); offset += chunk) {
        const std::size_t count = std::min(chunk, content.size() - offset);
        std::memcpy(buffer->GetData(), content.data() + offset, count);
        buffer->SetSize(count);
        writer->Write(buffer);
    }
    writer->Close();
}

}  // namespace

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

void DriveFixture::SetUp() {
    ASSERT_TRUE(m_dataFolder.isValid());
    m_dataEnvironment = std::make_unique<kelvo_test::ScopedEnvironment>(
        "KELVO_DATA_DIR", m_dataFolder.path().toStdString());
    m_core = tarvo::CreateCore();
    ASSERT_TRUE(m_core) << "the repository core is not available";
    m_link = m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    m_store = m_link->OpenItemStore();
    m_faulty = std::make_shared<FaultyItemStore>(m_store);
    m_other = m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{})->OpenItemStore();

    m_drive = std::make_shared<KelvoFileSystem>(m_core);
    m_drive->connection.endpoint = tarvo::endpoint::Local{};
    m_drive->connection.credentials = tarvo::auth::Current{};
    m_drive->repository.store(m_link);
    m_drive->itemStore.store(m_faulty);

    m_options.Version = DOKAN_VERSION;
    m_options.GlobalContext = reinterpret_cast<ULONG64>(m_drive.get());
    m_options.MountPoint = L"Q:\\";
    m_operations = DriveOperationsTable();
}

void DriveFixture::TearDown() {
    m_drive.reset();
    m_dataEnvironment.reset();
}

std::unique_ptr<Handle> DriveFixture::open(const std::wstring& path, ULONG disposition,
                                           ACCESS_MASK access, ULONG createOptions,
                                           bool asDirectory) {
    auto handle = std::make_unique<Handle>();
    handle->path = path;
    handle->info.DokanOptions = &m_options;
    handle->info.IsDirectory = asDirectory ? TRUE : FALSE;
    DOKAN_IO_SECURITY_CONTEXT security{};
    handle->status = m_operations.ZwCreateFile(
        path.c_str(), &security, access, 0, FILE_SHARE_READ, disposition,
        createOptions | (asDirectory ? FILE_DIRECTORY_FILE : 0), &handle->info);
    return handle;
}

void DriveFixture::close(Handle& handle) {
    m_operations.Cleanup(handle.path.c_str(), &handle.info);
    m_operations.CloseFile(handle.path.c_str(), &handle.info);
}

std::string DriveFixture::read(Handle& handle, LONGLONG offset, DWORD length, NTSTATUS* status) {
    std::string buffer(length, '\x55');
    DWORD count = 0;
    const NTSTATUS result = m_operations.ReadFile(handle.path.c_str(), buffer.data(), length,
                                                  &count, offset, &handle.info);
    if (status) {
        *status = result;
    }
    buffer.resize(count);
    return buffer;
}

std::string DriveFixture::readAll(Handle& handle) {
    std::string content;
    for (;;) {
        NTSTATUS status = 0;
        const std::string part =
            read(handle, static_cast<LONGLONG>(content.size()), 64 * 1024, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (part.empty() || status != STATUS_SUCCESS) {
            return content;
        }
        content += part;
    }
}

NTSTATUS DriveFixture::write(Handle& handle, LONGLONG offset, const std::string& data,
                             DWORD* written) {
    DWORD count = 0;
    const NTSTATUS status =
        m_operations.WriteFile(handle.path.c_str(), data.data(), static_cast<DWORD>(data.size()),
                               &count, offset, &handle.info);
    if (written) {
        *written = count;
    }
    return status;
}

NTSTATUS DriveFixture::flush(Handle& handle) {
    return m_operations.FlushFileBuffers(handle.path.c_str(), &handle.info);
}

std::vector<WIN32_FIND_DATAW> DriveFixture::list(const std::wstring& path, NTSTATUS* status) {
    std::vector<WIN32_FIND_DATAW> records;
    DOKAN_FILE_INFO info{};
    info.DokanOptions = &m_options;
    info.Context = reinterpret_cast<ULONG64>(&records);  // read back by CollectFindData only
    const NTSTATUS result = m_operations.FindFiles(path.c_str(), CollectFindData, &info);
    if (status) {
        *status = result;
    }
    return records;
}

std::vector<std::wstring> DriveFixture::listNames(const std::wstring& path) {
    std::vector<std::wstring> names;
    for (const auto& record : list(path)) {
        names.emplace_back(record.cFileName);
    }
    return names;
}

NTSTATUS DriveFixture::move(Handle& handle, const std::wstring& newPath, bool replace) {
    return m_operations.MoveFile(handle.path.c_str(), newPath.c_str(), replace ? TRUE : FALSE,
                                 &handle.info);
}

void DriveFixture::save(const std::wstring& path, const std::string& content) {
    auto handle = open(path, kCreateAlways, kWriteAccess);
    ASSERT_TRUE(handle->status == STATUS_SUCCESS || handle->status == STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(write(*handle, 0, content), STATUS_SUCCESS);
    close(*handle);
}

tarvo::IdPath DriveFixture::makeFolder(const std::wstring& path) {
    tarvo::Names names = SplitForTest(path);
    const std::wstring name = names.back();
    names.pop_back();
    const tarvo::IdPath parent = m_store->ResolvePath(names);
    m_store->CreateFolders(parent, {name});
    names.push_back(name);
    return m_store->ResolvePath(names);
}

tarvo::IdPath DriveFixture::makeDocument(const std::wstring& path, const std::string& content) {
    tarvo::Names names = SplitForTest(path);
    tarvo::FileCreateInfo info;
    info.id = tarvo::GenerateUuid();
    info.name = names.back();
    info.kind = boost::uuids::string_generator()("1E021951-3C1B-4E80-8D38-D505CDD052AA");
    names.pop_back();
    tarvo::IdPath ids = m_store->ResolvePath(names);
    const auto document = m_store->CreateDocument(ids, info, L"");
    if (!content.empty()) {
        WriteBlob(*document, content);
    }
    document->Close(true);
    ids.push_back(info.id);
    return ids;
}

void DriveFixture::commitElsewhere(const std::wstring& path, const std::string& content) {
    const auto ids = find(path);
    ASSERT_TRUE(ids) << Narrow(path);
    std::wstring holder;
    ASSERT_EQ(m_other->LockForEdit(*ids, holder), tarvo::lock_state::kTaken);
    const auto version = m_other->BeginVersion(*ids, L"");
    WriteBlob(*version, content);
    version->Close(true);
    m_other->Unlock(*ids);
}

std::optional<tarvo::IdPath> DriveFixture::find(const std::wstring& path) {
    const tarvo::Names names = SplitForTest(path);
    tarvo::IdPath ids = m_store->ResolvePath(names);
    if (ids.size() != names.size()) {
        return std::nullopt;
    }
    return ids;
}

std::optional<std::string> DriveFixture::contentOf(const std::wstring& path) {
    const auto ids = find(path);
    if (!ids) {
        return std::nullopt;
    }
    const auto document = m_store->OpenDocument(*ids);
    std::string content;
    tarvo::BlobInfo first;
    if (document->ListBlobs()->Next(first)) {
        const auto reader = document->OpenBlob(first.id);
        for (auto buffer = reader->Read(); buffer && buffer->GetSize() != 0;
             buffer = reader->Read()) {
            content.append(reinterpret_cast<const char*>(buffer->GetData()), buffer->GetSize());
        }
        reader->Close();
    }
    document->Close(false);
    return content;
}

tarvo::BrowserItemInfo DriveFixture::infoOf(const std::wstring& path) {
    const auto ids = find(path);
    EXPECT_TRUE(ids) << Narrow(path);
    return ids ? m_store->GetItemInfo(*ids) : tarvo::BrowserItemInfo{};
}

std::size_t DriveFixture::versionCount(const std::wstring& path) {
    const auto ids = find(path);
    EXPECT_TRUE(ids) << Narrow(path);
    return ids ? m_store->ListVersions(*ids).size() : 0;
}

tarvo::BlobInfo DriveFixture::firstBlobOf(const std::wstring& path) {
    tarvo::BlobInfo first;
    const auto document = m_store->OpenDocument(*find(path));
    EXPECT_TRUE(document->ListBlobs()->Next(first));
    document->Close(false);
    return first;
}

std::wstring DriveFixture::repositoryName() {
    return m_link->GetRepositoryName();
}

}  // namespace drive_test
