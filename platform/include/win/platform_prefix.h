// The prefix: the directory that holds this installation's state (registry
// hives, trace files), like a Windows installation in miniature.
//
// Internal to the platform layer and its tools; the system above it never
// sees paths. The directory is TESSARO_PREFIX, else $XDG_DATA_HOME/tessaro,
// else ~/.local/share/tessaro. The environment is read again on every call,
// so a process (a test) may switch prefixes; users of the prefix compare
// PrefixDirectory() with what they opened before and reopen on a change.
#pragma once

#include <string>

#include "win/wintypes.h"

namespace tessaro_platform {

// The prefix directory without a trailing '/' (symlinks resolved), created
// 0700 (with missing parents) on first use. Empty when it cannot be used:
// not determined, a relative path, not a directory, another user's, or open
// to other users; PrefixError() then tells which (ERROR_PATH_NOT_FOUND,
// ERROR_BAD_PATHNAME, ERROR_DIRECTORY, ERROR_ACCESS_DENIED).
std::string PrefixDirectory();
DWORD PrefixError();

// The same directory as named by the environment, neither created nor
// checked: for readers that must not make a prefix where there is none.
std::string PrefixPath();

// A directory below the prefix (e.g. "trace"), created 0700 when missing.
// Empty on failure.
std::string PrefixSubdirectory(const char* pszName);

// Opens a file with the given open(2) flags plus O_CLOEXEC | O_NOFOLLOW;
// a file it creates gets mode 0600 whatever the umask. Returns the
// descriptor or -1 (errno set; ELOOP for a symlink).
int OpenPrivateFile(const std::string& path, int flags);

// Makes the entries of a directory (a file just created in it) durable.
void SyncDirectory(const std::string& dir);

}  // namespace tessaro_platform
