#pragma once

// The user's folders and name, found the same way everywhere: the XDG base-directory rules applied
// once. A variable that is unset, empty or relative (which the rules call invalid) is ignored.

#include <filesystem>
#include <string>

namespace kelvo_platform {

// $HOME when it is an absolute path, else the home of the user's account entry, else the
// temporary folder: never a relative path.
std::filesystem::path HomeFolder();

// $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path DataHome();
// $XDG_STATE_HOME, else ~/.local/state.
std::filesystem::path StateHome();
// $XDG_CACHE_HOME, else ~/.cache.
std::filesystem::path CacheHome();
// $XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path ConfigHome();
// $XDG_RUNTIME_DIR; empty when it is not set to an absolute path (it has no default).
std::filesystem::path RuntimeFolder();

// The value of an environment variable; empty when unset.
std::string EnvironmentValue(const char* name);

// The user's login name: the account entry's, else $USER, else $LOGNAME; empty when none is known.
std::string UserName();

}  // namespace kelvo_platform
