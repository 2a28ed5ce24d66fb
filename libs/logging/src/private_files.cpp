#include <logging/private_files.h>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace private_files {

void CreateFolders(const std::filesystem::path& folder, std::error_code& error) {
    error.clear();
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path current = folder; !current.empty();
         current = current.parent_path()) {
        if (std::filesystem::exists(current, error) || error) {
            break;
        }
        missing.push_back(current);
        if (current == current.parent_path()) {
            break;
        }
    }
    if (error) {
        return;
    }
    // Outermost first. mkdir's mode is only ever narrowed by the umask, so 0700 stays 0700.
    for (auto path = missing.rbegin(); path != missing.rend(); ++path) {
        if (::mkdir(path->c_str(), S_IRWXU) != 0 && errno != EEXIST) {
            error = std::error_code(errno, std::generic_category());
            return;
        }
    }
}

void CreatePrivateFile(const std::filesystem::path& file, std::error_code& error) {
    error.clear();
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor < 0) {
        error = std::error_code(errno, std::generic_category());
        return;
    }
    if (::fchmod(descriptor, S_IRUSR | S_IWUSR) != 0) {
        error = std::error_code(errno, std::generic_category());
    }
    ::close(descriptor);
}

}  // namespace private_files
