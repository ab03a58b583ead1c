// The stored proxy and its enciphered password, in the real SQLite store.
#include <gtest/gtest.h>

#include <string>

#include "host/Util.h"
#include "kit/http_client/http_client.h"
#include "proxy/Proxy.h"
#include "proxy/ProxyConfig.h"
#include "proxy/ProxyPassword.h"
#include "proxy/TesselProxyHelper.h"
#include "support/log_capture.h"
#include "core_proxy_fixture.h"

namespace {

using proxy_config::View;

ProxyInfo FullRecord() {
    ProxyInfo info;
    info.port = 3128;
    info.authType = 1;
    info.tunnel = 1;
    info.discoveryMode = ProxyInfo::kPacFile;
    info.type = L"socks5";
    info.server = L"proxy.example";
    info.user = L"alice";
    info.password = L"s3cr\u00e9t-Pa55";
    return info;
}

class ProxyStore : public ProxyStoreTest {};

TEST_F(ProxyStore, PasswordRoundTripAndRefusals) {
    std::wstring loaded;
    EXPECT_FALSE(LoadProxyPassword(store.get(), &loaded, View::Local));  // none stored

    ASSERT_TRUE(StoreProxyPassword(store.get(), "pa ss;w\xc3\xb6rd"));
    ASSERT_TRUE(LoadProxyPassword(store.get(), &loaded, View::Local));
    EXPECT_EQ(loaded, L"pa ss;w\u00f6rd");
    EXPECT_FALSE(LoadProxyPassword(store.get(), &loaded, View::Secure));

    // Each store takes a new random prefix.
    std::vector<uint8_t> first, second;
    ASSERT_TRUE(proxy_config::ReadBinary(store.get(), View::Local, proxy_config::kPassword, &first));
    ASSERT_TRUE(StoreProxyPassword(store.get(), "pa ss;w\xc3\xb6rd"));
    ASSERT_TRUE(proxy_config::ReadBinary(store.get(), View::Local, proxy_config::kPassword, &second));
    EXPECT_NE(first, second);

    // The shortest password is one character (37 deciphered); an empty one
    // deciphers to the 36-character prefix alone and is refused.
    ASSERT_TRUE(StoreProxyPassword(store.get(), "x"));
    ASSERT_TRUE(LoadProxyPassword(store.get(), &loaded, View::Local));
    EXPECT_EQ(loaded, L"x");
    {
        LogCapture log;
        ASSERT_TRUE(StoreProxyPassword(store.get(), ""));
        EXPECT_FALSE(LoadProxyPassword(store.get(), &loaded, View::Local));
        EXPECT_TRUE(log.containsError("LoadProxyPassword error: incorrect password specified 36, 36"));
    }

    // The enciphered form must fit 1023 bytes: the longest password that does
    // is stored, one byte more is refused and leaves the old value.
    auto* util = Util::CreatePClassInstance();
    const size_t overhead = util->CipherSize(0);
    Util::ReleasePClassInstance(util);
    const std::string longest(proxy_password::kBufferSize - overhead - proxy_password::kPrefixLength, 'p');
    ASSERT_TRUE(StoreProxyPassword(store.get(), longest.c_str()));
    ASSERT_TRUE(LoadProxyPassword(store.get(), &loaded, View::Local));
    EXPECT_EQ(loaded, std::wstring(longest.begin(), longest.end()));
    EXPECT_FALSE(StoreProxyPassword(store.get(), (longest + "p").c_str()));
    ASSERT_TRUE(LoadProxyPassword(store.get(), &loaded, View::Local));
    EXPECT_EQ(loaded.size(), longest.size());

    // A stored value longer than anything we write, or not ours, is unreadable.
    std::vector<uint8_t> junk(proxy_password::kBufferSize + 1, 0x41);
    ASSERT_TRUE(proxy_config::WriteBinary(store.get(), proxy_config::kPassword, junk.data(), junk.size()));
    EXPECT_FALSE(LoadProxyPassword(store.get(), &loaded, View::Local));
    junk.resize(100);
    ASSERT_TRUE(proxy_config::WriteBinary(store.get(), proxy_config::kPassword, junk.data(), junk.size()));
    EXPECT_FALSE(LoadProxyPassword(store.get(), &loaded, View::Local));
}

TEST_F(ProxyStore, SaveAndLoadKeepAllNineFieldsAndNeverTheClearPassword) {
    TesselProxyHelper helper(store.get());
    LogCapture log;
    const ProxyInfo saved = FullRecord();
    ASSERT_TRUE(helper.SaveProxyToConfig(saved));
    ProxyInfo loaded;
    ASSERT_TRUE(helper.LoadProxyFromConfig(&loaded));
    EXPECT_TRUE(loaded == saved);
    EXPECT_TRUE(log.containsTrace("TesselProxyHelper::DeleteConfigProxyInfo deleted proxy settings. result: success"));
    EXPECT_TRUE(log.containsTrace("TesselProxyHelper::LoadProxyFromConfig: Exit(1)"));
    // Discovery's own reader of the stored proxy agrees.
    Proxy proxy(nullptr);
    ProxyInfo read;
    EXPECT_EQ(proxy.LoadProxyInfo(&read), 0);
    EXPECT_TRUE(read == saved);

    // Each field on its own is carried.
    auto changed = [&](auto mutate) {
        ProxyInfo other = saved;
        mutate(other);
        EXPECT_FALSE(other == saved);
        ASSERT_TRUE(helper.SaveProxyToConfig(other));
        ProxyInfo back;
        ASSERT_TRUE(helper.LoadProxyFromConfig(&back));
        EXPECT_TRUE(back == other);
    };
    changed([](ProxyInfo& p) { p.port = 1; });
    changed([](ProxyInfo& p) { p.authType = 8; });
    changed([](ProxyInfo& p) { p.tunnel = 0; });
    changed([](ProxyInfo& p) { p.discoveryMode = ProxyInfo::kWpadDns; });
    changed([](ProxyInfo& p) { p.type = L"https"; });
    changed([](ProxyInfo& p) { p.server = L"other"; });
    changed([](ProxyInfo& p) { p.user = L"bob"; });
    changed([](ProxyInfo& p) { p.password = L"another"; });

    // The password is in neither the database, its log, nor any log line.
    store->Checkpoint();
    const std::string bytes = StoreBytes();
    ASSERT_FALSE(bytes.empty());
    for (const std::string& secret : {std::string("s3cr\xc3\xa9t-Pa55"), std::string("another"), std::string("Pa55")})
        EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
    EXPECT_NE(bytes.find("proxy.example"), std::string::npos);  // the search itself works
    for (const std::string& line : log.lines()) {
        EXPECT_EQ(line.find("Pa55"), std::string::npos) << line;
        EXPECT_EQ(line.find("another"), std::string::npos) << line;
    }
}

TEST_F(ProxyStore, AFailedSaveLeavesTheStoredProxyWhole) {
    TesselProxyHelper helper(store.get());
    const ProxyInfo old = FullRecord();
    ASSERT_TRUE(helper.SaveProxyToConfig(old));

    // The password is the last value written and this one cannot be stored
    // (its enciphered form is too long): the save fails after the delete and
    // the other values, and none of that may land.
    ProxyInfo other = FullRecord();
    other.server = L"other.example";
    other.port = 8080;
    other.password = std::wstring(proxy_password::kBufferSize, L'p');
    LogCapture log;
    EXPECT_FALSE(helper.SaveProxyToConfig(other));
    EXPECT_TRUE(log.containsError("TesselProxyHelper::SaveProxyToConfig error: pwd is not valid"));

    ProxyInfo loaded;
    ASSERT_TRUE(helper.LoadProxyFromConfig(&loaded));
    EXPECT_TRUE(loaded == old) << "server " << std::string(loaded.server.begin(), loaded.server.end()) << ", port "
                               << loaded.port << ", password " << (loaded.password.empty() ? "missing" : "kept");
}

TEST_F(ProxyStore, DefaultsAreNotWrittenAndReadBackEqual) {
    TesselProxyHelper helper(store.get());
    ProxyInfo info;
    info.discoveryMode = ProxyInfo::kSystem;
    info.tunnel = -1;
    info.listProtocol = L"https";  // stands in for the empty type
    info.server = L"p";
    ASSERT_TRUE(helper.SaveProxyToConfig(info));
    EXPECT_EQ(store->GetLocalInt(proxy_config::kPort), -1);
    EXPECT_EQ(store->GetLocalInt(proxy_config::kAuthType), -1);
    EXPECT_EQ(store->GetLocalInt(proxy_config::kTunnel), -1);
    EXPECT_FALSE(store->SubtreeExists(proxy_config::kUserName));
    EXPECT_EQ(proxy_config::ReadStringW(store.get(), View::Local, proxy_config::kType).value_or(L"?"), L"https");

    ProxyInfo loaded;
    ASSERT_TRUE(helper.LoadProxyFromConfig(&loaded));
    EXPECT_EQ(loaded.port, 0);
    EXPECT_EQ(loaded.type, L"https");
    EXPECT_TRUE(loaded == TesselProxyHelper::StoredForm(info));
    EXPECT_FALSE(loaded == info);  // the list protocol became the type

    // Saving replaces the whole subtree: nothing of a former record stays.
    ASSERT_TRUE(helper.SaveProxyToConfig(FullRecord()));
    ASSERT_TRUE(helper.SaveDirectConnection());
    EXPECT_EQ(store->GetLocalInt(proxy_config::kPort), -1);
    EXPECT_FALSE(proxy_config::ReadStringW(store.get(), View::Local, proxy_config::kUserName));
    std::vector<uint8_t> none;
    EXPECT_FALSE(proxy_config::ReadBinary(store.get(), View::Local, proxy_config::kPassword, &none));
    ASSERT_TRUE(helper.LoadProxyFromConfig(&loaded));
    ProxyInfo direct;
    direct.discoveryMode = ProxyInfo::kDirect;
    EXPECT_TRUE(loaded == direct);
}

TEST_F(ProxyStore, InitializeConfigProxy) {
    LogCapture log;
    {
        // Nothing stored, no policy proxy: a direct connection is stored.
        TesselProxyHelper helper(store.get());
        ASSERT_TRUE(helper.InitializeConfigProxy());
        EXPECT_EQ(store->GetLocalInt(proxy_config::kDiscMode), 0);
    }
    {
        // Stored direct connection with an empty server is kept even when
        // policy names a proxy.
        ASSERT_TRUE(store->SetSecureString(proxy_config::kType, "http_proxy"));
        ASSERT_TRUE(store->SetSecureString(proxy_config::kServer, "policy.example"));
        ASSERT_TRUE(store->SetSecureInt(proxy_config::kPort, 8080));
        ASSERT_TRUE(store->SetSecureString(proxy_config::kUserName, "carol"));
        SetPolicyPassword("policy-pw");
        TesselProxyHelper helper(store.get());
        ASSERT_TRUE(helper.InitializeConfigProxy());
        EXPECT_EQ(store->GetLocalInt(proxy_config::kDiscMode), 0);
        EXPECT_FALSE(log.contains("Handle Legacy case"));
    }
    {
        // Mode 0 with a server comes from an older numbering: cleared, then
        // the policy's proxy is stored, password included.
        ASSERT_TRUE(proxy_config::WriteStringW(store.get(), proxy_config::kServer, L"legacy"));
        TesselProxyHelper helper(store.get());
        ASSERT_TRUE(helper.InitializeConfigProxy());
        EXPECT_TRUE(log.containsTrace("TesselProxyHelper::InitializeConfigProxy: Handle Legacy case where discovery "
                                      "mode enum was changed. Clearing proxy config"));
        ProxyInfo loaded;
        ASSERT_TRUE(helper.LoadProxyFromConfig(&loaded));
        EXPECT_EQ(loaded.discoveryMode, ProxyInfo::kConfigured);
        EXPECT_EQ(loaded.server, L"policy.example");
        EXPECT_EQ(loaded.port, 8080);
        EXPECT_EQ(loaded.user, L"carol");
        EXPECT_EQ(loaded.password, L"policy-pw");
        EXPECT_EQ(loaded.tunnel, -1);
    }
}

TEST_F(ProxyStore, ConversionToTheKitRecord) {
    TesselProxyHelper helper(store.get());
    const struct {
        const wchar_t* type;
        int32_t kit;
    } types[] = {{L"http_proxy", TESSEL_PROXY_HTTP},      {L"https", TESSEL_PROXY_HTTPS},
                 {L"socks4", TESSEL_PROXY_SOCKS4},        {L"socks5", TESSEL_PROXY_SOCKS5},
                 {L"socks4a", TESSEL_PROXY_SOCKS4A},      {L"socks5_hostname", TESSEL_PROXY_SOCKS5_HOSTNAME},
                 {L"HTTP_PROXY", TESSEL_PROXY_NONE},      {L"", TESSEL_PROXY_NONE},
                 {L"http", TESSEL_PROXY_NONE}};
    for (const auto& t : types) EXPECT_EQ(ConvertProtcolStringToEnum(t.type), t.kit);

    // The saved record's password is what the kit's getter hands out.
    ProxyInfo info = FullRecord();
    ASSERT_TRUE(helper.SaveProxyToConfig(info));
    tessel_proxy_t record;
    helper.ConvertProxyInfoToTesselProxyType(&record, info);
    EXPECT_EQ(record.type, TESSEL_PROXY_SOCKS5);
    EXPECT_STREQ(record.server, "proxy.example");
    EXPECT_EQ(record.port, 3128);
    EXPECT_EQ(record.auth, 1u);
    ASSERT_NE(record.username, nullptr);
    EXPECT_STREQ(record.username, "alice");
    EXPECT_EQ(record.allow_toggle, 0);
    ASSERT_TRUE(record.get_password && record.free_password);
    for (int i = 0; i < 2; ++i) {
        char* password = record.get_password();
        ASSERT_NE(password, nullptr);
        EXPECT_STREQ(password, "s3cr\xc3\xa9t-Pa55");
        record.free_password(password);
    }
    FreeTesselProxyType(&record);
    EXPECT_EQ(record.username, nullptr);

    // A list entry without type is reached with its list protocol; no
    // password, no getter.
    ProxyInfo listed;
    listed.listProtocol = L"http_proxy";
    listed.server = L"p";
    helper.ConvertProxyInfoToTesselProxyType(&record, listed);
    EXPECT_EQ(record.type, TESSEL_PROXY_HTTP);
    EXPECT_EQ(record.username, nullptr);
    EXPECT_EQ(record.get_password, nullptr);
    EXPECT_EQ(record.free_password, nullptr);
}

}  // namespace
