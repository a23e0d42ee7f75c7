// The key-container store in the user hive and the record each key is kept in.
#include "platform/csp/CspContainerStore.h"

#include "platform/base/LittleEndian.h"
#include "tessaro/Handles.h"
#include "win/platform_registry.h"
#include "win/winreg.h"

namespace tessaro::csp {

// ---- Container key records ------------------------------------------------------
//
// "TKR1", key algorithm, flags, bit length, then the private key and the
// certificate, each after its length; every number a little-endian DWORD.

namespace {

constexpr DWORD kRecordMagic = 0x31524B54;  // "TKR1"
constexpr size_t kMaxRecordPart = 1u << 20;

void PutDword(SecureBytes& v, DWORD d) {
    v.resize(v.size() + 4);
    StoreLe32(v.data() + v.size() - 4, d);
}

template <class Bytes>
void PutPart(SecureBytes& v, const Bytes& part) {
    PutDword(v, static_cast<DWORD>(part.size()));
    v.insert(v.end(), part.begin(), part.end());
}

bool GetDword(const BYTE*& p, const BYTE* end, DWORD* d) {
    if (end - p < 4) return false;
    *d = LoadLe32(p);
    p += 4;
    return true;
}

template <class Bytes>
bool GetPart(const BYTE*& p, const BYTE* end, Bytes* out) {
    DWORD n;
    if (!GetDword(p, end, &n) || n > kMaxRecordPart || static_cast<size_t>(end - p) < n) return false;
    out->assign(p, p + n);
    p += n;
    return true;
}

}  // namespace

SecureBytes CContainerKeyRecord::Serialize() const {
    SecureBytes v;
    v.reserve(28 + privateKey.size() + certificate.size());
    PutDword(v, kRecordMagic);
    PutDword(v, aiKeyAlg);
    PutDword(v, dwFlags);
    PutDword(v, dwBitLen);
    PutPart(v, privateKey);
    PutPart(v, certificate);
    return v;
}

CspStatus CContainerKeyRecord::Parse(const BYTE* p, size_t n) {
    const BYTE* end = p + n;
    DWORD magic;
    CContainerKeyRecord r;
    if (!GetDword(p, end, &magic) || magic != kRecordMagic || !GetDword(p, end, &r.aiKeyAlg) ||
        !GetDword(p, end, &r.dwFlags) || !GetDword(p, end, &r.dwBitLen) || !GetPart(p, end, &r.privateKey) ||
        !GetPart(p, end, &r.certificate) || p != end)
        return CspCode(NTE_KEYSET_ENTRY_BAD);
    *this = r;
    return CSP_OK;
}

// ---- Key container store ----------------------------------------------------------

namespace {

const char16_t kKeysRoot[] = u"Software\\Tessaro\\Crypto\\Keys\\";
constexpr size_t kMaxRegistryKeyName = 255;

std::u16string Escape(const std::u16string& name) {
    std::u16string r;
    for (char16_t c : name) {
        if (c == u'\\')
            r += u"%5C";
        else if (c == u'%')
            r += u"%25";
        else
            r += c;
    }
    return r;
}

bool Unescape(const std::u16string& s, std::u16string* out) {
    std::u16string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != u'%') {
            r += s[i];
            continue;
        }
        if (s.compare(i, 3, u"%5C") == 0 || s.compare(i, 3, u"%5c") == 0)
            r += u'\\';
        else if (s.compare(i, 3, u"%25") == 0)
            r += u'%';
        else
            return false;
        i += 2;
    }
    *out = r;
    return true;
}

CspStatus MapRegistryError(LSTATUS st, CspStatus missing) {
    switch (st) {
        case ERROR_SUCCESS:
            return CSP_OK;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_KEY_DELETED:
            return missing;
        case ERROR_ACCESS_DENIED:
            return CspCode(NTE_PERM);
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return CspCode(NTE_NO_MEMORY);
        // Causes the user can act on keep their own text.
        case ERROR_DISK_FULL:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_PATHNAME:
        case ERROR_DIRECTORY:
            return CspCode(HRESULT_FROM_WIN32(st));
        default:
            return CspCode(NTE_FAIL);
    }
}

const char16_t* KeyValueName(DWORD dwKeySpec) { return dwKeySpec == AT_SIGNATURE ? u"Signature" : u"Exchange"; }

std::u16string ContainerPath(const std::u16string& family, const std::u16string& name) {
    return std::u16string(kKeysRoot) + family + u"\\" + Escape(name);
}

}  // namespace

CspStatus CKeyContainerStore::CheckName(const std::u16string& name) {
    if (name.empty() || name.size() > kCspMaxNameChars) return CspCode(NTE_BAD_KEYSET_PARAM);
    if (name.find(u'\0') != std::u16string::npos) return CspCode(NTE_BAD_KEYSET_PARAM);
    if (Escape(name).size() > kMaxRegistryKeyName) return CspCode(NTE_BAD_KEYSET_PARAM);
    return CSP_OK;
}

CspStatus CKeyContainerStore::Create(const std::u16string& name) const {
    if (CspStatus st = CheckName(name)) return st;
    UniqueHkey k;
    DWORD disp = 0;
    LSTATUS rs = RegCreateKeyExW(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, k.put(), &disp);
    if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_FAIL));
    return disp == REG_CREATED_NEW_KEY ? CSP_OK : CspCode(NTE_EXISTS);
}

CspStatus CKeyContainerStore::Exists(const std::u16string& name) const {
    if (CspStatus st = CheckName(name)) return st;
    UniqueHkey k;
    LSTATUS rs = RegOpenKeyExW(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str(), 0, KEY_READ, k.put());
    return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
}

CspStatus CKeyContainerStore::Delete(const std::u16string& name) const {
    if (CspStatus st = CheckName(name)) return st;
    LSTATUS rs = RegDeleteTreeW(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str());
    return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
}

CspStatus CKeyContainerStore::List(std::vector<std::u16string>* names) const {
    names->clear();
    std::vector<std::u16string> keys;
    const std::u16string path = std::u16string(kKeysRoot) + m_family;
    LSTATUS rs = tessaro_platform::RegistryGetSubkeyNames(HKEY_CURRENT_USER, path.c_str(), &keys);
    if (rs == ERROR_FILE_NOT_FOUND) return CSP_OK;  // no container made yet
    if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_FAIL));
    for (const std::u16string& key : keys) {
        std::u16string name;
        if (!Unescape(key, &name) || CheckName(name) != CSP_OK) continue;
        names->push_back(name);
    }
    return CSP_OK;
}

namespace {

// A key record as read from its value, with ReadKey's codes.
CspStatus RecordOf(tessaro_platform::RegistryValueRead& v, CContainerKeyRecord* out) {
    if (v.status == ERROR_SUCCESS && v.type != REG_BINARY) return CspCode(NTE_KEYSET_ENTRY_BAD);
    if (v.status == ERROR_FILE_NOT_FOUND) return CspCode(NTE_NO_KEY);
    if (v.status != ERROR_SUCCESS) return MapRegistryError(v.status, CspCode(NTE_BAD_KEYSET));
    return out->Parse(v.data.data(), v.data.size());
}

}  // namespace

CspStatus CKeyContainerStore::ReadKey(const std::u16string& name, DWORD dwKeySpec, CContainerKeyRecord* out) const {
    if (CspStatus st = CheckName(name)) return st;
    const LPCWSTR valueName = KeyValueName(dwKeySpec);
    tessaro_platform::RegistryValueRead v;
    LSTATUS rs = tessaro_platform::RegistryGetValues(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str(),
                                                     &valueName, 1, &v);
    if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
    return RecordOf(v, out);
}

CspStatus CKeyContainerStore::ReadContainer(const std::u16string& name, CContainerRecords* out) const {
    if (CspStatus st = CheckName(name)) return st;
    const LPCWSTR valueNames[] = {KeyValueName(AT_KEYEXCHANGE), KeyValueName(AT_SIGNATURE)};
    tessaro_platform::RegistryValueRead v[2];
    LSTATUS rs = tessaro_platform::RegistryGetValues(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str(),
                                                     valueNames, 2, v);
    if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
    for (DWORD spec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)})
        out->status[spec] = RecordOf(v[spec - 1], &out->record[spec]);
    return CSP_OK;
}

CspStatus CKeyContainerStore::WriteKey(const std::u16string& name, DWORD dwKeySpec,
                                       const CContainerKeyRecord& rec) const {
    if (CspStatus st = CheckName(name)) return st;
    UniqueHkey k;
    LSTATUS rs =
        RegOpenKeyExW(HKEY_CURRENT_USER, ContainerPath(m_family, name).c_str(), 0, KEY_READ | KEY_SET_VALUE, k.put());
    if (rs != ERROR_SUCCESS) return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
    SecureBytes v = rec.Serialize();
    rs = RegSetValueExW(k.get(), KeyValueName(dwKeySpec), 0, REG_BINARY, v.data(), static_cast<DWORD>(v.size()));
    return MapRegistryError(rs, CspCode(NTE_BAD_KEYSET));
}

}  // namespace tessaro::csp
