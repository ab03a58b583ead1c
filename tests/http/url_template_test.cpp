// URL checks, percent-encoding and the expansion of configuration templates,
// as tables, over the real configuration store.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "config_store.h"
#include "hostkit/temp_dir.h"
#include "host/WinApi.h"
#include "http/UrlUtil.h"
#include "http/XmlConfig.h"

namespace {

TEST(UrlCheck, AcceptsHttpAndHttpsUrlsWithAPathOnly) {
    struct Case {
        const char* url;
        bool valid;
    };
    const Case cases[] = {
        {"https://vesta.example.com/", true},
        {"http://10.1.2.3:8080/policy/get?x=1", true},
        {"https://a/", true},
        {"https://host_name-1.example:443/p", true},
        {"https://h/with space and [brackets]", true},
        {"https://vesta.example.com", false},          // no slash after the host
        {"https://-vesta.example.com/", false},        // host starts with a hyphen
        {"https://.example.com/", false},
        {"ftp://vesta.example.com/", false},
        {"HTTPS://vesta.example.com/", false},
        {"httpss://vesta.example.com/", false},
        {"https:/vesta.example.com/", false},
        {"https:///", false},
        {"", false},
        {" https://vesta.example.com/", false},
        {"https://user@host/", false},                 // "@" ends the host part before any slash
        {"https://host?x=/", false},
        {"https://host/line\r\nX-Injected: 1", false},  // one line only
        {"https://host/\n", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsValidWebUrl(c.url), c.valid) << "[" << c.url << "]";
    EXPECT_FALSE(IsValidWebUrl(nullptr));
    // Long URLs are checked without deep recursion.
    std::string longUrl = "https://h" + std::string(1 << 20, 'a') + "/x";
    EXPECT_TRUE(IsValidWebUrl(longUrl.c_str()));
    longUrl.back() = '\n';
    EXPECT_FALSE(IsValidWebUrl(longUrl.c_str()));
}

TEST(UrlCheck, PercentEncodingKeepsOnlyLettersAndDigits) {
    const std::pair<std::string, std::string> cases[] = {
        {"AZaz09", "AZaz09"},
        {"a b", "a%20b"},
        {"x&y", "x%26y"},
        {"-._~", "%2D%2E%5F%7E"},
        {"/:?#[]@%", "%2F%3A%3F%23%5B%5D%40%25"},
        {std::string("\0\x7f\xff", 3), "%00%7F%FF"},
        {"\xc3\xa9", "%C3%A9"},
        {"", ""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(PercentEncode(in), out) << in;

    UrlUtil util(CreateStringUtils(), ReleaseStringUtils);
    EXPECT_EQ(util.UrlEncode(L"\u00e9 a-b"), "%C3%A9%20a%2Db");
    EXPECT_EQ(util.UrlEncodeW(L"\u00e9 a-b"), L"%C3%A9%20a%2Db");
    EXPECT_EQ(util.UrlEncode(nullptr), "");
}

class TemplateTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string reason;
        store_ = hostkit::ConfigStore::Open(dir_.file("config.db"), &reason);
        ASSERT_TRUE(store_) << reason;
        xml_ = std::make_unique<XmlConfig>(store_.get(), &url_);
    }
    std::wstring Expand(const char* templateText) {
        EXPECT_TRUE(store_->SetSecureString("config/test/template", templateText));
        return xml_->GetTemplatedValue("config/test/template");
    }

    TempDir dir_;
    std::unique_ptr<hostkit::ConfigStore> store_;
    UrlUtil url_{CreateStringUtils(), ReleaseStringUtils};
    std::unique_ptr<XmlConfig> xml_;
};

TEST_F(TemplateTest, PlaceholdersAreReplacedByEncodedValues) {
    ASSERT_TRUE(store_->CreateString("config/agent/uuid", "a-b c"));
    ASSERT_TRUE(store_->CreateString("other/key", "v"));
    ASSERT_TRUE(store_->CreateString("config/ui/lang", "en"));
    ASSERT_TRUE(store_->SetSecureString("config/agent/secure", "from-policy"));
    const std::pair<const char*, std::wstring> cases[] = {
        // "agent/" and "ui/" are read below "config/"; other names as they are.
        {"https://h/[%set:agent/uuid%]/[%set:other/key%]", L"https://h/a%2Db%20c/v"},
        {"https://h/[%set:ui/lang%]", L"https://h/en"},
        {"https://h/[%set:config/agent/uuid%]", L"https://h/a%2Db%20c"},
        // The general view: a policy value wins.
        {"[%set:agent/secure%]", L"from%2Dpolicy"},
        // Absent keys give nothing.
        {"https://h/[%set:agent/absent%]x", L"https://h/x"},
        {"https://h/no/placeholders", L"https://h/no/placeholders"},
        // The key is the shortest text up to "%]", on one line.
        {"[%set:other/key%]%]", L"v%]"},
        {"[%set:other/key\n%][%set:other/key%]", L"[%set:other/key\n%]v"},
        {"[%set:other/key", L"[%set:other/key"},
        {"[%set:%]", L""},
        // A replacement can complete an opening before it; the search restarts.
        {"[%[%set:config/test/set%]:other/key%]", L"v"},
    };
    ASSERT_TRUE(store_->CreateString("config/test/set", "set"));
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(Expand(text), expected) << text;
    EXPECT_EQ(xml_->GetTemplatedValue("config/test/absent"), L"");
    EXPECT_EQ(xml_->GetConfig(), store_.get());
}

TEST_F(TemplateTest, ReadsCopyEachView) {
    ASSERT_TRUE(store_->CreateString("config/k", "local \u00e9"));
    ASSERT_TRUE(store_->SetSecureString("config/s", "secure"));
    EXPECT_EQ(xml_->GetString("config/k"), "local \u00e9");
    EXPECT_EQ(xml_->GetWString("config/k"), L"local \u00e9");
    EXPECT_EQ(xml_->GetSecureString("config/k"), "");
    EXPECT_EQ(xml_->GetSecureString("config/s"), "secure");
    EXPECT_EQ(xml_->GetSecureWString("config/s"), L"secure");
    EXPECT_EQ(xml_->GetString("config/none"), "");
}

TEST(TemplateSearch, FindsTheLeftmostClosedPlaceholder) {
    size_t begin = 0, end = 0;
    std::wstring key;
    ASSERT_TRUE(FindTemplatePlaceholder(L"ab[%set:x\r%]cd[%set:y%]", 0, &begin, &end, &key));
    EXPECT_EQ(begin, 14u);
    EXPECT_EQ(end, 23u);
    EXPECT_EQ(key, L"y");
    EXPECT_FALSE(FindTemplatePlaceholder(L"[%set:x\n%]", 0, &begin, &end, &key));
    EXPECT_FALSE(FindTemplatePlaceholder(L"[%set:", 0, &begin, &end, &key));
    // Each replacement removes a "[", so expansion ends even when values
    // rebuild placeholders (they cannot carry a "[" once encoded).
    int calls = 0;
    std::wstring out = ExpandTemplate(L"[%[%set:k%]:k%]", [&](const std::wstring&) {
        ++calls;
        return std::wstring(L"set");
    });
    EXPECT_EQ(out, L"set");
    EXPECT_EQ(calls, 2);
}

}  // namespace
