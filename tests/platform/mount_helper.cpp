// Serves the in-memory file system on the drive letter given as the first argument until it is
// killed; the crash test kills it to see that the mount does not outlive the process.

#include "memory_file_system.h"
#include "mounted_drive.h"

#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: platform_mount_helper <drive letter>\n");
        return 2;
    }
    kelvo_test::MemoryFileSystem fileSystem;
    fileSystem.AddFile(L"\\alive.txt", "yes");
    kelvo_test::MountedDrive drive(fileSystem,
                                   std::wstring(1, static_cast<wchar_t>(argv[1][0])) + L":\\");
    if (!drive.IsMounted()) {
        return 1;
    }
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(60));
    }
}
