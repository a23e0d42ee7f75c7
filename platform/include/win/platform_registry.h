// Internal helpers of the registry for other platform units (the certificate
// stores and the providers). The system above the platform never uses them.
//
// RegistryTransaction groups several registry changes of ONE hive into one
// SQLite transaction, so they become visible together or not at all (a crash
// or a failure in the middle leaves nothing half-written):
//
//     tessaro_platform::RegistryTransaction tx(HKEY_CURRENT_USER);
//     if (tx.Status() != ERROR_SUCCESS) return tx.Status();
//     RegCreateKeyExW(HKEY_CURRENT_USER, ...);   // ordinary Reg* calls
//     RegSetValueExW(hKey, ...);
//     if (failed) return code;                   // destructor rolls back
//     LSTATUS st = tx.Commit();
//
// While the object lives, every Reg* call of this process on that hive runs
// inside the transaction (each call is a savepoint, so a failing call undoes
// only itself); other threads of the process wait until it ends, other
// processes see the changes only after Commit(). The write lock is taken at
// construction, so a read-check-write sequence inside it is atomic across
// processes. Transactions on the same hive may nest (an inner one is a savepoint
// that its own rollback undoes); only the outermost one makes the changes
// durable. Do not switch TESSARO_PREFIX while one is open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessaro/SecureBuffer.h"
#include "win/winreg.h"

namespace tessaro_platform {

class RegistryTransaction {
public:
    // hKey: HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or an open key of either.
    explicit RegistryTransaction(HKEY hKey);
    ~RegistryTransaction();  // rolls back unless Commit() succeeded
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    // ERROR_SUCCESS when the transaction is open; ERROR_ACCESS_DENIED when the
    // hive cannot be written, ERROR_INVALID_HANDLE for a bad key,
    // ERROR_NOT_ENOUGH_MEMORY when it could not be begun for want of memory.
    LSTATUS Status() const { return m_status; }
    LSTATUS Commit();

private:
    void Begin(HKEY hKey);

    int m_hive = -1;
    LSTATUS m_status;
    bool m_done = false;
    bool m_outermost = false;
};

// Durability of changes. By default every commit is on the disk when it
// returns. A program that answers requests (the host, the plug-in) may defer
// that and call RegistryMakeDurable() before each answer: every change since
// the last call then reaches the disk with one sync per hive changed, instead
// of one sync per commit.
void RegistryDeferDurability(bool bDefer);
// ERROR_SUCCESS when every change of this process is on the disk; the
// registry error of a failed sync otherwise.
LSTATUS RegistryMakeDurable();

// A number that changes whenever either hive of the prefix changed, through
// this process or another: readers that keep what they read compare it
// instead of reading again.
uint64_t RegistryVersion();
// The same for one hive (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER); false when
// the hive cannot be read, so that nothing kept is trusted then.
bool RegistryHiveVersion(HKEY hHive, uint64_t* pVersion);
// A number that changes whenever this process changed either hive or
// switched prefixes, and only then; it asks neither hive. What a reader kept
// from its own read is still what this process left there while it is
// unchanged (another process may have changed it since).
uint64_t RegistryLocalVersion();

// RegOpenKeyExW of lpSubKey and RegQueryValueExW of one of its values as one
// call, which reads the hive once: the value's type and whole data. Both
// calls' codes are as those calls give them; *pbKeyFound tells which of the
// two failed (a missing key and a missing value are both
// ERROR_FILE_NOT_FOUND). The data may be key material: it is kept in a
// buffer that wipes itself.
LSTATUS RegistryGetValue(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, bool* pbKeyFound, DWORD* pdwType,
                         tessaro::SecureBytes* pData);

// One value as RegistryGetValues reads it: RegQueryValueExW's code, the
// value's type and whole data.
struct RegistryValueRead {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = 0;
    tessaro::SecureBytes data;
};
// The same for several values of one key in one read of the hive: returns
// RegOpenKeyExW's code and, when that succeeded, each value's in its entry.
LSTATUS RegistryGetValues(HKEY hKey, LPCWSTR lpSubKey, const LPCWSTR* ppValueNames, size_t count,
                          RegistryValueRead* pValues);

// The names of every subkey of lpSubKey, in RegEnumKeyExW's order, read at
// once: what RegOpenKeyExW and one RegEnumKeyExW per index give.
LSTATUS RegistryGetSubkeyNames(HKEY hKey, LPCWSTR lpSubKey, std::vector<std::u16string>* pNames);

// The installed machine hive: while this path is a regular file (the package
// makes it, root-owned 0644), HKEY_LOCAL_MACHINE is that file for every user;
// root writes it, everybody else only reads it. Without it (a build tree)
// both hives are in the prefix.
const char* RegistrySystemHivePath();
bool RegistryHasSystemHive();

// Reads the whole hive (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER) once:
// ERROR_SUCCESS when it is whole and has its schema, ERROR_BADDB when it is
// damaged (not a database, a broken page or index, no schema), otherwise why
// it cannot be opened (the prefix's refusal, ERROR_ACCESS_DENIED, ...).
// Nothing is changed (an empty new file gets its schema, as at any opening
// by a writer).
LSTATUS RegistryCheckHive(HKEY hKey);

}  // namespace tessaro_platform
