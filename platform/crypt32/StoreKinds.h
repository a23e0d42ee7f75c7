// Between the store API (CertStore.cpp) and the kinds of store: memory
// (MemoryStore.cpp), PKCS#7 (Pkcs7Store.cpp) and registry (RegistryStore.cpp).
#pragma once

#include <memory>

#include "platform/crypt32/Crypt32Internal.h"

namespace crypt32 {

// ---- Provided by the store API -----------------------------------------------
// Makes s a live store with one open handle.
StoreImpl* AddStore(std::unique_ptr<StoreImpl> s);
// Destroys a store that failed to open; its provider is not released.
void DiscardStore(StoreImpl* s);
// The store owns the provider handle it was given unless told otherwise.
void TakeProvider(StoreImpl* s, HCRYPTPROV_LEGACY prov, DWORD flags);
// Appends a new element holding one membership reference.
ContextImpl* AppendElement(StoreImpl* s, std::shared_ptr<CertData> data, PropertyMap props);
bool SameCert(const ContextImpl* a, const CertData& d);

// ---- The kinds -----------------------------------------------------------------
// Each opens a store for CertOpenStore, or sets the last error and returns
// null.
HCERTSTORE OpenMemoryStore(DWORD flags, HCRYPTPROV_LEGACY prov);
HCERTSTORE OpenPkcs7Store(DWORD flags, HCRYPTPROV_LEGACY prov, const CRYPT_DATA_BLOB* message);
// A system store by name (wide or narrow), or the store under a registry key.
enum class RegistryStoreName { Wide, Narrow, Key };
HCERTSTORE OpenRegistryStore(RegistryStoreName form, DWORD flags, HCRYPTPROV_LEGACY prov, const void* para);

// Adds the certificates of a PKCS#7 signed-data message to s.
HRESULT LoadPkcs7(StoreImpl* s, const CRYPT_DATA_BLOB* message);

}  // namespace crypt32
