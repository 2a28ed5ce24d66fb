#pragma once

#include "FaultyItemStore.h"

#include <DriveOperations.h>
#include <FSDriver.h>
#include <test_support.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drive_test {

// Kernel create dispositions as ZwCreateFile receives them, by the user-mode disposition they
// stand for.
constexpr ULONG kCreateNew = FILE_CREATE;
constexpr ULONG kCreateAlways = FILE_OVERWRITE_IF;
constexpr ULONG kOpenExisting = FILE_OPEN;
constexpr ULONG kOpenAlways = FILE_OPEN_IF;
constexpr ULONG kTruncateExisting = FILE_OVERWRITE;
constexpr ULONG kUnknownDisposition = 9;

constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kWriteAccess = kReadAccess | FILE_WRITE_DATA;

// One handle as the driver keeps it between the calls of its operations.
struct Handle {
    std::wstring path;
    DOKAN_FILE_INFO info{};
    NTSTATUS status = 0;
    bool hasContext() const { return info.Context != 0; }
};

// A drive on a fresh local repository (in a temporary data folder), driven through its table of
// operations without a mount. The drive's item store is wrapped by a FaultyItemStore.
class DriveFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // --- Through the drive's operations --------------------------------------------------------
    std::unique_ptr<Handle> open(const std::wstring& path, ULONG disposition,
                                 ACCESS_MASK access = kReadAccess, ULONG createOptions = 0,
                                 bool asDirectory = false);
    // Cleanup and CloseFile, as the driver ends a handle.
    void close(Handle& handle);
    std::string read(Handle& handle, LONGLONG offset, DWORD length, NTSTATUS* status = nullptr);
    std::string readAll(Handle& handle);
    NTSTATUS write(Handle& handle, LONGLONG offset, const std::string& data,
                   DWORD* written = nullptr);
    NTSTATUS flush(Handle& handle);
    std::vector<WIN32_FIND_DATAW> list(const std::wstring& path, NTSTATUS* status = nullptr);
    std::vector<std::wstring> listNames(const std::wstring& path);
    NTSTATUS move(Handle& handle, const std::wstring& newPath, bool replace);
    // Opens, writes the whole content and closes: one save as a program does it.
    void save(const std::wstring& path, const std::string& content);

    // --- Straight on the repository, through a link of the test's own ------------------------
    tarvo::IdPath makeFolder(const std::wstring& path);
    tarvo::IdPath makeDocument(const std::wstring& path, const std::string& content);
    // A new version of the document, committed through the second link ("someone else").
    void commitElsewhere(const std::wstring& path, const std::string& content);
    // Content of the document's first blob; nullopt when there is no item at the path.
    std::optional<std::string> contentOf(const std::wstring& path);
    std::optional<tarvo::IdPath> find(const std::wstring& path);
    tarvo::BrowserItemInfo infoOf(const std::wstring& path);
    std::size_t versionCount(const std::wstring& path);
    tarvo::BlobInfo firstBlobOf(const std::wstring& path);
    std::wstring repositoryName();

    QTemporaryDir m_dataFolder;
    std::unique_ptr<kelvo_test::ScopedEnvironment> m_dataEnvironment;
    std::shared_ptr<tarvo::ICore> m_core;
    std::shared_ptr<tarvo::IRepository> m_link;  // the drive's link
    std::shared_ptr<tarvo::IItemStore> m_store;  // the drive's item store, unwrapped
    std::shared_ptr<FaultyItemStore> m_faulty;   // what the drive sees
    std::shared_ptr<tarvo::IItemStore> m_other;  // a second link: "someone else"
    std::shared_ptr<KelvoFileSystem> m_drive;
    DOKAN_OPTIONS m_options{};
    DOKAN_OPERATIONS m_operations{};
};

// Text of a wide string for assertion messages.
std::string Narrow(const std::wstring& text);

}  // namespace drive_test
