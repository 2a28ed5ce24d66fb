#include "create_flags.h"

#include <dokan/dokan.h>

namespace kelvo_dokan {

DWORD KernelDispositionToUser(ULONG kernelDisposition) {
    switch (kernelDisposition) {
        case FILE_CREATE:
            return CREATE_NEW;
        case FILE_OPEN:
            return OPEN_EXISTING;
        case FILE_OPEN_IF:
            return OPEN_ALWAYS;
        case FILE_OVERWRITE:
            return TRUNCATE_EXISTING;
        case FILE_SUPERSEDE:
        case FILE_OVERWRITE_IF:
            return CREATE_ALWAYS;
        default:
            return 0;
    }
}

}  // namespace kelvo_dokan

void DokanMapKernelToUserCreateFileFlags(ACCESS_MASK DesiredAccess, ULONG FileAttributes,
                                         ULONG CreateOptions, ULONG CreateDisposition,
                                         ACCESS_MASK* outDesiredAccess,
                                         DWORD* outFileAttributesAndFlags,
                                         DWORD* outCreationDisposition) {
    if (outDesiredAccess != nullptr) {
        // The specific rights stay; a complete set of them also carries its generic right.
        ACCESS_MASK access = DesiredAccess;
        if ((DesiredAccess & FILE_GENERIC_READ) == FILE_GENERIC_READ) {
            access |= GENERIC_READ;
        }
        if ((DesiredAccess & FILE_GENERIC_WRITE) == FILE_GENERIC_WRITE) {
            access |= GENERIC_WRITE;
        }
        if ((DesiredAccess & FILE_GENERIC_EXECUTE) == FILE_GENERIC_EXECUTE) {
            access |= GENERIC_EXECUTE;
        }
        if ((DesiredAccess & FILE_ALL_ACCESS) == FILE_ALL_ACCESS) {
            access |= GENERIC_ALL;
        }
        *outDesiredAccess = access;
    }
    if (outFileAttributesAndFlags != nullptr) {
        DWORD flags = FileAttributes;
        const struct {
            ULONG option;
            DWORD flag;
        } mapping[] = {
            {FILE_WRITE_THROUGH, FILE_FLAG_WRITE_THROUGH},
            {FILE_NO_INTERMEDIATE_BUFFERING, FILE_FLAG_NO_BUFFERING},
            {FILE_RANDOM_ACCESS, FILE_FLAG_RANDOM_ACCESS},
            {FILE_SEQUENTIAL_ONLY, FILE_FLAG_SEQUENTIAL_SCAN},
            {FILE_DELETE_ON_CLOSE, FILE_FLAG_DELETE_ON_CLOSE},
            {FILE_OPEN_FOR_BACKUP_INTENT, FILE_FLAG_BACKUP_SEMANTICS},
            {FILE_OPEN_REPARSE_POINT, FILE_FLAG_OPEN_REPARSE_POINT},
            {FILE_OPEN_NO_RECALL, FILE_FLAG_OPEN_NO_RECALL},
        };
        for (const auto& entry : mapping) {
            if ((CreateOptions & entry.option) != 0) {
                flags |= entry.flag;
            }
        }
        if ((CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) == 0) {
            flags |= FILE_FLAG_OVERLAPPED;
        }
        *outFileAttributesAndFlags = flags;
    }
    if (outCreationDisposition != nullptr) {
        *outCreationDisposition = kelvo_dokan::KernelDispositionToUser(CreateDisposition);
    }
}
