// A read-write session on the token of a PKCS#11 module whose label starts
// with a given text, beside the token provider that uses the same module in
// this process: it initializes the module only if nobody has, never logs in
// or out (the login is the provider's, shared by the process) and never
// finalizes the module.
#pragma once

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <string>

namespace tessaro_test {

struct TokenSession {
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_SESSION_HANDLE s = 0;  // 0 when the module or the token is not there

    TokenSession(const char* module, const char* label) {
        void* dl = dlopen(module, RTLD_NOW);
        auto get = dl ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(dl, "C_GetFunctionList")) : nullptr;
        if (!get || get(&f) != CKR_OK) return;
        CK_C_INITIALIZE_ARGS a{};
        a.flags = CKF_OS_LOCKING_OK;
        f->C_Initialize(&a);  // CKR_CRYPTOKI_ALREADY_INITIALIZED when the provider was first
        CK_SLOT_ID slots[16];
        CK_ULONG n = 16;
        if (f->C_GetSlotList(CK_TRUE, slots, &n) != CKR_OK) return;
        for (CK_ULONG i = 0; i < n && !s; ++i) {
            CK_TOKEN_INFO ti{};
            f->C_GetTokenInfo(slots[i], &ti);
            if (std::string(reinterpret_cast<char*>(ti.label), 32).rfind(label, 0) == 0)
                f->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
        }
    }
    ~TokenSession() {
        if (s) f->C_CloseSession(s);
    }
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;
};

}  // namespace tessaro_test
