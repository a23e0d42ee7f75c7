/* SoftHSM2 behind a front that plays what SoftHSM2 cannot: a user PIN locked
 * after too many wrong entries, and a token whose memory is full. The test
 * chooses through TESSARO_FAKE_TOKEN, read at every call:
 *   "locked"       the token says CKF_USER_PIN_LOCKED;
 *   "locked-login" the flag is not shown, C_Login answers CKR_PIN_LOCKED;
 *   "full"         every new object or key answers CKR_DEVICE_MEMORY. */
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

#include <p11-kit/pkcs11.h>

static CK_FUNCTION_LIST g_list;
static CK_FUNCTION_LIST_PTR g_real;

static int g_shared;

/* The library may be loaded already under its own name (NSS has both). */
static CK_RV Initialize(CK_VOID_PTR args) {
    CK_RV rv = g_real->C_Initialize(args);
    g_shared = rv == CKR_CRYPTOKI_ALREADY_INITIALIZED;
    return g_shared ? CKR_OK : rv;
}

static CK_RV Finalize(CK_VOID_PTR reserved) {
    if (g_shared) return CKR_OK;
    return g_real->C_Finalize(reserved);
}

static int Is(const char* mode) {
    const char* m = getenv("TESSARO_FAKE_TOKEN");
    return m && strcmp(m, mode) == 0;
}

static CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    CK_RV rv = g_real->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK && Is("locked")) info->flags |= CKF_USER_PIN_LOCKED;
    return rv;
}

static CK_RV Login(CK_SESSION_HANDLE s, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
    if (Is("locked") || Is("locked-login")) return CKR_PIN_LOCKED;
    return g_real->C_Login(s, user, pin, len);
}

static CK_RV CreateObject(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR h) {
    if (Is("full")) return CKR_DEVICE_MEMORY;
    return g_real->C_CreateObject(s, t, n, h);
}

static CK_RV GenerateKeyPair(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pub, CK_ULONG npub,
                             CK_ATTRIBUTE_PTR priv, CK_ULONG npriv, CK_OBJECT_HANDLE_PTR hpub,
                             CK_OBJECT_HANDLE_PTR hpriv) {
    if (Is("full")) return CKR_DEVICE_MEMORY;
    return g_real->C_GenerateKeyPair(s, m, pub, npub, priv, npriv, hpub, hpriv);
}

static CK_RV Unwrap(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k, CK_BYTE_PTR w, CK_ULONG nw,
                    CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR h) {
    if (Is("full")) return CKR_DEVICE_MEMORY;
    return g_real->C_UnwrapKey(s, m, k, w, nw, t, n, h);
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
    if (!out) return CKR_ARGUMENTS_BAD;
    if (!g_real) {
        void* dl = dlopen("/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
        CK_C_GetFunctionList get = dl ? (CK_C_GetFunctionList)dlsym(dl, "C_GetFunctionList") : NULL;
        if (!get || get(&g_real) != CKR_OK) return CKR_GENERAL_ERROR;
        g_list = *g_real;
        g_list.C_Initialize = Initialize;
        g_list.C_Finalize = Finalize;
        g_list.C_GetTokenInfo = GetTokenInfo;
        g_list.C_Login = Login;
        g_list.C_CreateObject = CreateObject;
        g_list.C_GenerateKeyPair = GenerateKeyPair;
        g_list.C_UnwrapKey = Unwrap;
    }
    *out = &g_list;
    return CKR_OK;
}
