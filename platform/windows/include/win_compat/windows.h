#pragma once

// Linux stand-ins for the few Windows calls the application makes. Each keeps the Windows name and
// meaning; the comment says what it stands for here.

#include <win_compat/wintypes.h>

#include <filesystem>
#include <string>

// --- Errors
// ---------------------------------------------------------------------------------------

// The calling thread's last error, as the calls below set it.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_CANCELLED = 1223;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr DWORD ERROR_DATABASE_DOES_NOT_EXIST = 1065;

// --- Command line -------------------------------------------------------------------------------

// The process's own command line (from /proc/self/cmdline), arguments joined as Windows would
// quote them, so that CommandLineToArgvW gives them back unchanged.
LPCWSTR GetCommandLineW();
// Splits a command line by the Windows rules (quotes, backslashes before quotes, the program
// name first); an empty line gives the program's own path. The result is one block freed with
// LocalFree. Null on failure.
LPWSTR* CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs);
HANDLE LocalFree(void* memory);

// --- Drives -------------------------------------------------------------------------------------

// Bit n is set when drive letter n ('A' + n) is in use: its folder in the drives folder is a
// mount point of any kind, something other than a folder, or a folder that is not empty.
DWORD GetLogicalDrives();

// --- Users, processes and windows ---------------------------------------------------------------

// The account name of the real user. *pcbBuffer is in characters, terminator included.
BOOL GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer);
// The running executable's full path (/proc/self/exe); hModule must be null (this process).
DWORD GetModuleFileNameW(HANDLE hModule, LPWSTR lpFilename, DWORD nSize);
BOOL AllowSetForegroundWindow(DWORD dwProcessId);  // nothing to do on Linux

constexpr DWORD ASFW_ANY = static_cast<DWORD>(-1);

// --- COM
// ------------------------------------------------------------------------------------------

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;

// Nothing to initialise on Linux; S_OK.
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);

// --- Starting programs and waiting for them
// -------------------------------------------------------

constexpr ULONG SEE_MASK_DEFAULT = 0x00000000;
constexpr ULONG SEE_MASK_NOCLOSEPROCESS = 0x00000040;
constexpr ULONG SEE_MASK_NOASYNC = 0x00000100;
constexpr ULONG SEE_MASK_FLAG_NO_UI = 0x00000400;

constexpr INT SW_HIDE = 0;
constexpr INT SW_SHOWNORMAL = 1;
constexpr INT SW_SHOW = 5;

struct SHELLEXECUTEINFOW {
    DWORD cbSize;
    ULONG fMask;
    HWND hwnd;
    LPCWSTR lpVerb;
    LPCWSTR lpFile;
    LPCWSTR lpParameters;
    LPCWSTR lpDirectory;
    int nShow;
    HINSTANCE hInstApp;
    void* lpIDList;
    LPCWSTR lpClass;
    void* hkeyClass;
    DWORD dwHotKey;
    union {
        HANDLE hIcon;
        HANDLE hMonitor;
    };
    HANDLE hProcess;
};
using LPSHELLEXECUTEINFOW = SHELLEXECUTEINFOW*;

// Verb "runas": starts lpFile with lpParameters with administrator rights (through pkexec); with
// SEE_MASK_NOCLOSEPROCESS, hProcess receives a handle to wait on. Verb "open" (or none): hands
// lpFile to the desktop's opener (xdg-open). FALSE with GetLastError when refused or impossible;
// pkexec asks for the password after the start, so a refusal there shows only as the program
// ending without effect.
BOOL ShellExecuteExW(SHELLEXECUTEINFOW* pExecInfo);

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Waits for a process that ShellExecuteExW started.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);

// --- Driver installation and service control ----------------------------------------------------

// An open service control manager or service.
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;

constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// SERVICE_STATUS::dwCurrentState
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

constexpr DWORD SERVICE_KERNEL_DRIVER = 0x00000001;
constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x00000002;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

// The local manager only: lpMachineName and lpDatabaseName must be null or empty.
SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess);
// Null with ERROR_SERVICE_DOES_NOT_EXIST when the service is not installed.
SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess);
BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);
// For "dokan1": loads the kernel's FUSE module (modprobe fuse).
BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors);
BOOL CloseServiceHandle(SC_HANDLE hSCObject);

// Installs the driver package: the distribution's fuse3 package through the package manager.
// The section and INF path of the command line are not needed here.
void InstallHinfSectionW(HWND Window, HINSTANCE ModuleHandle, LPCWSTR CommandLine, INT ShowCommand);

namespace win_compat {

// The folder that holds one folder per drive letter: $KELVO_DRIVES_DIR, or ~/KelvoDrive.
std::filesystem::path DrivesFolder();

// The folder a drive path such as L"Z:\\" is mounted on ("Z", "Z:" and lower case letters are
// taken too); empty for a text that names no letter.
std::filesystem::path MountPointFolder(const std::wstring& drivePath);

}  // namespace win_compat
