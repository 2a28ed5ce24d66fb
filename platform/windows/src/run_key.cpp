// The per-user Run key as desktop entries in the XDG autostart folder.

#include <win_compat/run_key.h>

#include <platform_base/text_codec.h>
#include <platform_base/user_folders.h>

#include <logging/logging.h>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace win_compat {
namespace {

std::filesystem::path AutostartFolder() {
    return kelvo_platform::ConfigHome() / "autostart";
}

// The file of a value; empty for a name that cannot be a file name.
std::filesystem::path EntryFile(const std::wstring& name) {
    const std::string fileName = kelvo_platform::WideToUtf8Lossy(name);
    if (fileName.empty() || fileName.find('/') != std::string::npos || fileName == "." ||
        fileName == "..") {
        KELVO_LOG(logging::kError) << L"Not a usable autostart name: \"" << name << L"\"";
        return {};
    }
    return AutostartFolder() / (fileName + ".desktop");
}

// The executable as one argument of the Exec key: quoted when needed, with the escapes of the
// desktop-entry format (its own backslash escaping applies on top of the quoting).
std::string ExecValue(const std::string& program) {
    const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string argument;
    if (program.find_first_of(reserved) == std::string::npos) {
        argument = program;
    } else {
        argument.push_back('"');
        for (const char character : program) {
            if (character == '"' || character == '`' || character == '$' || character == '\\') {
                argument.push_back('\\');
            }
            argument.push_back(character);
        }
        argument.push_back('"');
    }
    std::string value;
    for (const char character : argument) {
        if (character == '\\') {
            value += "\\\\";
        } else if (character == '%') {
            value += "%%";
        } else if (character == '\n') {
            value += "\\n";
        } else {
            value.push_back(character);
        }
    }
    return value;
}

// The application writes the executable's path with backslashes, as it would on Windows.
std::string LinuxPath(const std::wstring& commandPath) {
    std::string path = kelvo_platform::WideToUtf8Lossy(commandPath);
    if (!path.empty() && path[0] == '\\' && path.find('/') == std::string::npos) {
        for (char& character : path) {
            if (character == '\\') {
                character = '/';
            }
        }
    }
    return path;
}

}  // namespace

bool RunKey::Contains(const std::wstring& name) {
    const std::filesystem::path file = EntryFile(name);
    std::error_code error;
    return !file.empty() && std::filesystem::is_regular_file(file, error);
}

void RunKey::SetValue(const std::wstring& name, const std::wstring& commandPath) {
    const std::filesystem::path file = EntryFile(name);
    if (file.empty()) {
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    const std::filesystem::path temporary =
        file.string() + ".tmp" + std::to_string(static_cast<long>(::getpid()));
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "[Desktop Entry]\n"
            << "Type=Application\n"
            << "Name=" << kelvo_platform::WideToUtf8Lossy(name) << "\n"
            << "Exec=" << ExecValue(LinuxPath(commandPath)) << "\n"
            << "Terminal=false\n"
            << "X-GNOME-Autostart-enabled=true\n";
        out.close();
        if (!out) {
            KELVO_LOG(logging::kError) << L"Cannot write " << temporary.c_str();
            std::filesystem::remove(temporary, error);
            return;
        }
    }
    std::filesystem::rename(temporary, file, error);
    if (error) {
        KELVO_LOG(logging::kError)
            << L"Cannot write " << file.c_str() << L": " << error.message().c_str();
        std::filesystem::remove(temporary, error);
    }
}

void RunKey::Remove(const std::wstring& name) {
    const std::filesystem::path file = EntryFile(name);
    if (file.empty()) {
        return;
    }
    std::error_code error;
    std::filesystem::remove(file, error);
    if (error) {
        KELVO_LOG(logging::kError)
            << L"Cannot remove " << file.c_str() << L": " << error.message().c_str();
    }
}

}  // namespace win_compat
