// Provider registrations in the machine hive
// (HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>, values
// "Type" and "Image Path") and the factories of the built-in providers that
// the "Image Path" values name.
#pragma once

#include <string>

#include "platform/csp/CspObjects.h"

namespace tessaro::csp {

struct CspProviderInfo {
    std::u16string name;       // as registered
    DWORD dwType = 0;          // "Type"
    std::u16string imagePath;  // "Image Path"
};

// Registers the built-in providers once per prefix (a marker value records it;
// a registration removed later is not added again; a machine hive that cannot
// be written is left alone).
void CspEnsureBuiltinRegistration();

// Reads a registration; NTE_KEYSET_NOT_DEF when the name is not registered
// (or is 260 units or longer), NTE_PROV_TYPE_NOT_DEF when a null name has no
// default provider for the type.
CspStatus CspLookupProvider(LPCWSTR pszName, DWORD dwProvType, CspProviderInfo* out);

// Builds the provider object for a registration; NTE_PROV_DLL_NOT_FOUND when
// the "Image Path" names no implementation of this build.
CspStatus CspCreateProvider(const CspProviderInfo& info, ProviderPtr* out);

// The dwIndex-th registration with a usable name and type (registry order);
// ERROR_NO_MORE_ITEMS past the end.
CspStatus CspEnumRegistered(DWORD dwIndex, std::u16string* name, DWORD* type);

// ---- Factories of the built-in providers ---------------------------------
ProviderPtr CreateMicrosoftRsaProvider(const CspProviderInfo& info);  // by info.imagePath
ProviderPtr CreateRsaTokenProvider(const CspProviderInfo& info);
// Supplied by Sm2Provider.cpp (declared again in Sm2Provider.h).
ProviderPtr CreateSm2TokenProvider(const CspProviderInfo& info);

}  // namespace tessaro::csp
