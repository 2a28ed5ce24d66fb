#include "DrivePaths.h"

namespace drive_paths {

tarvo::Names Split(const std::wstring& path) {
    tarvo::Names names{std::wstring()};
    std::size_t position = 0;
    while (position < path.size()) {
        const std::size_t separator = path.find(L'\\', position);
        const std::size_t end = separator == std::wstring::npos ? path.size() : separator;
        if (end > position) {
            names.push_back(path.substr(position, end - position));
        }
        position = end + 1;
    }
    return names;
}

bool IsServiceFile(const std::wstring& path) {
    return path == kServiceFilePath;
}

bool IsSystemFolder(const std::wstring& path) {
    return path == L"\\System Volume Information" || path == L"\\$RECYCLE.BIN";
}

bool IsRoot(const std::wstring& path) {
    return Split(path).size() == 1;
}

}  // namespace drive_paths
