// Provider registration, enumeration, acquisition by name and type, and the
// provider parameters (algorithm records, names, types).
#include <cstring>
#include <map>
#include <set>

#include "tests/platform/csp/CspTestUtil.h"

using namespace csptest;

namespace {

std::map<std::u16string, DWORD> RegisteredProviders() {
    std::map<std::u16string, DWORD> r;
    for (DWORD i = 0; i < 100; ++i) {
        DWORD type = 0, cb = 0;
        if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &cb)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
            break;
        }
        std::u16string name(cb / 2, u'\0');
        EXPECT_TRUE(CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &cb));
        EXPECT_EQ(u'\0', name.back());
        name.pop_back();
        r[name] = type;
    }
    return r;
}

DWORD AcquireError(const char16_t* prov, DWORD type, DWORD flags = CRYPT_VERIFYCONTEXT) {
    Prov p;
    SetLastError(0);
    if (CryptAcquireContextW(p.put(), nullptr, prov, type, flags)) return 0;
    return GetLastError();
}

std::vector<PROV_ENUMALGS_EX> AlgorithmsOf(const char16_t* prov) {
    Prov p;
    EXPECT_TRUE(CryptAcquireContextW(p.put(), nullptr, prov, TypeOf(prov), CRYPT_VERIFYCONTEXT));
    std::vector<PROV_ENUMALGS_EX> r;
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        PROV_ENUMALGS_EX a;
        DWORD cb = sizeof(a);
        if (!CryptGetProvParam(p.get(), PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&a), &cb, flags)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
            break;
        }
        EXPECT_EQ(88u, cb);
        r.push_back(a);
        flags = CRYPT_NEXT;
    }
    return r;
}

const PROV_ENUMALGS_EX* Find(const std::vector<PROV_ENUMALGS_EX>& v, ALG_ID id) {
    for (const auto& a : v)
        if (a.aiAlgid == id) return &a;
    return nullptr;
}

}  // namespace

TEST(CspRegistration, NewPrefixListsTheBuiltInProviders) {
    auto r = RegisteredProviders();
    ASSERT_EQ(6u, r.size());
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), r[kBase]);
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), r[kEnh]);
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), r[kStrong]);
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_AES), r[kAes]);
    int sm2 = 0, rsa = 0;
    for (const auto& [name, type] : r) {
        if (name.find(u"Microsoft") != std::u16string::npos) continue;
        EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), type);
        sm2 += name.find(u"SM2") != std::u16string::npos;
        rsa += name.find(u"RSA") != std::u16string::npos;
    }
    EXPECT_EQ(1, sm2);
    EXPECT_EQ(1, rsa);
}

TEST(CspRegistration, EnumerationSizesAndErrors) {
    DWORD type = 0, cb = 0;
    ASSERT_TRUE(CryptEnumProvidersW(0, nullptr, 0, &type, nullptr, &cb));
    ASSERT_GT(cb, 2u);
    EXPECT_EQ(0u, cb % 2);
    std::u16string buf(cb / 2, u'x');
    DWORD small = cb - 2;
    EXPECT_FALSE(CryptEnumProvidersW(0, nullptr, 0, &type, buf.data(), &small));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(cb, small);
    DWORD reserved = 0;
    EXPECT_FALSE(CryptEnumProvidersW(0, &reserved, 0, &type, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptEnumProvidersW(0, nullptr, 1, &type, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
    EXPECT_FALSE(CryptEnumProvidersW(1000, nullptr, 0, &type, nullptr, &cb));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
}

TEST(CspRegistration, AcquireChecksNameAndType) {
    EXPECT_EQ(0u, AcquireError(kEnh, PROV_RSA_FULL));
    EXPECT_EQ(0u, AcquireError(kAes, PROV_RSA_AES));
    EXPECT_EQ(static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH), AcquireError(kAes, PROV_RSA_FULL));
    EXPECT_EQ(static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH), AcquireError(kEnh, PROV_RSA_AES));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_PROV_TYPE), AcquireError(kEnh, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_KEYSET_NOT_DEF), AcquireError(u"No Such Provider", PROV_RSA_FULL));
    std::u16string longName(260, u'P');
    EXPECT_EQ(static_cast<DWORD>(NTE_KEYSET_NOT_DEF), AcquireError(longName.c_str(), PROV_RSA_FULL));
    // A null name takes the type's default provider.
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    char name[128];
    DWORD cb = sizeof(name);
    ASSERT_TRUE(CryptGetProvParam(p.get(), PP_NAME, reinterpret_cast<BYTE*>(name), &cb, 0));
    EXPECT_STREQ("Microsoft Enhanced RSA and AES Cryptographic Provider", name);
    EXPECT_EQ(strlen(name) + 1, cb);
    EXPECT_FALSE(CryptAcquireContextW(nullptr, nullptr, kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), AcquireError(kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | 0x4000));
}

TEST(CspRegistration, RemovedRegistrationIsGoneAndStaysGone) {
    ScopedPrefix prefix;
    ASSERT_EQ(6u, RegisteredProviders().size());
    ASSERT_EQ(static_cast<LSTATUS>(ERROR_SUCCESS),
              RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                             u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\Microsoft Strong Cryptographic Provider"));
    auto r = RegisteredProviders();
    EXPECT_EQ(5u, r.size());
    EXPECT_EQ(0u, r.count(kStrong));
    EXPECT_EQ(static_cast<DWORD>(NTE_KEYSET_NOT_DEF), AcquireError(kStrong, PROV_RSA_FULL));
    // The default provider of type 1 was the one removed.
    EXPECT_EQ(static_cast<DWORD>(NTE_KEYSET_NOT_DEF), AcquireError(nullptr, PROV_RSA_FULL));
    ASSERT_EQ(static_cast<LSTATUS>(ERROR_SUCCESS),
              RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types"));
    EXPECT_EQ(static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF), AcquireError(nullptr, PROV_RSA_FULL));
    // Another process on the same prefix does not register it again.
    auto res = tessaro_test::RunProcess({tessaro_test::BuildPath("tests/csp_child"), "create", "1", "regcheck"}, "");
    EXPECT_EQ(0, res.exitCode) << res.err;
    EXPECT_EQ(0u, RegisteredProviders().count(kStrong));
}

TEST(CspRegistration, AddedRegistrationSelectsAnImplementation) {
    ScopedPrefix prefix;
    ASSERT_EQ(6u, RegisteredProviders().size());
    auto add = [](const char16_t* name, const char16_t* image) {
        HKEY k = nullptr;
        std::u16string path = std::u16string(u"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + name;
        ASSERT_EQ(static_cast<LSTATUS>(ERROR_SUCCESS),
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
        DWORD type = PROV_RSA_FULL;
        RegSetValueExW(k, u"Type", 0, REG_DWORD, reinterpret_cast<BYTE*>(&type), 4);
        std::u16string img(image);
        RegSetValueExW(k, u"Image Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(img.c_str()),
                       static_cast<DWORD>((img.size() + 1) * 2));
        RegCloseKey(k);
    };
    add(u"Second Enhanced", u"tessaro:rsaenh");
    add(u"Missing Module", u"tessaro:nothing");
    EXPECT_EQ(8u, RegisteredProviders().size());
    EXPECT_EQ(static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND), AcquireError(u"Missing Module", PROV_RSA_FULL));
    // Same implementation, same container namespace as Microsoft's providers.
    std::u16string name = FreshName("added");
    Prov a;
    NewContainer(a, name, kEnh);
    Prov b;
    EXPECT_TRUE(CryptAcquireContextW(b.put(), name.c_str(), u"Second Enhanced", PROV_RSA_FULL, 0)) << std::hex
                                                                                              << GetLastError();
}

TEST(CspProvParam, EnumAlgsExRecordsPerProvider) {
    auto enh = AlgorithmsOf(kEnh);
    const PROV_ENUMALGS_EX* keyx = Find(enh, CALG_RSA_KEYX);
    ASSERT_NE(nullptr, keyx);
    EXPECT_EQ(1024u, keyx->dwDefaultLen);
    EXPECT_EQ(16384u, keyx->dwMaxLen);
    EXPECT_STREQ("RSA_KEYX", keyx->szName);
    EXPECT_EQ(9u, keyx->dwNameLen);
    EXPECT_STREQ("RSA Key Exchange", keyx->szLongName);
    const PROV_ENUMALGS_EX* des3 = Find(enh, CALG_3DES);
    ASSERT_NE(nullptr, des3);
    EXPECT_EQ(168u, des3->dwDefaultLen);
    EXPECT_STREQ("3DES", des3->szName);
    ASSERT_NE(nullptr, Find(enh, CALG_SHA1));
    ASSERT_NE(nullptr, Find(enh, CALG_MD5));
    EXPECT_EQ(nullptr, Find(enh, CALG_SHA_256));

    auto base = AlgorithmsOf(kBase);
    EXPECT_EQ(nullptr, Find(base, CALG_3DES));
    ASSERT_NE(nullptr, Find(base, CALG_RSA_SIGN));
    EXPECT_EQ(512u, Find(base, CALG_RSA_SIGN)->dwDefaultLen);
    EXPECT_EQ(512u, Find(base, CALG_RSA_KEYX)->dwDefaultLen);

    auto aes = AlgorithmsOf(kAes);
    ASSERT_NE(nullptr, Find(aes, CALG_AES_256));
    ASSERT_NE(nullptr, Find(aes, CALG_SHA_256));
    EXPECT_EQ(1024u, Find(aes, CALG_RSA_SIGN)->dwDefaultLen);
    EXPECT_EQ(enh.size(), AlgorithmsOf(kStrong).size());
}

TEST(CspProvParam, EnumAlgsRestartsAndShortRecords) {
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    PROV_ENUMALGS a{}, b{};
    DWORD cb = sizeof(a);
    ASSERT_TRUE(CryptGetProvParam(p.get(), PP_ENUMALGS, reinterpret_cast<BYTE*>(&a), &cb, CRYPT_FIRST));
    EXPECT_EQ(sizeof(PROV_ENUMALGS), cb);
    EXPECT_EQ(static_cast<ALG_ID>(CALG_DES), a.aiAlgid);
    EXPECT_EQ(56u, a.dwBitLen);
    cb = sizeof(b);
    ASSERT_TRUE(CryptGetProvParam(p.get(), PP_ENUMALGS, reinterpret_cast<BYTE*>(&b), &cb, CRYPT_NEXT));
    EXPECT_NE(a.aiAlgid, b.aiAlgid);
    cb = sizeof(b);
    ASSERT_TRUE(CryptGetProvParam(p.get(), PP_ENUMALGS, reinterpret_cast<BYTE*>(&b), &cb, CRYPT_FIRST));
    EXPECT_EQ(a.aiAlgid, b.aiAlgid);
    cb = 10;
    EXPECT_FALSE(CryptGetProvParam(p.get(), PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&b), &cb, CRYPT_FIRST));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(88u, cb);
}

TEST(CspProvParam, ScalarParameters) {
    Prov p;
    ASSERT_TRUE(CryptAcquireContextW(p.put(), nullptr, kAes, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    auto dword = [&](DWORD param) {
        DWORD v = 0xDEADBEEF, cb = sizeof(v);
        EXPECT_TRUE(CryptGetProvParam(p.get(), param, reinterpret_cast<BYTE*>(&v), &cb, 0)) << param;
        EXPECT_EQ(4u, cb);
        return v;
    };
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_AES), dword(PP_PROVTYPE));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_IMPL_SOFTWARE), dword(PP_IMPTYPE));
    EXPECT_EQ(0x200u, dword(PP_VERSION));
    EXPECT_EQ(3u, dword(PP_KEYSPEC));
    EXPECT_EQ(8u, dword(PP_SIG_KEYSIZE_INC));
    EXPECT_EQ(8u, dword(PP_KEYX_KEYSIZE_INC));
    DWORD cb = 4;
    BYTE buf[4];
    EXPECT_FALSE(CryptGetProvParam(p.get(), 999, buf, &cb, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_TYPE), GetLastError());
    EXPECT_FALSE(CryptGetProvParam(p.get(), PP_NAME, buf, &cb, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(strlen("Microsoft Enhanced RSA and AES Cryptographic Provider") + 1, cb);
    EXPECT_FALSE(CryptGetProvParam(p.get(), PP_NAME, buf, &cb, CRYPT_FIRST));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
}
