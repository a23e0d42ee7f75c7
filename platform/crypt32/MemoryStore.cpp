// Memory stores: elements kept in memory only, as long as the store's
// handles and its contexts live. A PKCS#7 store is one filled from a message.
#include <new>

#include "platform/crypt32/StoreKinds.h"

namespace crypt32 {

namespace {

// A memory store has nothing to delete.
bool DeleteRequested(DWORD flags) {
    if (!(flags & CERT_STORE_DELETE_FLAG)) return false;
    SetLastError(0);
    return true;
}

HCERTSTORE Finish(StoreImpl* s, DWORD flags, HCRYPTPROV_LEGACY prov) {
    s->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    TakeProvider(s, prov, flags);
    return s;
}

}  // namespace

HCERTSTORE OpenMemoryStore(DWORD flags, HCRYPTPROV_LEGACY prov) {
    if (DeleteRequested(flags)) return nullptr;
    return Finish(AddStore(std::make_unique<StoreImpl>()), flags, prov);
}

HCERTSTORE OpenPkcs7Store(DWORD flags, HCRYPTPROV_LEGACY prov, const CRYPT_DATA_BLOB* message) {
    if (DeleteRequested(flags)) return nullptr;
    StoreImpl* s = AddStore(std::make_unique<StoreImpl>());
    HRESULT hr;
    try {
        hr = LoadPkcs7(s, message);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;  // the half-loaded store goes below
    }
    if (FAILED(hr)) {
        DiscardStore(s);
        SetError(hr);
        return nullptr;
    }
    return Finish(s, flags, prov);
}

}  // namespace crypt32
