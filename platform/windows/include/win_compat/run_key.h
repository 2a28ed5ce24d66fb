#pragma once

#include <string>

namespace win_compat {

// The per-user "Run" key: programs started with the user's logon. On Linux a value is a desktop
// entry in the XDG autostart folder ($XDG_CONFIG_HOME/autostart/<name>.desktop).
class RunKey {
public:
    static bool Contains(const std::wstring& name);
    // Starts `commandPath` (a full executable path) at logon under `name`.
    static void SetValue(const std::wstring& name, const std::wstring& commandPath);
    static void Remove(const std::wstring& name);
};

}  // namespace win_compat
