// Registry-backed system stores, whose certificates live as serialized
// property records in "...\SystemCertificates\<store>\Certificates\<thumbprint>"
// value "Blob". Every change is written through at once.
#include <new>

#include "platform/crypt32/StoreKinds.h"
#include "tessaro/Handles.h"
#include "win/platform_registry.h"

namespace crypt32 {

namespace {

constexpr WCHAR kBlobValue[] = u"Blob";

HRESULT FromWin32(LSTATUS e) { return HRESULT_FROM_WIN32(static_cast<DWORD>(e)); }

// Opening a registry store fails with the registry's Win32 code as the last
// error, as the system's does.
DWORD LastErrorOf(HRESULT hr) {
    return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr);
}

bool QueryBlob(HKEY parent, const std::u16string& subKey, Bytes& out) {
    bool keyFound = false;
    DWORD type = 0;
    tessaro::SecureBytes blob;
    if (tessaro_platform::RegistryGetValue(parent, subKey.c_str(), kBlobValue, &keyFound, &type, &blob) !=
            ERROR_SUCCESS ||
        type != REG_BINARY || blob.empty())
        return false;
    out.assign(blob.begin(), blob.end());
    return true;
}

class RegistryStore : public StoreImpl {
public:
    bool WritesThrough() const override { return true; }
    std::u16string ElementName(const CertData& d) const override { return ThumbprintName(d.sha1); }

    HRESULT Persist(ContextImpl* c) override {
        if (readOnly || !m_certs) return E_ACCESSDENIED;
        Bytes blob = SerializeElement(c);
        tessaro::UniqueHkey k;
        LSTATUS e = RegCreateKeyExW(m_certs.get(), c->storedName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, nullptr, k.put(), nullptr);
        if (e == ERROR_SUCCESS)
            e = RegSetValueExW(k.get(), kBlobValue, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
        return FromWin32(e);
    }

    HRESULT Unpersist(ContextImpl* c) override {
        if (!m_certs) return E_ACCESSDENIED;
        LSTATUS e = RegDeleteTreeW(m_certs.get(), c->storedName.c_str());
        return e == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(e);
    }

    HRESULT Open(HKEY parent, const std::u16string& storePath, DWORD flags);

private:
    void LoadElements();
    tessaro::UniqueHkey m_certs;  // "...\<store>\Certificates"
};

HRESULT RegistryStore::Open(HKEY parent, const std::u16string& storePath, DWORD flags) {
    const bool readOnlyFlag = (flags & CERT_STORE_READONLY_FLAG) != 0;
    std::u16string certsPath = storePath.empty() ? u"Certificates" : storePath + u"\\Certificates";
    if (flags & (CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_CREATE_NEW_FLAG)) {
        tessaro::UniqueHkey k;
        LSTATUS e = storePath.empty() ? ERROR_SUCCESS : RegOpenKeyExW(parent, storePath.c_str(), 0, KEY_READ, k.put());
        if ((flags & CERT_STORE_OPEN_EXISTING_FLAG) && e != ERROR_SUCCESS) return FromWin32(e);
        if ((flags & CERT_STORE_CREATE_NEW_FLAG) && e == ERROR_SUCCESS) return FromWin32(ERROR_FILE_EXISTS);
    }
    if (!readOnlyFlag) {
        LSTATUS e = RegCreateKeyExW(parent, certsPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                    nullptr, m_certs.put(), nullptr);
        if (e == ERROR_ACCESS_DENIED) {
            readOnly = true;  // a hive we may only read
        } else if (e != ERROR_SUCCESS) {
            return FromWin32(e);
        }
    }
    if (!m_certs) {
        LSTATUS e = RegOpenKeyExW(parent, certsPath.c_str(), 0, KEY_READ, m_certs.put());
        if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND) return FromWin32(e);
    }
    readOnly = readOnly || readOnlyFlag;
    LoadElements();
    return S_OK;
}

// Reads every certificate under the store's "Certificates" key. Entries that
// do not hold a usable certificate are passed over, as they would be by the
// system: one damaged value must not hide the rest of the store.
void RegistryStore::LoadElements() {
    if (!m_certs) return;
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD cch = 256;
        LSTATUS e = RegEnumKeyExW(m_certs.get(), i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_MORE_DATA) continue;
        if (e != ERROR_SUCCESS) break;
        names.emplace_back(name, cch);
    }
    for (const auto& n : names) {
        Bytes blob, der;
        PropertyMap props;
        if (!QueryBlob(m_certs.get(), n, blob) || FAILED(ParseSerializedElement(blob.data(), blob.size(), der, props)))
            continue;
        auto data = ParseCertificate(der.data(), der.size(), nullptr, false);
        if (!data) continue;
        AppendElement(this, std::move(data), std::move(props))->storedName = n;
    }
}

std::u16string Upper(std::u16string s) {
    for (auto& ch : s)
        if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - 32);
    return s;
}

// Where a system store lives: its hive and path. False for a name or
// location we do not serve.
bool SystemStorePath(RegistryStoreName form, DWORD flags, const void* para, HKEY& parent, std::u16string& path) {
    std::u16string name;
    if (form == RegistryStoreName::Wide) {
        if (auto* w = static_cast<LPCWSTR>(para)) name = w;
    } else if (para) {
        name = Utf8To16(static_cast<const char*>(para));
    }
    if (name.empty() || name.find(u'\\') != std::u16string::npos) return false;
    DWORD loc = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    if (loc == CERT_SYSTEM_STORE_CURRENT_USER) {
        parent = HKEY_CURRENT_USER;
        path = u"Software\\Microsoft\\SystemCertificates\\";
    } else if (loc == CERT_SYSTEM_STORE_LOCAL_MACHINE) {
        parent = HKEY_LOCAL_MACHINE;
        path = u"SOFTWARE\\Microsoft\\SystemCertificates\\";
    } else {
        return false;
    }
    // Store names compare case-insensitively; "My" is the key MY.
    path += Upper(name);
    return true;
}

}  // namespace

HCERTSTORE OpenRegistryStore(RegistryStoreName form, DWORD flags, HCRYPTPROV_LEGACY prov, const void* para) {
    HKEY parent = nullptr;
    std::u16string storePath;
    if (form == RegistryStoreName::Key) {
        parent = static_cast<HKEY>(const_cast<void*>(para));
        if (!parent) {
            SetError(E_INVALIDARG);
            return nullptr;
        }
    } else if (!SystemStorePath(form, flags, para, parent, storePath)) {
        SetError(E_INVALIDARG);
        return nullptr;
    }
    if (flags & CERT_STORE_DELETE_FLAG) {
        LSTATUS e = storePath.empty() ? ERROR_INVALID_PARAMETER : RegDeleteTreeW(parent, storePath.c_str());
        SetLastError(static_cast<DWORD>(e));
        return nullptr;
    }
    auto* s = static_cast<RegistryStore*>(AddStore(std::make_unique<RegistryStore>()));
    DWORD error = ERROR_SUCCESS;
    try {
        error = LastErrorOf(s->Open(parent, storePath, flags));
    } catch (const std::bad_alloc&) {
        error = static_cast<DWORD>(E_OUTOFMEMORY);  // the half-read store goes below
    }
    if (error != ERROR_SUCCESS) {
        DiscardStore(s);
        SetLastError(error);
        return nullptr;
    }
    TakeProvider(s, prov, flags);
    return s;
}

bool ReadUserMyBlob(const BYTE sha1[20], Bytes& blob) {
    return QueryBlob(HKEY_CURRENT_USER,
                     u"Software\\Microsoft\\SystemCertificates\\MY\\Certificates\\" + ThumbprintName(sha1), blob);
}

}  // namespace crypt32
