// libtessaro-pkcs11.so: the enrolled RSA certificates and their keys as one
// read-only PKCS#11 token, for NSS (Chromium, Firefox), GnuTLS, p11-kit and
// OpenSSL's PKCS#11 engine. The token asks for no PIN: a prompt would block
// headless browsers, and the keys are the user's own, guarded by the
// providers as for the enrollment host. Every key operation runs inside the
// provider that holds the key.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "pkcs11/Pkcs11.h"
#include "pkcs11/TokenObjects.h"
#include "tessaro/Handles.h"
#include "tessaro/SecureBuffer.h"

using namespace tessaro::pkcs11;

namespace {

constexpr CK_SLOT_ID kSlot = 1;
constexpr CK_ULONG kMinKeyBits = 512;
constexpr CK_ULONG kMaxKeyBits = 16384;

// Blank-padded fixed-width text of the info structures.
template <size_t N>
void Pad(CK_UTF8CHAR (&field)[N], const char* text) {
    memset(field, ' ', N);
    memcpy(field, text, std::min(N, strlen(text)));
}

// ---- Mechanisms -------------------------------------------------------------------

struct Mechanism {
    CK_MECHANISM_TYPE type;
    CK_FLAGS flags;
    ALG_ID hash;  // the hash the mechanism computes; 0: the caller gives the input
    bool pss;
};

const Mechanism kMechanisms[] = {
    {CKM_RSA_PKCS, CKF_SIGN | CKF_DECRYPT, 0, false},
    {CKM_RSA_PKCS_PSS, CKF_SIGN, 0, true},
    {CKM_RSA_PKCS_OAEP, CKF_DECRYPT, 0, false},
    {CKM_SHA1_RSA_PKCS, CKF_SIGN, CALG_SHA1, false},
    {CKM_SHA256_RSA_PKCS, CKF_SIGN, CALG_SHA_256, false},
    {CKM_SHA384_RSA_PKCS, CKF_SIGN, CALG_SHA_384, false},
    {CKM_SHA512_RSA_PKCS, CKF_SIGN, CALG_SHA_512, false},
    {CKM_SHA1_RSA_PKCS_PSS, CKF_SIGN, CALG_SHA1, true},
    {CKM_SHA256_RSA_PKCS_PSS, CKF_SIGN, CALG_SHA_256, true},
    {CKM_SHA384_RSA_PKCS_PSS, CKF_SIGN, CALG_SHA_384, true},
    {CKM_SHA512_RSA_PKCS_PSS, CKF_SIGN, CALG_SHA_512, true},
};

const Mechanism* FindMechanism(CK_MECHANISM_TYPE type) {
    for (const auto& m : kMechanisms)
        if (m.type == type) return &m;
    return nullptr;
}

struct HashName {
    CK_MECHANISM_TYPE hash;
    CK_RSA_PKCS_MGF_TYPE mgf;
    ALG_ID alg;
    const char16_t* cng;
    CK_ULONG bytes;
};

const HashName kHashes[] = {
    {CKM_SHA_1, CKG_MGF1_SHA1, CALG_SHA1, BCRYPT_SHA1_ALGORITHM, 20},
    {CKM_SHA256, CKG_MGF1_SHA256, CALG_SHA_256, BCRYPT_SHA256_ALGORITHM, 32},
    {CKM_SHA384, CKG_MGF1_SHA384, CALG_SHA_384, BCRYPT_SHA384_ALGORITHM, 48},
    {CKM_SHA512, CKG_MGF1_SHA512, CALG_SHA_512, BCRYPT_SHA512_ALGORITHM, 64},
};

const HashName* HashByMechanism(CK_MECHANISM_TYPE m) {
    for (const auto& h : kHashes)
        if (h.hash == m) return &h;
    return nullptr;
}

const HashName* HashByAlg(ALG_ID alg) {
    for (const auto& h : kHashes)
        if (h.alg == alg) return &h;
    return nullptr;
}

// A provider's refusal as PKCS#11 says it: a key whose container is gone (or
// damaged) is an invalid key handle.
CK_RV FromProvider(DWORD e) {
    switch (static_cast<HRESULT>(e)) {
        case NTE_BAD_KEYSET:
        case NTE_KEYSET_NOT_DEF:
        case NTE_KEYSET_ENTRY_BAD:
        case NTE_NO_KEY:
        case NTE_BAD_KEY:
        case NTE_BAD_UID:
            return CKR_KEY_HANDLE_INVALID;
        case NTE_BAD_LEN:
            return CKR_DATA_LEN_RANGE;
        case NTE_BAD_DATA:
            return CKR_ENCRYPTED_DATA_INVALID;
        case NTE_INVALID_PARAMETER:
        case NTE_BAD_ALGID:
            return CKR_MECHANISM_PARAM_INVALID;
        case NTE_PERM:
            return CKR_KEY_FUNCTION_NOT_PERMITTED;
        case NTE_NO_MEMORY:
            return CKR_HOST_MEMORY;
        default:
            return e == ERROR_NOT_ENOUGH_MEMORY ? CKR_HOST_MEMORY : CKR_FUNCTION_FAILED;
    }
}

// ---- Operations -------------------------------------------------------------------

// A private key opened in its provider, kept while the token shows it: the
// provider decodes the key once, not for every signature. One operation at a
// time uses it.
struct OpenKey {
    std::mutex mutex;
    tessaro::UniqueCryptProv prov;
    tessaro::UniqueCryptKey key;
};

// A signing or decryption in progress: the key, the padding, and for the
// hashing mechanisms the running hash.
struct Operation {
    bool active = false;
    bool sign = false;
    const Mechanism* mech = nullptr;
    std::shared_ptr<OpenKey> key;
    tessaro::UniqueCryptHash hash;
    DWORD modulusBytes = 0;
    DWORD padFlags = 0;
    const HashName* padHash = nullptr;  // PSS/OAEP hash, PKCS#1 hashing mechanisms
    CK_ULONG salt = 0;
    std::vector<BYTE> label;
    tessaro::SecureBytes buffered;  // single-part input collected by *Update
    bool updated = false;

    void End() {
        hash.reset();
        key.reset();
        buffered.clear();
        label.clear();
        active = false;
        updated = false;
    }
};

struct Session {
    CK_SLOT_ID slot = kSlot;
    CK_FLAGS flags = 0;
    std::mutex mutex;  // one call at a time on a session
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> found;
    size_t foundPos = 0;
    Operation op;
};

// ---- Module state -------------------------------------------------------------------

struct Module {
    std::mutex mutex;
    bool initialized = false;
    pid_t pid = 0;
    bool loggedIn = false;
    CK_SESSION_HANDLE nextSession = 1;
    std::map<CK_SESSION_HANDLE, std::shared_ptr<Session>> sessions;
    // Handles stay with their object across reads of the prefix; an object
    // that is gone leaves its handle invalid, and handles are never reused.
    CK_OBJECT_HANDLE nextObject = 1;
    std::map<std::string, CK_OBJECT_HANDLE> handleOf;
    std::map<CK_OBJECT_HANDLE, std::shared_ptr<const TokenObject>> objects;
    bool read = false;
    uint64_t version = 0;  // PrefixVersion() of the objects held
    std::map<std::string, std::shared_ptr<OpenKey>> keys;  // by private key identity
};

Module& M() {
    static Module* m = new Module();  // never destroyed: a browser may call in while exiting
    return *m;
}

// True in the process that called C_Initialize: a forked child must call it again.
bool Ready(const Module& m) { return m.initialized && m.pid == getpid(); }

// Brings the object table up to date with the prefix; it is read again only
// when it changed. Caller holds the module lock.
void Refresh(Module& m) {
    const uint64_t version = PrefixVersion();
    if (m.read && version == m.version) return;
    std::vector<TokenObject> objects = ReadTokenObjects();
    std::map<CK_OBJECT_HANDLE, std::shared_ptr<const TokenObject>> now;
    std::map<std::string, std::shared_ptr<OpenKey>> keys;
    for (auto& o : objects) {
        auto it = m.handleOf.find(o.identity);
        CK_OBJECT_HANDLE h = it != m.handleOf.end() ? it->second : (m.handleOf[o.identity] = m.nextObject++);
        if (auto k = m.keys.find(o.identity); k != m.keys.end()) keys.insert(*k);
        now[h] = std::make_shared<const TokenObject>(std::move(o));
    }
    m.objects.swap(now);
    m.keys.swap(keys);
    m.version = version;
    m.read = true;
}

// Runs a call with the module lock held: not initialized in this process
// (or never) is answered first; running out of memory is CKR_HOST_MEMORY.
template <class Body>
CK_RV Locked(Body&& body) {
    try {
        Module& m = M();
        std::lock_guard<std::mutex> g(m.mutex);
        if (!Ready(m)) return CKR_CRYPTOKI_NOT_INITIALIZED;
        return body(m);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
}

// Runs a call on one session: the module lock is given up before the body, so
// sessions of other threads go on while this one signs.
template <class Body>
CK_RV OnSession(CK_SESSION_HANDLE h, Body&& body) {
    try {
        std::shared_ptr<Session> s;
        {
            Module& m = M();
            std::lock_guard<std::mutex> g(m.mutex);
            if (!Ready(m)) return CKR_CRYPTOKI_NOT_INITIALIZED;
            auto it = m.sessions.find(h);
            if (it == m.sessions.end()) return CKR_SESSION_HANDLE_INVALID;
            s = it->second;
        }
        std::lock_guard<std::mutex> g(s->mutex);
        return body(*s);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    }
}

std::shared_ptr<const TokenObject> FindObject(CK_OBJECT_HANDLE h) {
    Module& m = M();
    std::lock_guard<std::mutex> g(m.mutex);
    if (!m.read) Refresh(m);
    auto it = m.objects.find(h);
    return it == m.objects.end() ? nullptr : it->second;
}

// The private key opened in its provider, once per key while it is shown.
std::shared_ptr<OpenKey> KeyFor(const TokenObject& object) {
    std::shared_ptr<OpenKey> k;
    {
        Module& m = M();
        std::lock_guard<std::mutex> g(m.mutex);
        auto& slot = m.keys[object.identity];
        if (!slot) slot = std::make_shared<OpenKey>();
        k = slot;
    }
    std::lock_guard<std::mutex> g(k->mutex);
    if (!k->key) {
        const KeyLocation& where = *object.key;
        if (!CryptAcquireContextW(k->prov.put(), where.container.c_str(), where.provider.c_str(), where.provType,
                                  where.acquireFlags | CRYPT_SILENT) ||
            !CryptGetUserKey(k->prov.get(), where.keySpec, k->key.put()))
            return nullptr;
    }
    return k;
}

// ---- Templates ---------------------------------------------------------------------

bool Matches(const TokenObject& o, const CK_ATTRIBUTE* t, CK_ULONG n) {
    for (CK_ULONG i = 0; i < n; ++i) {
        const auto* v = o.Find(t[i].type);
        if (!v || v->size() != t[i].ulValueLen) return false;
        if (!v->empty() && memcmp(v->data(), t[i].pValue, v->size()) != 0) return false;
    }
    return true;
}

// A template that names a class, key type or certificate type the token
// never holds matches nothing, whatever the prefix holds.
bool CannotMatch(const CK_ATTRIBUTE* t, CK_ULONG n) {
    for (CK_ULONG i = 0; i < n; ++i) {
        if (t[i].ulValueLen != sizeof(CK_ULONG)) continue;
        CK_ULONG v;
        memcpy(&v, t[i].pValue, sizeof v);
        if (t[i].type == CKA_CLASS && !TokenMayHold(v)) return true;
        if (t[i].type == CKA_KEY_TYPE && v != CKK_RSA) return true;
        if (t[i].type == CKA_CERTIFICATE_TYPE && v != CKC_X_509) return true;
    }
    return false;
}

bool SensitiveAttribute(CK_ATTRIBUTE_TYPE t) {
    return t == CKA_PRIVATE_EXPONENT || t == CKA_PRIME_1 || t == CKA_PRIME_2 || t == CKA_EXPONENT_1 ||
           t == CKA_EXPONENT_2 || t == CKA_COEFFICIENT || t == CKA_VALUE;
}

bool ValidTemplate(const CK_ATTRIBUTE* t, CK_ULONG n) {
    if (n && !t) return false;
    for (CK_ULONG i = 0; i < n; ++i)
        if (t[i].ulValueLen && !t[i].pValue) return false;
    return true;
}

// ---- Key operations -------------------------------------------------------------------

CK_RV ReadPss(const CK_MECHANISM& mech, const Mechanism& m, DWORD modulusBytes, Operation& op) {
    if (!mech.pParameter || mech.ulParameterLen != sizeof(CK_RSA_PKCS_PSS_PARAMS)) return CKR_MECHANISM_PARAM_INVALID;
    CK_RSA_PKCS_PSS_PARAMS p;
    memcpy(&p, mech.pParameter, sizeof p);
    const HashName* h = HashByMechanism(p.hashAlg);
    if (!h || p.mgf != h->mgf) return CKR_MECHANISM_PARAM_INVALID;
    if (m.hash && m.hash != h->alg) return CKR_MECHANISM_PARAM_INVALID;
    // The encoded message holds the hash, the salt and two more bytes.
    const CK_ULONG emBytes = modulusBytes;  // moduli here are whole bytes long
    if (p.sLen > emBytes || h->bytes + p.sLen + 2 > emBytes) return CKR_MECHANISM_PARAM_INVALID;
    op.padFlags = BCRYPT_PAD_PSS;
    op.padHash = h;
    op.salt = p.sLen;
    return CKR_OK;
}

CK_RV ReadOaep(const CK_MECHANISM& mech, Operation& op) {
    if (!mech.pParameter || mech.ulParameterLen != sizeof(CK_RSA_PKCS_OAEP_PARAMS)) return CKR_MECHANISM_PARAM_INVALID;
    CK_RSA_PKCS_OAEP_PARAMS p;
    memcpy(&p, mech.pParameter, sizeof p);
    const HashName* h = HashByMechanism(p.hashAlg);
    if (!h || p.mgf != h->mgf) return CKR_MECHANISM_PARAM_INVALID;
    if (p.source != 0 && p.source != CKZ_DATA_SPECIFIED) return CKR_MECHANISM_PARAM_INVALID;
    if (p.ulSourceDataLen && (!p.pSourceData || p.source != CKZ_DATA_SPECIFIED)) return CKR_MECHANISM_PARAM_INVALID;
    if (p.ulSourceDataLen > 65536) return CKR_MECHANISM_PARAM_INVALID;
    const BYTE* label = static_cast<const BYTE*>(p.pSourceData);
    op.label.assign(label, label + p.ulSourceDataLen);
    op.padFlags = BCRYPT_PAD_OAEP;
    op.padHash = h;
    return CKR_OK;
}

CK_RV BeginOperation(Session& s, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey, bool sign) {
    if (!pMechanism) return CKR_ARGUMENTS_BAD;
    if (s.op.active) return CKR_OPERATION_ACTIVE;
    const Mechanism* m = FindMechanism(pMechanism->mechanism);
    if (!m || !(m->flags & (sign ? CKF_SIGN : CKF_DECRYPT))) return CKR_MECHANISM_INVALID;
    auto object = FindObject(hKey);
    if (!object) return CKR_KEY_HANDLE_INVALID;
    if (object->cls != CKO_PRIVATE_KEY || !object->key) return CKR_KEY_TYPE_INCONSISTENT;
    if (!object->Flag(sign ? CKA_SIGN : CKA_DECRYPT)) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    const KeyLocation& where = *object->key;

    Operation op;
    op.mech = m;
    op.sign = sign;
    op.modulusBytes = where.modulusBytes;
    if (m->pss) {
        if (CK_RV rv = ReadPss(*pMechanism, *m, where.modulusBytes, op)) return rv;
    } else if (m->type == CKM_RSA_PKCS_OAEP) {
        if (CK_RV rv = ReadOaep(*pMechanism, op)) return rv;
    } else {
        if (pMechanism->ulParameterLen) return CKR_MECHANISM_PARAM_INVALID;
        op.padFlags = BCRYPT_PAD_PKCS1;
        op.padHash = m->hash ? HashByAlg(m->hash) : nullptr;
    }
    if (m->hash) {
        const HCRYPTPROV prov = SoftwareProvider();
        if (!prov || !CryptCreateHash(prov, m->hash, 0, 0, op.hash.put()))
            return CKR_FUNCTION_FAILED;
    }
    op.key = KeyFor(*object);
    if (!op.key) return CKR_KEY_HANDLE_INVALID;
    op.active = true;
    s.op = std::move(op);
    return CKR_OK;
}

CK_RV Update(Operation& op, bool sign, CK_BYTE_PTR p, CK_ULONG n) {
    if (!op.active || op.sign != sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (n && !p) {
        op.End();
        return CKR_ARGUMENTS_BAD;
    }
    op.updated = true;
    if (op.hash) {
        if (n > 0xFFFFFFFFu || !CryptHashData(op.hash.get(), p, static_cast<DWORD>(n), 0)) {
            op.End();
            return CKR_FUNCTION_FAILED;
        }
        return CKR_OK;
    }
    // The raw mechanisms take one block: more than the modulus can never fit.
    if (op.buffered.size() + n > op.modulusBytes) {
        op.End();
        return CKR_DATA_LEN_RANGE;
    }
    op.buffered.insert(op.buffered.end(), p, p + n);
    return CKR_OK;
}

// The output of a final step: a size query or a short buffer keeps the
// operation for the next call, as the standard asks.
CK_RV SizeFirst(CK_ULONG need, CK_BYTE_PTR out, CK_ULONG_PTR pulLen, bool* done) {
    *done = true;
    if (!out) {
        *pulLen = need;
        return CKR_OK;
    }
    if (*pulLen < need) {
        *pulLen = need;
        return CKR_BUFFER_TOO_SMALL;
    }
    *done = false;
    return CKR_OK;
}

CK_RV SignFinal(Operation& op, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulLen) {
    if (!op.active || !op.sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulLen) {
        op.End();
        return CKR_ARGUMENTS_BAD;
    }
    bool answered;
    if (CK_RV rv = SizeFirst(op.modulusBytes, pSignature, pulLen, &answered); answered) return rv;
    std::vector<BYTE> digest;
    const BYTE* input = op.buffered.data();
    DWORD inputLen = static_cast<DWORD>(op.buffered.size());
    if (op.hash) {
        DWORD cb = 0;
        if (!CryptGetHashParam(op.hash.get(), HP_HASHVAL, nullptr, &cb, 0)) return op.End(), CKR_FUNCTION_FAILED;
        digest.resize(cb);
        if (!CryptGetHashParam(op.hash.get(), HP_HASHVAL, digest.data(), &cb, 0))
            return op.End(), CKR_FUNCTION_FAILED;
        input = digest.data();
        inputLen = cb;
    }
    // What the padding can carry: PSS signs a hash of its own length, PKCS#1
    // a DigestInfo with room for eleven bytes of padding.
    if (op.padFlags == BCRYPT_PAD_PSS && inputLen != op.padHash->bytes) return op.End(), CKR_DATA_LEN_RANGE;
    if (!op.hash && op.padFlags == BCRYPT_PAD_PKCS1 && (inputLen == 0 || inputLen + 11 > op.modulusBytes))
        return op.End(), CKR_DATA_LEN_RANGE;
    BCRYPT_PKCS1_PADDING_INFO pkcs1{op.padHash ? op.padHash->cng : nullptr};
    BCRYPT_PSS_PADDING_INFO pss{op.padHash ? op.padHash->cng : nullptr, static_cast<ULONG>(op.salt)};
    const void* info = op.padFlags == BCRYPT_PAD_PSS ? static_cast<const void*>(&pss) : &pkcs1;
    DWORD cbSig = static_cast<DWORD>(*pulLen);
    CK_RV rv = CKR_OK;
    {
        std::lock_guard<std::mutex> g(op.key->mutex);
        if (!CryptSignHashPadded(op.key->key.get(), info, input, inputLen, pSignature, &cbSig, op.padFlags))
            rv = FromProvider(GetLastError());
        else
            *pulLen = cbSig;
    }
    op.End();
    return rv;
}

CK_RV DecryptFinal(Operation& op, CK_BYTE_PTR pOut, CK_ULONG_PTR pulLen) {
    if (!op.active || op.sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulLen) {
        op.End();
        return CKR_ARGUMENTS_BAD;
    }
    if (op.buffered.size() != op.modulusBytes) {
        op.End();
        return CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    // The plaintext is never longer than the modulus: that answers a size query.
    if (!pOut) {
        *pulLen = op.modulusBytes;
        return CKR_OK;
    }
    BCRYPT_OAEP_PADDING_INFO oaep{op.padHash ? op.padHash->cng : nullptr, op.label.empty() ? nullptr : op.label.data(),
                                  static_cast<ULONG>(op.label.size())};
    tessaro::SecureBytes plain(op.modulusBytes);
    DWORD cb = op.modulusBytes;
    DWORD e = ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> g(op.key->mutex);
        if (!CryptDecryptPadded(op.key->key.get(), op.padFlags == BCRYPT_PAD_OAEP ? &oaep : nullptr,
                                op.buffered.data(), static_cast<DWORD>(op.buffered.size()), plain.data(), &cb,
                                op.padFlags))
            e = GetLastError();
    }
    if (e != ERROR_SUCCESS) {
        op.End();
        return e == static_cast<DWORD>(NTE_BAD_LEN) ? CKR_ENCRYPTED_DATA_LEN_RANGE : FromProvider(e);
    }
    if (*pulLen < cb) {
        *pulLen = cb;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (cb) memcpy(pOut, plain.data(), cb);
    *pulLen = cb;
    op.End();
    return CKR_OK;
}

// Write access is refused for every kind of change: the token only shows
// what enrollment made.
CK_RV ReadOnly(CK_SESSION_HANDLE h) {
    return OnSession(h, [](Session&) { return CKR_TOKEN_WRITE_PROTECTED; });
}

CK_RV NotSupported(CK_SESSION_HANDLE h) {
    return OnSession(h, [](Session&) { return CKR_FUNCTION_NOT_SUPPORTED; });
}

}  // namespace

// ---- The entry points -------------------------------------------------------------------

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    if (pInitArgs) {
        CK_C_INITIALIZE_ARGS a;
        memcpy(&a, pInitArgs, sizeof a);
        if (a.pReserved) return CKR_ARGUMENTS_BAD;
        const int given = !!a.CreateMutex + !!a.DestroyMutex + !!a.LockMutex + !!a.UnlockMutex;
        if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
        // Only the system's own locks are used.
        if (given == 4 && !(a.flags & CKF_OS_LOCKING_OK)) return CKR_CANT_LOCK;
    }
    Module& m = M();
    std::lock_guard<std::mutex> g(m.mutex);
    if (Ready(m)) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    // A forked child starts over: what it inherited belongs to the parent.
    m.sessions.clear();
    m.objects.clear();
    m.keys.clear();
    m.read = false;
    m.loggedIn = false;
    m.initialized = true;
    m.pid = getpid();
    return CKR_OK;
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    if (pReserved) return CKR_ARGUMENTS_BAD;
    return Locked([](Module& m) {
        m.sessions.clear();
        m.objects.clear();
        m.keys.clear();
        m.read = false;
        m.loggedIn = false;
        m.initialized = false;
        return CKR_OK;
    });
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return Locked([&](Module&) {
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        memset(pInfo, 0, sizeof *pInfo);
        pInfo->cryptokiVersion = {2, 40};
        Pad(pInfo->manufacturerID, "Tessaro");
        Pad(pInfo->libraryDescription, "Tessaro enrolled certificates");
        pInfo->libraryVersion = {1, 0};
        return CKR_OK;
    });
}



CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return Locked([&](Module&) {
        if (!pulCount) return CKR_ARGUMENTS_BAD;
        if (!pSlotList) {
            *pulCount = 1;
            return CKR_OK;
        }
        if (*pulCount < 1) {
            *pulCount = 1;
            return CKR_BUFFER_TOO_SMALL;
        }
        pSlotList[0] = kSlot;
        *pulCount = 1;
        return CKR_OK;
    });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return Locked([&](Module&) {
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
        memset(pInfo, 0, sizeof *pInfo);
        Pad(pInfo->slotDescription, "Tessaro enrolled certificates");
        Pad(pInfo->manufacturerID, "Tessaro");
        pInfo->flags = CKF_TOKEN_PRESENT;
        pInfo->hardwareVersion = {1, 0};
        pInfo->firmwareVersion = {1, 0};
        return CKR_OK;
    });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return Locked([&](Module& m) {
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
        memset(pInfo, 0, sizeof *pInfo);
        Pad(pInfo->label, "Tessaro Certificates");
        Pad(pInfo->manufacturerID, "Tessaro");
        Pad(pInfo->model, "Enrollment");
        memcpy(pInfo->serialNumber, "0000000000000001", 16);
        pInfo->flags = CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED | CKF_RNG;
        pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        pInfo->ulSessionCount = m.sessions.size();
        pInfo->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        pInfo->ulRwSessionCount = static_cast<CK_ULONG>(std::count_if(
            m.sessions.begin(), m.sessions.end(), [](const auto& s) { return (s.second->flags & CKF_RW_SESSION) != 0; }));
        pInfo->ulMaxPinLen = 0;
        pInfo->ulMinPinLen = 0;
        pInfo->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        pInfo->hardwareVersion = {1, 0};
        pInfo->firmwareVersion = {1, 0};
        memset(pInfo->utcTime, ' ', sizeof pInfo->utcTime);
        return CKR_OK;
    });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount) {
    return Locked([&](Module&) {
        if (!pulCount) return CKR_ARGUMENTS_BAD;
        if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
        const CK_ULONG n = sizeof kMechanisms / sizeof kMechanisms[0];
        if (!pList) {
            *pulCount = n;
            return CKR_OK;
        }
        if (*pulCount < n) {
            *pulCount = n;
            return CKR_BUFFER_TOO_SMALL;
        }
        for (CK_ULONG i = 0; i < n; ++i) pList[i] = kMechanisms[i].type;
        *pulCount = n;
        return CKR_OK;
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return Locked([&](Module&) {
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
        const Mechanism* mech = FindMechanism(type);
        if (!mech) return CKR_MECHANISM_INVALID;
        pInfo->ulMinKeySize = kMinKeyBits;
        pInfo->ulMaxKeySize = kMaxKeyBits;
        // The provider holding the key performs every operation: for the
        // token's users that is the device.
        pInfo->flags = mech->flags | CKF_HW;
        return CKR_OK;
    });
}

CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) {
    return Locked([&](Module&) { return slotID != kSlot ? CKR_SLOT_ID_INVALID : CKR_TOKEN_WRITE_PROTECTED; });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR, CK_ULONG) { return ReadOnly(h); }
CK_RV C_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG) {
    return ReadOnly(h);
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR phSession) {
    return Locked([&](Module& m) {
        if (!phSession) return CKR_ARGUMENTS_BAD;
        if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
        if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        auto s = std::make_shared<Session>();
        s->flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
        const CK_SESSION_HANDLE h = m.nextSession++;
        m.sessions[h] = std::move(s);
        *phSession = h;
        return CKR_OK;
    });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE h) {
    return Locked([&](Module& m) {
        auto it = m.sessions.find(h);
        if (it == m.sessions.end()) return CKR_SESSION_HANDLE_INVALID;
        m.sessions.erase(it);
        if (m.sessions.empty()) m.loggedIn = false;
        return CKR_OK;
    });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return Locked([&](Module& m) {
        if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
        m.sessions.clear();
        m.loggedIn = false;
        return CKR_OK;
    });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR pInfo) {
    bool loggedIn;
    {
        Module& m = M();
        std::lock_guard<std::mutex> g(m.mutex);
        loggedIn = m.loggedIn;
    }
    return OnSession(h, [&](Session& s) {
        if (!pInfo) return CKR_ARGUMENTS_BAD;
        const bool rw = (s.flags & CKF_RW_SESSION) != 0;
        pInfo->slotID = s.slot;
        pInfo->state = loggedIn ? (rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS)
                                : (rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION);
        pInfo->flags = s.flags;
        pInfo->ulDeviceError = 0;
        return CKR_OK;
    });
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(h); }
CK_RV C_SetOperationState(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return NotSupported(h);
}

// Any PIN is accepted: the token needs none, and callers that log in anyway
// must not be turned away.
CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE userType, CK_UTF8CHAR_PTR, CK_ULONG) {
    return Locked([&](Module& m) {
        if (!m.sessions.count(h)) return CKR_SESSION_HANDLE_INVALID;
        if (userType != CKU_USER && userType != CKU_SO && userType != CKU_CONTEXT_SPECIFIC)
            return CKR_USER_TYPE_INVALID;
        if (userType == CKU_CONTEXT_SPECIFIC) return CKR_OK;
        if (m.loggedIn) return CKR_USER_ALREADY_LOGGED_IN;
        m.loggedIn = true;
        return CKR_OK;
    });
}

CK_RV C_Logout(CK_SESSION_HANDLE h) {
    return Locked([&](Module& m) {
        if (!m.sessions.count(h)) return CKR_SESSION_HANDLE_INVALID;
        if (!m.loggedIn) return CKR_USER_NOT_LOGGED_IN;
        m.loggedIn = false;
        return CKR_OK;
    });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return ReadOnly(h);
}
CK_RV C_CopyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return ReadOnly(h);
}
CK_RV C_DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE) { return ReadOnly(h); }
CK_RV C_SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
    return ReadOnly(h);
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    return OnSession(h, [&](Session&) {
        if (!pulSize) return CKR_ARGUMENTS_BAD;
        auto o = FindObject(hObject);
        if (!o) return CKR_OBJECT_HANDLE_INVALID;
        CK_ULONG n = 0;
        for (const auto& a : o->attrs) n += a.second.size();
        *pulSize = n;
        return CKR_OK;
    });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                 CK_ULONG ulCount) {
    return OnSession(h, [&](Session&) {
        if (!pTemplate && ulCount) return CKR_ARGUMENTS_BAD;
        auto o = FindObject(hObject);
        if (!o) return CKR_OBJECT_HANDLE_INVALID;
        CK_RV rv = CKR_OK;
        for (CK_ULONG i = 0; i < ulCount; ++i) {
            CK_ATTRIBUTE& a = pTemplate[i];
            const auto* v = o->Find(a.type);
            if (o->cls == CKO_PRIVATE_KEY && SensitiveAttribute(a.type)) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_ATTRIBUTE_SENSITIVE;
            } else if (!v) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_ATTRIBUTE_TYPE_INVALID;
            } else if (!a.pValue) {
                a.ulValueLen = v->size();
            } else if (a.ulValueLen < v->size()) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_BUFFER_TOO_SMALL;
            } else {
                if (!v->empty()) memcpy(a.pValue, v->data(), v->size());
                a.ulValueLen = v->size();
            }
        }
        return rv;
    });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return OnSession(h, [&](Session& s) {
        if (!ValidTemplate(pTemplate, ulCount)) return CKR_ARGUMENTS_BAD;
        if (s.finding) return CKR_OPERATION_ACTIVE;
        std::vector<CK_OBJECT_HANDLE> found;
        if (!CannotMatch(pTemplate, ulCount)) {
            // Every search sees the prefix as it is now (read again when it
            // changed): a certificate enrolled while the browser runs is
            // offered at once.
            Module& m = M();
            std::lock_guard<std::mutex> g(m.mutex);
            Refresh(m);
            for (const auto& [handle, object] : m.objects)
                if (Matches(*object, pTemplate, ulCount)) found.push_back(handle);
        }
        s.found = std::move(found);
        s.foundPos = 0;
        s.finding = true;
        return CKR_OK;
    });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                           CK_ULONG_PTR pulObjectCount) {
    return OnSession(h, [&](Session& s) {
        if (!phObject || !pulObjectCount) return CKR_ARGUMENTS_BAD;
        if (!s.finding) return CKR_OPERATION_NOT_INITIALIZED;
        CK_ULONG n = 0;
        while (n < ulMaxObjectCount && s.foundPos < s.found.size()) phObject[n++] = s.found[s.foundPos++];
        *pulObjectCount = n;
        return CKR_OK;
    });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE h) {
    return OnSession(h, [&](Session& s) {
        if (!s.finding) return CKR_OPERATION_NOT_INITIALIZED;
        s.finding = false;
        s.found.clear();
        return CKR_OK;
    });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return NotSupported(h); }
CK_RV C_Encrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return NotSupported(h);
}
CK_RV C_EncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return NotSupported(h);
}
CK_RV C_EncryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(h); }

CK_RV C_DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return OnSession(h, [&](Session& s) { return BeginOperation(s, pMechanism, hKey, false); });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR pData, CK_ULONG ulLen, CK_BYTE_PTR pOut, CK_ULONG_PTR pulLen) {
    return OnSession(h, [&](Session& s) {
        if (!s.op.active || s.op.sign) return CKR_OPERATION_NOT_INITIALIZED;
        // A repeated call after a size query brings the same input again.
        s.op.buffered.clear();
        if (ulLen > s.op.modulusBytes) {
            s.op.End();
            return CKR_ENCRYPTED_DATA_LEN_RANGE;
        }
        if (CK_RV rv = Update(s.op, false, pData, ulLen)) return rv;
        return DecryptFinal(s.op, pOut, pulLen);
    });
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR pPart, CK_ULONG ulPartLen, CK_BYTE_PTR,
                             CK_ULONG_PTR pulPartLen) {
    return OnSession(h, [&](Session& s) {
        if (!pulPartLen) return CKR_ARGUMENTS_BAD;
        if (s.op.active && !s.op.sign && s.op.buffered.size() + ulPartLen > s.op.modulusBytes) {
            s.op.End();
            return CKR_ENCRYPTED_DATA_LEN_RANGE;
        }
        CK_RV rv = Update(s.op, false, pPart, ulPartLen);
        if (rv == CKR_OK) *pulPartLen = 0;  // RSA gives everything at the end
        return rv;
    });
}

CK_RV C_DecryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR pOut, CK_ULONG_PTR pulLen) {
    return OnSession(h, [&](Session& s) { return DecryptFinal(s.op, pOut, pulLen); });
}

CK_RV C_DigestInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR) { return NotSupported(h); }
CK_RV C_Digest(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(h); }
CK_RV C_DigestUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) { return NotSupported(h); }
CK_RV C_DigestKey(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE) { return NotSupported(h); }
CK_RV C_DigestFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(h); }

CK_RV C_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return OnSession(h, [&](Session& s) { return BeginOperation(s, pMechanism, hKey, true); });
}

CK_RV C_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                    CK_ULONG_PTR pulSignatureLen) {
    return OnSession(h, [&](Session& s) {
        if (!s.op.active || !s.op.sign) return CKR_OPERATION_NOT_INITIALIZED;
        if (s.op.updated) {
            s.op.End();
            return CKR_OPERATION_ACTIVE;
        }
        if (!pulSignatureLen || (ulDataLen && !pData)) {
            s.op.End();
            return CKR_ARGUMENTS_BAD;
        }
        // The size first: the data is taken only by the call that signs.
        if (!pSignature || *pulSignatureLen < s.op.modulusBytes) {
            const bool query = !pSignature;
            *pulSignatureLen = s.op.modulusBytes;
            return query ? CKR_OK : CKR_BUFFER_TOO_SMALL;
        }
        if (!s.op.hash && ulDataLen > s.op.modulusBytes) {
            s.op.End();
            return CKR_DATA_LEN_RANGE;
        }
        if (CK_RV rv = Update(s.op, true, pData, ulDataLen)) return rv;
        return SignFinal(s.op, pSignature, pulSignatureLen);
    });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return OnSession(h, [&](Session& s) { return Update(s.op, true, pPart, ulPartLen); });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return OnSession(h, [&](Session& s) { return SignFinal(s.op, pSignature, pulSignatureLen); });
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return NotSupported(h); }
CK_RV C_SignRecover(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return NotSupported(h);
}
CK_RV C_VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return NotSupported(h); }
CK_RV C_Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) { return NotSupported(h); }
CK_RV C_VerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) { return NotSupported(h); }
CK_RV C_VerifyFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) { return NotSupported(h); }
CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return NotSupported(h); }
CK_RV C_VerifyRecover(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return NotSupported(h);
}
CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return NotSupported(h);
}
CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return NotSupported(h);
}
CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return NotSupported(h);
}
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return NotSupported(h);
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return ReadOnly(h);
}
CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                               CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) {
    return ReadOnly(h);
}
CK_RV C_WrapKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR,
                       CK_ULONG_PTR) {
    return NotSupported(h);
}
CK_RV C_UnwrapKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
                         CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return ReadOnly(h);
}
CK_RV C_DeriveKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                         CK_OBJECT_HANDLE_PTR) {
    return ReadOnly(h);
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) {
    return OnSession(h, [](Session&) { return CKR_RANDOM_SEED_NOT_SUPPORTED; });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR pRandom, CK_ULONG ulLen) {
    return OnSession(h, [&](Session&) {
        if (!pRandom && ulLen) return CKR_ARGUMENTS_BAD;
        const HCRYPTPROV prov = SoftwareProvider();
        if (!prov) return CKR_FUNCTION_FAILED;
        while (ulLen) {
            const DWORD n = static_cast<DWORD>(std::min<CK_ULONG>(ulLen, 1u << 20));
            if (!CryptGenRandom(prov, n, pRandom)) return CKR_FUNCTION_FAILED;
            pRandom += n;
            ulLen -= n;
        }
        return CKR_OK;
    });
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE h) {
    return OnSession(h, [](Session&) { return CKR_FUNCTION_NOT_PARALLEL; });
}
CK_RV C_CancelFunction(CK_SESSION_HANDLE h) {
    return OnSession(h, [](Session&) { return CKR_FUNCTION_NOT_PARALLEL; });
}

CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) {
    return Locked([](Module&) { return CKR_FUNCTION_NOT_SUPPORTED; });
}

CK_FUNCTION_LIST kFunctions = {
    {2, 40},
    C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo, C_GetTokenInfo,
    C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN, C_OpenSession, C_CloseSession,
    C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState, C_SetOperationState, C_Login, C_Logout,
    C_CreateObject, C_CopyObject, C_DestroyObject, C_GetObjectSize, C_GetAttributeValue, C_SetAttributeValue,
    C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal, C_EncryptInit, C_Encrypt, C_EncryptUpdate,
    C_EncryptFinal, C_DecryptInit, C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit, C_Digest,
    C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate, C_SignFinal, C_SignRecoverInit,
    C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate, C_VerifyFinal, C_VerifyRecoverInit, C_VerifyRecover,
    C_DigestEncryptUpdate, C_DecryptDigestUpdate, C_SignEncryptUpdate, C_DecryptVerifyUpdate, C_GenerateKey,
    C_GenerateKeyPair, C_WrapKey, C_UnwrapKey, C_DeriveKey, C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus,
    C_CancelFunction, C_WaitForSlotEvent,
};

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (!ppFunctionList) return CKR_ARGUMENTS_BAD;
    *ppFunctionList = &kFunctions;
    return CKR_OK;
}

}  // extern "C"
