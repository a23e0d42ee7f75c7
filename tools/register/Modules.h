// Files and PKCS#11 module registrations of tessaro-register (Modules.cpp).
#pragma once

#include <string>

namespace tessaro_register {

// The folder of this program, resolved.
std::string SelfDir();
// mkdir -p with mode 0755; true when path is a folder afterwards.
bool MakeDirs(const std::string& path);
bool ReadFile(const std::string& path, std::string& out);
// Writes beside the target and renames, so a reader never sees half a file.
bool WriteAtomically(const std::string& path, const std::string& text);
// The file as an absolute, resolved path; empty with a reason ("WHAT PATH
// does not exist", "... is not a regular file") when refused.
std::string ResolveFile(const std::string& what, const std::string& given, std::string& reason);
// The module as an absolute, resolved path; empty with a reason when refused.
std::string CheckModule(const std::string& given, std::string& reason);
std::string BaseName(const std::string& path);
bool IsDir(const std::string& path);
bool IsFile(const std::string& path);
std::string Trim(const std::string& s);

// One PKCS#11 module as the browsers and p11-kit get it.
struct ModuleEntry {
    std::string nssName;     // the module's name in NSS databases
    std::string p11kitFile;  // its p11-kit module file, below $HOME
    std::string module;      // the library, absolute
};

// Register in, remove from and check Chromium's NSS database, every Firefox
// profile's and p11-kit, one line each. A database that holds the library
// under another name already is left as it is (NSS would load it twice).
// Exit codes: 0 done (status: all registered), 1 failed, 3 status: one missing.
int InstallModule(const std::string& home, const ModuleEntry& m);
int UninstallModule(const std::string& home, const ModuleEntry& m);
int StatusModule(const std::string& home, const ModuleEntry& m);

}  // namespace tessaro_register
