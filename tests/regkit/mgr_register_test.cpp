// The management registration post against the testbed's management server.
#include <cstring>
#include <string>

#include "kit/http_client/http_client_ptr.h"
#include "kit/tessel_client/register.h"
#include "regkit/mgr_fixture.h"

namespace mgr_test {
namespace {

class RegisterEndpoint : public MgrFixture {
protected:
    using HttpClientPtr = http_client_handle_ptr;
    void SetUp() override {
        MgrFixture::SetUp();
        start_management();
        http_ = client_handle(&pki().client());
        snprintf(info_.agent_guid, sizeof info_.agent_guid, "%s", kAgentText);
        snprintf(info_.business_guid, sizeof info_.business_guid, "%s", kBusinessText);
        snprintf(info_.affiliate_guid, sizeof info_.affiliate_guid, "%s", kAffiliateText);
        snprintf(info_.mgmt_url, sizeof info_.mgmt_url, "%s", management_.base_url().c_str());
        fill_host_records(&registration_info_, &host_info_);
    }

    int post(const char* token = kActcodeText) {
        return register_endpoint(&info_, &host_info_, &registration_info_, token, &status_, http_.get());
    }

    // A kit HTTP client trusting the test CA, presenting `identity` when given.
    static HttpClientPtr client_handle(const testbed::Credential* identity) {
        X509* roots[1] = {pki().ca().cert()};
        http_client_identity id = {identity ? identity->x509() : nullptr, identity ? identity->pkey() : nullptr, roots,
                                   1};
        return HttpClientPtr(http_client_handle_new("dtk-mgr-test/1.0", nullptr, nullptr, &id));
    }

    HttpClientPtr http_;
    vesta_info info_ {};
    vesta_registration_info registration_info_ {};
    vesta_host_info host_info_ {};
    uint32_t status_ = 0;
};

TEST_F(RegisterEndpoint, PostsEveryFieldInOrderOverMutualTls) {
    ASSERT_EQ(post(), VESTA_REGISTER_OK) << log_.dump();
    EXPECT_EQ(status_, 200u);
    auto posts = management_.posts();
    ASSERT_EQ(posts.size(), 1u);
    const testbed::ManagementPost& p = posts[0];
    EXPECT_EQ(p.path, "/mgmt/register");
    EXPECT_EQ(p.client_subject, pki().client().subject());
    EXPECT_EQ(p.content_type, "application/x-www-form-urlencoded");
    const testbed::FormFields expected = {
        {"affiliate_guid", kAffiliateText},
        {"agent_guid", kAgentText},
        {"business_guid", kBusinessText},
        {"hostname", "endpoint-7.example"},
        {"itoken", kActcodeText},
        {"os[name]", "Test OS & Friends 11"},
        {"os[build]", "0"},
        {"nics[0][friendly_name]", "Ethernet 0"}, {"nics[0][ip]", "10.0.0.1"},
        {"nics[0][ipv6]", "fe80::1"}, {"nics[0][mac]", "00:11:22:33:44:00"},
        {"nics[1][friendly_name]", "Ethernet 1"}, {"nics[1][ip]", "10.0.0.2"},
        {"nics[1][ipv6]", "fe80::2"}, {"nics[1][mac]", "00:11:22:33:44:01"},
        {"nics[2][friendly_name]", "Ethernet 2"}, {"nics[2][ip]", "10.0.0.3"},
        {"nics[2][ipv6]", "fe80::3"}, {"nics[2][mac]", "00:11:22:33:44:02"},
    };
    EXPECT_EQ(p.fields, expected);
    // libcurl's escaping: brackets and blanks are percent-encoded, numbers are not.
    EXPECT_NE(p.body.find("&os%5Bbuild%5D=0&"), std::string::npos) << p.body;
    EXPECT_NE(p.body.find("Test%20OS%20%26%20Friends%2011"), std::string::npos) << p.body;
    // The two entries left out are named in the log; the body line masks the token.
    EXPECT_TRUE(log_.contains("failed to insert key value pair 2 (key: empty), type: 0"));
    EXPECT_TRUE(log_.contains("failed to insert key value pair 3 (key: odd), type: 7"));
    EXPECT_TRUE(log_.contains(7, "Registering with QRV for endpoints " + management_.base_url() + "/register: "));
    EXPECT_TRUE(log_.contains("itoken=*****&"));
}

TEST_F(RegisterEndpoint, UrlRuleTokenAndAdapterCount) {
    // A base URL ending in a slash gets "register" without a second slash.
    snprintf(info_.mgmt_url, sizeof info_.mgmt_url, "%s/", management_.base_url().c_str());
    host_info_.nic_count = 0;
    ASSERT_EQ(post(nullptr), VESTA_REGISTER_OK);
    auto posts = management_.posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].path, "/mgmt/register");
    EXPECT_FALSE(posts[0].has("itoken"));
    EXPECT_FALSE(posts[0].has("nics[0][ip]"));
    EXPECT_EQ(posts[0].fields.size(), 6u);
}

TEST_F(RegisterEndpoint, ServerStatusesAndRefusedArguments) {
    management_.script({403, 500});
    EXPECT_EQ(post(), VESTA_REGISTER_HTTP_STATUS);
    EXPECT_EQ(status_, 403u);
    EXPECT_EQ(post(), VESTA_REGISTER_HTTP_STATUS);
    EXPECT_EQ(status_, 500u);
    EXPECT_TRUE(log_.contains("Registration failed (HTTP code: 500)"));
    EXPECT_EQ(management_.post_count(), 2u);

    // Nothing is sent for a bad request.
    EXPECT_EQ(register_endpoint(&info_, &host_info_, &registration_info_, nullptr, &status_, nullptr),
              VESTA_REGISTER_MISSING_ARGUMENT);
    vesta_info bad = info_;
    bad.agent_guid[35] = '\0';
    EXPECT_EQ(register_endpoint(&bad, &host_info_, &registration_info_, nullptr, &status_, http_.get()),
              VESTA_REGISTER_INVALID_ARGUMENT);
    EXPECT_TRUE(log_.contains("Invalid guid detected."));
    bad = info_;
    bad.mgmt_url[0] = '\0';
    EXPECT_EQ(register_endpoint(&bad, &host_info_, &registration_info_, nullptr, &status_, http_.get()),
              VESTA_REGISTER_INVALID_ARGUMENT);
    bad = info_;
    memset(bad.mgmt_url, 'h', sizeof bad.mgmt_url - 1);
    bad.mgmt_url[sizeof bad.mgmt_url - 1] = '\0';
    EXPECT_EQ(register_endpoint(&bad, &host_info_, &registration_info_, nullptr, &status_, http_.get()),
              VESTA_REGISTER_INVALID_ARGUMENT);
    EXPECT_TRUE(log_.contains("mgmt URL is too long"));
    EXPECT_EQ(management_.post_count(), 2u);
}

TEST_F(RegisterEndpoint, WithoutClientCertificateTheServerRefuses) {
    HttpClientPtr anonymous = client_handle(nullptr);
    EXPECT_EQ(register_endpoint(&info_, &host_info_, &registration_info_, kActcodeText, &status_, anonymous.get()),
              VESTA_REGISTER_HTTP_STATUS);
    EXPECT_EQ(status_, 0u);
    EXPECT_EQ(management_.post_count(), 0u);
    EXPECT_GE(management_.failed_handshakes(), 1);
}

TEST_F(RegisterEndpoint, OverlongBodyEndsAtTheLastCompletePair) {
    // Values of 54 blanks escape to 162 bytes each: the adapters overflow 2048.
    for (auto& nic : host_info_.nics) {
        memset(nic.friendly_name, ' ', 54);
        nic.friendly_name[54] = '\0';
    }
    for (uint32_t i = 0; i < 12; ++i) {
        vesta_registration_entry& e = registration_info_.entries[registration_info_.count++];
        snprintf(e.key, sizeof e.key, "pad%u", i);
        e.type = VESTA_ENTRY_TEXT;
        memset(e.value, 'x', 100);
    }
    char whole[8192];
    ASSERT_EQ(register_compose_body(whole, sizeof whole, &info_, &host_info_, &registration_info_, kActcodeText),
              VESTA_REGISTER_OK);
    char body[VESTA_FORM_BODY_SIZE];
    ASSERT_EQ(register_compose_body(body, sizeof body, &info_, &host_info_, &registration_info_, kActcodeText),
              VESTA_REGISTER_OK);
    const std::string full(whole), cut(body);
    ASSERT_GT(full.size(), 2048u);
    ASSERT_LE(cut.size(), 2048u);
    // A prefix of the whole body that stops right before a pair separator.
    EXPECT_EQ(full.compare(0, cut.size(), cut), 0);
    EXPECT_EQ(full[cut.size()], '&');
    // The pair that did not fit ends the body even if a later one would fit.
    EXPECT_TRUE(log_.contains("unable to format value"));
    EXPECT_EQ(cut.find("nics%5B2%5D%5Bmac%5D"), std::string::npos);

    ASSERT_EQ(post(), VESTA_REGISTER_OK);
    EXPECT_EQ(management_.posts().at(0).body, cut);
}

}  // namespace
}  // namespace mgr_test
