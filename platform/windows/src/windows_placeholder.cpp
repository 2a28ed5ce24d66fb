// Placeholder until the stand-ins land.
#include <win_compat/run_key.h>
#include <win_compat/windows.h>

LPCWSTR GetCommandLineW() { return L""; }
LPWSTR* CommandLineToArgvW(LPCWSTR, int* pNumArgs) {
    *pNumArgs = 0;
    return nullptr;
}
HANDLE LocalFree(void*) { return nullptr; }
DWORD GetLogicalDrives() { return 0; }
BOOL GetUserNameW(LPWSTR, LPDWORD) { return FALSE; }
DWORD GetModuleFileNameW(HANDLE, LPWSTR, DWORD) { return 0; }
BOOL AllowSetForegroundWindow(DWORD) { return TRUE; }

namespace win_compat {
std::filesystem::path DrivesFolder() { return {}; }
std::filesystem::path MountPointFolder(const std::wstring&) { return {}; }
bool RunKey::Contains(const std::wstring&) { return false; }
void RunKey::SetValue(const std::wstring&, const std::wstring&) {}
void RunKey::Remove(const std::wstring&) {}
}  // namespace win_compat
