// Persistent key containers.
//
// HKCU\Software\Tessaro\Crypto\Keys\<family>\<container>, one binary value per
// key spec ("Exchange", "Signature") holding a CContainerKeyRecord, so that
// a key and its certificate change in one registry transaction. Container
// names compare case-insensitively (as registry key names do); '\' and '%'
// are escaped in the key name.
#pragma once

#include <string>
#include <vector>

#include "platform/csp/CspCommon.h"

namespace tessaro::csp {

struct CContainerKeyRecord {
    ALG_ID aiKeyAlg = 0;             // CALG_RSA_KEYX, CALG_RSA_SIGN, CALG_SM2_KEYX, ...
    DWORD dwFlags = 0;               // creation flags: CRYPT_EXPORTABLE, CRYPT_ARCHIVABLE, ...
    DWORD dwBitLen = 0;              // key length in bits
    SecureBytes privateKey;          // provider's serialization (RSA: PKCS#1 DER)
    std::vector<BYTE> certificate;   // KP_CERTIFICATE, DER; empty when none

    SecureBytes Serialize() const;
    // NTE_KEYSET_ENTRY_BAD for a damaged record.
    CspStatus Parse(const BYTE* p, size_t n);
};

// A container's key records by key spec (AT_KEYEXCHANGE, AT_SIGNATURE), with
// the code of each one's read.
struct CContainerRecords {
    CspStatus status[3] = {};
    CContainerKeyRecord record[3];
};

class CKeyContainerStore {
public:
    explicit CKeyContainerStore(std::u16string family) : m_family(std::move(family)) {}

    // NTE_BAD_KEYSET_PARAM for an empty name, one of 260 units or more, or one
    // that does not fit a registry key name.
    static CspStatus CheckName(const std::u16string& name);

    // Atomic across processes: NTE_EXISTS when the container is already there.
    CspStatus Create(const std::u16string& name) const;
    // NTE_BAD_KEYSET when missing.
    CspStatus Exists(const std::u16string& name) const;
    CspStatus Delete(const std::u16string& name) const;
    // Names as created (long or unreadable names are skipped).
    CspStatus List(std::vector<std::u16string>* names) const;

    // NTE_NO_KEY when the container has no key of that spec,
    // NTE_BAD_KEYSET when the container itself is gone.
    CspStatus ReadKey(const std::u16string& name, DWORD dwKeySpec, CContainerKeyRecord* out) const;
    // Both keys' records in one read: NTE_BAD_KEYSET (or the registry's
    // code) when the container is not there, else each spec's ReadKey code.
    CspStatus ReadContainer(const std::u16string& name, CContainerRecords* out) const;
    // Replaces the key of that spec (NTE_BAD_KEYSET when the container is gone).
    CspStatus WriteKey(const std::u16string& name, DWORD dwKeySpec, const CContainerKeyRecord& rec) const;

private:
    std::u16string m_family;
};

}  // namespace tessaro::csp
