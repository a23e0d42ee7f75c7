// Key containers: creation, opening, deletion, enumeration, namespaces,
// persistence across processes, concurrent creation, and a kill mid-write.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstring>
#include <set>

#include "platform/csp/CspContainerStore.h"
#include "tests/platform/csp/CspTestUtil.h"

using namespace csptest;

namespace {

DWORD OpenError(const std::u16string& name, const char16_t* prov = kEnh, DWORD flags = 0) {
    Prov p;
    SetLastError(0);
    if (CryptAcquireContextW(p.put(), name.c_str(), prov, TypeOf(prov), flags)) return 0;
    return GetLastError();
}

std::vector<std::string> EnumContainers(HCRYPTPROV h) {
    std::vector<std::string> r;
    DWORD cb = 0;
    EXPECT_TRUE(CryptGetProvParam(h, PP_ENUMCONTAINERS, nullptr, &cb, CRYPT_FIRST));
    std::vector<char> buf(cb);
    DWORD flags = CRYPT_FIRST;
    for (;;) {
        DWORD n = cb;
        if (!CryptGetProvParam(h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buf.data()), &n, flags)) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
            break;
        }
        EXPECT_EQ(strlen(buf.data()) + 1, n);
        r.emplace_back(buf.data());
        flags = CRYPT_NEXT;
    }
    return r;
}

std::string Narrow(const std::u16string& s) {
    std::string r;
    for (char16_t c : s) r += static_cast<char>(c);
    return r;
}

using tessaro_test::IntegrityCheck;

pid_t Spawn(const std::vector<std::string>& args, int* outFd) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    *outFd = fds[0];
    return pid;
}

}  // namespace

TEST(CspContainer, CreateOpenDeleteAndTheirErrors) {
    std::u16string name = FreshName("life");
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), OpenError(name));
    {
        Prov p;
        NewContainer(p, name);
    }
    EXPECT_EQ(static_cast<DWORD>(NTE_EXISTS), OpenError(name, kEnh, CRYPT_NEWKEYSET));
    EXPECT_EQ(0u, OpenError(name));
    HCRYPTPROV h = 0x1234;
    ASSERT_TRUE(CryptAcquireContextW(&h, name.c_str(), kEnh, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(0u, h);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), OpenError(name));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), OpenError(name, kEnh, CRYPT_DELETEKEYSET));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), OpenError(name, kEnh, CRYPT_NEWKEYSET | CRYPT_VERIFYCONTEXT));
    // Machine key sets are not kept here; asking for one never touches the
    // user's container of the same name.
    Prov again;
    NewContainer(again, name);
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), OpenError(name, kEnh, CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), OpenError(name, kEnh, CRYPT_MACHINE_KEYSET));
    EXPECT_EQ(0u, OpenError(name));
}

TEST(CspContainer, NamesOf260UnitsOrMoreAreRefused) {
    std::u16string longName(260, u'c');
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET_PARAM), OpenError(longName, kEnh, CRYPT_NEWKEYSET));
    std::u16string okName = FreshName("n") + std::u16string(200, u'x');
    EXPECT_EQ(0u, OpenError(okName, kEnh, CRYPT_NEWKEYSET));
    EXPECT_EQ(0u, OpenError(okName));
}

TEST(CspContainer, MicrosoftProvidersShareOneNamespaceTokensHaveTheirOwn) {
    std::u16string name = FreshName("shared");
    Prov p;
    NewContainer(p, name, kBase);
    EXPECT_EQ(0u, OpenError(name, kEnh));
    EXPECT_EQ(0u, OpenError(name, kStrong));
    EXPECT_EQ(0u, OpenError(name, kAes));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), OpenError(name, kTokenRsa));
    EXPECT_EQ(0u, OpenError(name, kTokenRsa, CRYPT_NEWKEYSET));
    EXPECT_EQ(0u, OpenError(name, kTokenRsa));
}

TEST(CspContainer, VerifyContextWithAndWithoutName) {
    std::u16string name = FreshName("verify");
    Prov p;
    NewContainer(p, name, kTokenRsa);
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 512u << 16, k.put()));
    // Microsoft's providers take no container name with CRYPT_VERIFYCONTEXT.
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), OpenError(name, kEnh, CRYPT_VERIFYCONTEXT));
    // The token provider opens the named container.
    Prov v;
    ASSERT_TRUE(CryptAcquireContextW(v.put(), name.c_str(), kTokenRsa, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key u;
    EXPECT_TRUE(CryptGetUserKey(v.get(), AT_SIGNATURE, u.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), OpenError(FreshName("none"), kTokenRsa, CRYPT_VERIFYCONTEXT));
    // An ephemeral context keeps its keys to itself.
    Prov e;
    ASSERT_TRUE(CryptAcquireContextW(e.put(), nullptr, kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    Key ek, eu;
    EXPECT_FALSE(CryptGetUserKey(e.get(), AT_KEYEXCHANGE, eu.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_NO_KEY), GetLastError());
    ASSERT_TRUE(CryptGenKey(e.get(), AT_KEYEXCHANGE, 512u << 16, ek.put()));
    EXPECT_TRUE(CryptGetUserKey(e.get(), AT_KEYEXCHANGE, eu.put()));
}

TEST(CspContainer, EnumerationAndContainerNames) {
    std::u16string a = FreshName("enum-a");
    std::u16string b = FreshName("enum\\b%5C");
    std::u16string c = FreshName("enum-c") + u"\u00e9";
    Prov pa, pb, pc;
    NewContainer(pa, a);
    NewContainer(pb, b);
    NewContainer(pc, c);
    char buf[300];
    DWORD cb = sizeof(buf);
    ASSERT_TRUE(CryptGetProvParam(pb.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(buf), &cb, 0));
    EXPECT_EQ(Narrow(b), std::string(buf));
    cb = sizeof(buf);
    ASSERT_TRUE(CryptGetProvParam(pc.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(buf), &cb, 0));
    EXPECT_EQ(Narrow(c.substr(0, c.size() - 1)) + "\xC3\xA9", std::string(buf));  // UTF-8

    Prov v;
    ASSERT_TRUE(CryptAcquireContextW(v.put(), nullptr, kStrong, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    auto names = EnumContainers(v.get());
    std::set<std::string> s(names.begin(), names.end());
    EXPECT_EQ(names.size(), s.size());
    EXPECT_EQ(1u, s.count(Narrow(a)));
    EXPECT_EQ(1u, s.count(Narrow(b)));
    EXPECT_EQ(1u, s.count(std::string(buf)));
    // A buffer too small for the next name: ERROR_MORE_DATA and the size.
    DWORD tiny = 2;
    EXPECT_FALSE(CryptGetProvParam(v.get(), PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(buf), &tiny, CRYPT_FIRST));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_GT(tiny, 2u);
    // The token providers' containers are elsewhere.
    Prov t;
    ASSERT_TRUE(CryptAcquireContextW(t.put(), nullptr, kTokenRsa, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    auto tnames = EnumContainers(t.get());
    EXPECT_EQ(0, std::count(tnames.begin(), tnames.end(), Narrow(a)));
}

TEST(CspContainer, KeysPersistAcrossProcesses) {
    std::u16string name = FreshName("persist");
    Prov p;
    NewContainer(p, name);
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_SIGNATURE, 1024u << 16, k.put()));
    Bytes mine = ExportBlob(k.get(), PUBLICKEYBLOB);
    auto res = tessaro_test::RunProcess({tessaro_test::BuildPath("tests/csp_child"), "pubkey", Narrow(name)}, "");
    ASSERT_EQ(0, res.exitCode) << res.err;
    EXPECT_EQ(tessaro_test::ToHex(mine) + "\n", res.out);
    // A signature made by the other process verifies here.
    Bytes data = {'p', 'e', 'r', 's', 'i', 's', 't'};
    res = tessaro_test::RunProcess(
        {tessaro_test::BuildPath("tests/csp_child"), "sign", Narrow(name), tessaro_test::ToHex(data)}, "");
    ASSERT_EQ(0, res.exitCode) << res.err;
    Bytes sig = tessaro_test::FromHex(res.out);
    ASSERT_EQ(128u, sig.size());
    Hash h;
    ASSERT_TRUE(CryptCreateHash(p.get(), CALG_SHA1, 0, 0, h.put()));
    ASSERT_TRUE(CryptHashData(h.get(), data.data(), static_cast<DWORD>(data.size()), 0));
    EXPECT_TRUE(CryptVerifySignatureW(h.get(), sig.data(), static_cast<DWORD>(sig.size()), k.get(), nullptr, 0))
        << std::hex << GetLastError();
}

TEST(CspContainer, TwoProcessesCreatingAHundredEachLoseNone) {
    std::string tag = "conc" + std::to_string(getpid());
    int fa = -1, fb = -1;
    pid_t a = Spawn({tessaro_test::BuildPath("tests/csp_child"), "create", "100", tag + "a"}, &fa);
    pid_t b = Spawn({tessaro_test::BuildPath("tests/csp_child"), "create", "100", tag + "b"}, &fb);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    char buf[4096];
    while (read(fa, buf, sizeof(buf)) > 0) {
    }
    while (read(fb, buf, sizeof(buf)) > 0) {
    }
    close(fa);
    close(fb);
    int sa = 0, sb = 0;
    waitpid(a, &sa, 0);
    waitpid(b, &sb, 0);
    EXPECT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0);
    EXPECT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0);
    Prov v;
    ASSERT_TRUE(CryptAcquireContextW(v.put(), nullptr, kEnh, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    auto names = EnumContainers(v.get());
    int found = 0;
    for (const auto& n : names) found += n.rfind(tag, 0) == 0;
    EXPECT_EQ(200, found);
    for (int i = 0; i < 100; i += 33) {
        for (const char* side : {"a", "b"}) {
            Prov p;
            std::u16string n = Wide(tag + side + "-" + std::to_string(i));
            ASSERT_TRUE(CryptAcquireContextW(p.put(), n.c_str(), kEnh, PROV_RSA_FULL, 0));
            Key k;
            EXPECT_TRUE(CryptGetUserKey(p.get(), AT_SIGNATURE, k.put()));
        }
    }
}

TEST(CspContainer, KillDuringWritesLeavesAnIntactPrefix) {
    ScopedPrefix prefix;
    std::string tag = "kill";
    int fd = -1;
    pid_t pid = Spawn({tessaro_test::BuildPath("tests/csp_child"), "create", "100000", tag}, &fd);
    ASSERT_GT(pid, 0);
    std::string out;
    char buf[256];
    int made = -1;
    while (made < 25) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        size_t pos = out.rfind("made ");
        if (pos != std::string::npos && out.find('\n', pos) != std::string::npos) made = atoi(out.c_str() + pos + 5);
    }
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    close(fd);
    ASSERT_GE(made, 25);
    EXPECT_EQ("ok", IntegrityCheck(prefix.path() + "/user.db"));
    EXPECT_EQ("ok", IntegrityCheck(prefix.path() + "/machine.db"));
    // Everything reported as made is there, key included.
    for (int i = 0; i <= made; ++i) {
        Prov p;
        std::u16string n = Wide(tag + "-" + std::to_string(i));
        ASSERT_TRUE(CryptAcquireContextW(p.put(), n.c_str(), kEnh, PROV_RSA_FULL, 0)) << i;
        Key k;
        EXPECT_TRUE(CryptGetUserKey(p.get(), AT_SIGNATURE, k.put())) << i;
    }
    // The prefix goes on working.
    Prov p;
    NewContainer(p, FreshName("after"));
}

TEST(CspContainer, FailedCallsLeaveTheContainerAsItWas) {
    std::u16string name = FreshName("intact");
    Prov p;
    NewContainer(p, name);
    Key k;
    ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, (1024u << 16) | CRYPT_EXPORTABLE, k.put()));
    Bytes before = ExportBlob(k.get(), PRIVATEKEYBLOB);
    ASSERT_EQ(596u, before.size());
    Bytes bad = before;
    bad[8] = 'X';  // magic
    Key tmp;
    EXPECT_FALSE(CryptImportKey(p.get(), bad.data(), static_cast<DWORD>(bad.size()), 0, 0, tmp.put()));
    bad = before;
    bad.pop_back();
    EXPECT_FALSE(CryptImportKey(p.get(), bad.data(), static_cast<DWORD>(bad.size()), 0, 0, tmp.put()));
    bad = before;
    bad[30] ^= 1;  // the primes no longer make the modulus
    EXPECT_FALSE(CryptImportKey(p.get(), bad.data(), static_cast<DWORD>(bad.size()), 0, 0, tmp.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
    EXPECT_FALSE(CryptGenKey(p.get(), AT_KEYEXCHANGE, (1004u << 16), tmp.put()));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
    Prov again;
    ASSERT_TRUE(CryptAcquireContextW(again.put(), name.c_str(), kEnh, PROV_RSA_FULL, 0));
    Key u;
    ASSERT_TRUE(CryptGetUserKey(again.get(), AT_KEYEXCHANGE, u.put()));
    EXPECT_EQ(before, ExportBlob(u.get(), PRIVATEKEYBLOB));
}

TEST(CspContainer, AnOpenContextSeesAKeyReplacedElsewhere) {
    std::u16string name = FreshName("replace");
    Prov a;
    NewContainer(a, name);
    Key ka;
    ASSERT_TRUE(CryptGenKey(a.get(), AT_SIGNATURE, 512u << 16, ka.put()));
    Bytes data = {'r', 'e', 'p', 'l', 'a', 'c', 'e'};
    ASSERT_FALSE(SignWith(a.get(), CALG_SHA1, data, AT_SIGNATURE).empty());
    // A second context (as another process would) puts a new key pair in.
    Prov b;
    ASSERT_TRUE(CryptAcquireContextW(b.put(), name.c_str(), kEnh, PROV_RSA_FULL, 0));
    Key kb;
    ASSERT_TRUE(CryptGenKey(b.get(), AT_SIGNATURE, 512u << 16, kb.put()));
    Pkey newPub = PublicKeyOf(b.get(), AT_SIGNATURE);
    ASSERT_TRUE(newPub);
    Bytes sig = SignWith(a.get(), CALG_SHA1, data, AT_SIGNATURE);
    EXPECT_TRUE(OpenSslVerify(newPub.get(), EVP_sha1(), data, Reversed(sig)));
    EXPECT_EQ(ExportBlob(kb.get(), PUBLICKEYBLOB), [&] {
        Key u;
        EXPECT_TRUE(CryptGetUserKey(a.get(), AT_SIGNATURE, u.put()));
        return ExportBlob(u.get(), PUBLICKEYBLOB);
    }());
}

// A key handle reads its pair in the stored form: a stored pair that decoding
// refuses must still fail CryptGetUserKey with the decoder's code, and one of
// another shape that decoding reads must still open.
TEST(CspContainer, StoredPairsOpenAndFailAsDecodingThem) {
    struct Case {
        const char* what;
        const char16_t* prov;
        const char16_t* family;
        void (*damage)(tessaro::SecureBytes&);
        HRESULT error;  // S_OK: the handle opens with the key's public blob
    };
    const Case cases[] = {
        {"SM2 scalar zero", kTokenSm2, CSP_FAMILY_SM2_TOKEN,
         [](tessaro::SecureBytes& k) { std::fill(k.begin(), k.begin() + 32, 0); }, NTE_KEYSET_ENTRY_BAD},
        {"SM2 point off the curve", kTokenSm2, CSP_FAMILY_SM2_TOKEN, [](tessaro::SecureBytes& k) { k.back() ^= 1; },
         NTE_KEYSET_ENTRY_BAD},
        {"SM2 scalar without its point", kTokenSm2, CSP_FAMILY_SM2_TOKEN,
         [](tessaro::SecureBytes& k) { k.resize(32); }, S_OK},
        {"RSA cut short", kTokenRsa, CSP_FAMILY_RSA_TOKEN, [](tessaro::SecureBytes& k) { k.pop_back(); },
         NTE_KEYSET_ENTRY_BAD},
        // 30 82 LL LL 02 01 <version>: a version our encoder never writes.
        {"RSA version 2", kTokenRsa, CSP_FAMILY_RSA_TOKEN, [](tessaro::SecureBytes& k) { k[6] = 2; }, S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::u16string name = FreshName("stored");
        Prov p;
        NewContainer(p, name, c.prov);
        Key k;
        ASSERT_TRUE(CryptGenKey(p.get(), AT_KEYEXCHANGE, c.prov == kTokenRsa ? 1024u << 16 : 0, k.put()));
        const Bytes pub = ExportBlob(k.get(), PUBLICKEYBLOB);
        tessaro::csp::CKeyContainerStore store(c.family);
        tessaro::csp::CContainerKeyRecord rec;
        ASSERT_EQ(store.ReadKey(name, AT_KEYEXCHANGE, &rec), tessaro::csp::CSP_OK);
        c.damage(rec.privateKey);
        ASSERT_EQ(store.WriteKey(name, AT_KEYEXCHANGE, rec), tessaro::csp::CSP_OK);
        Prov again;
        ASSERT_TRUE(CryptAcquireContextW(again.put(), name.c_str(), c.prov, PROV_RSA_FULL, 0));
        Key u;
        SetLastError(0);
        const bool opened = CryptGetUserKey(again.get(), AT_KEYEXCHANGE, u.put()) != FALSE;
        EXPECT_EQ(opened ? S_OK : static_cast<HRESULT>(GetLastError()), c.error);
        if (opened) {
            EXPECT_EQ(ExportBlob(u.get(), PUBLICKEYBLOB), pub);
        }
    }
}
