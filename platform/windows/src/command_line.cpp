// GetCommandLineW and CommandLineToArgvW over the process's own arguments.

#include <win_compat/windows.h>

#include <platform_base/text_codec.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ReadOwnArguments() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\0', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        arguments.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return arguments;
}

// Quotes one argument so that the splitting rules below give it back unchanged.
void AppendQuoted(const std::wstring& argument, std::wstring& line) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line.push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t character : argument) {
        if (character == L'\\') {
            ++backslashes;
            continue;
        }
        if (character == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line.push_back(character);
    }
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
}

// The program name: up to the first blank, or between quotes without any escaping.
const wchar_t* ParseProgramName(const wchar_t* cursor, std::wstring& out) {
    if (*cursor == L'"') {
        ++cursor;
        while (*cursor != L'\0' && *cursor != L'"') {
            out.push_back(*cursor++);
        }
        if (*cursor == L'"') {
            ++cursor;
        }
    } else {
        while (*cursor != L'\0' && *cursor != L' ' && *cursor != L'\t') {
            out.push_back(*cursor++);
        }
    }
    return cursor;
}

// Every further argument: 2n backslashes before a quote give n backslashes and the quote
// toggles quoting, 2n+1 give n backslashes and a literal quote; inside quotes a doubled quote is
// a literal one.
const wchar_t* ParseArgument(const wchar_t* cursor, std::wstring& out) {
    bool quoted = false;
    while (*cursor != L'\0') {
        if (!quoted && (*cursor == L' ' || *cursor == L'\t')) {
            break;
        }
        if (*cursor == L'\\') {
            std::size_t backslashes = 0;
            while (*cursor == L'\\') {
                ++backslashes;
                ++cursor;
            }
            if (*cursor == L'"') {
                out.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    out.push_back(L'"');
                    ++cursor;
                }
            } else {
                out.append(backslashes, L'\\');
            }
            continue;
        }
        if (*cursor == L'"') {
            ++cursor;
            if (quoted && *cursor == L'"') {
                out.push_back(L'"');
                ++cursor;
            } else {
                quoted = !quoted;
            }
            continue;
        }
        out.push_back(*cursor++);
    }
    return cursor;
}

std::wstring OwnExecutablePath() {
    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(nullptr, path, 4096);
    return std::wstring(path, length);
}

}  // namespace

LPCWSTR GetCommandLineW() {
    static const std::wstring line = [] {
        std::wstring result;
        for (const std::string& argument : ReadOwnArguments()) {
            if (!result.empty()) {
                result.push_back(L' ');
            }
            AppendQuoted(kelvo_platform::Utf8ToWideLossy(argument), result);
        }
        return result;
    }();
    return line.c_str();
}

LPWSTR* CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
    if (pNumArgs == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::wstring> arguments;
    if (lpCmdLine == nullptr || *lpCmdLine == L'\0') {
        arguments.push_back(OwnExecutablePath());
    } else {
        std::wstring program;
        const wchar_t* cursor = ParseProgramName(lpCmdLine, program);
        arguments.push_back(std::move(program));
        for (;;) {
            while (*cursor == L' ' || *cursor == L'\t') {
                ++cursor;
            }
            if (*cursor == L'\0') {
                break;
            }
            std::wstring argument;
            cursor = ParseArgument(cursor, argument);
            arguments.push_back(std::move(argument));
        }
    }
    // One block: the pointer array followed by the strings, so that one LocalFree frees all.
    std::size_t characters = 0;
    for (const std::wstring& argument : arguments) {
        characters += argument.size() + 1;
    }
    const std::size_t pointerBytes = (arguments.size() + 1) * sizeof(LPWSTR);
    void* block = std::malloc(pointerBytes + characters * sizeof(wchar_t));
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto** pointers = static_cast<LPWSTR*>(block);
    auto* text = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + pointerBytes);
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        pointers[index] = text;
        std::wmemcpy(text, arguments[index].c_str(), arguments[index].size() + 1);
        text += arguments[index].size() + 1;
    }
    pointers[arguments.size()] = nullptr;
    *pNumArgs = static_cast<int>(arguments.size());
    return pointers;
}

HANDLE LocalFree(void* memory) {
    std::free(memory);
    return nullptr;
}
