// The HTTP facade: form posts, multipart uploads, file and policy downloads
// over the kit's HTTP client, with the agent's identity, User-Agent and the
// proxy stored at the moment of each request.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dtk/IHttp.h"
#include "http/TransferGate.h"
#include "kit/http_client/http_client.h"

class IConfig;

// The TLS identity and User-Agent of a new client handle. The certificate, key
// and trust certificates are references the record releases.
struct HttpAgentIdentity {
    std::string userAgent;
    X509* clientCert = nullptr;
    EVP_PKEY* clientKey = nullptr;
    std::vector<X509*> trustCerts;

    HttpAgentIdentity() = default;
    ~HttpAgentIdentity();
    HttpAgentIdentity(const HttpAgentIdentity&) = delete;
    HttpAgentIdentity& operator=(const HttpAgentIdentity&) = delete;
};

// Where the agent's identity comes from (the configuration reader).
class IHttpIdentitySource {
public:
    virtual ~IHttpIdentitySource() = default;
    // Fills the User-Agent (non-empty) and the identity; false when it cannot.
    virtual bool PopulateAgentIdentity(HttpAgentIdentity* identity) = 0;
};

// Where the current proxy comes from (the proxy helper).
class IHttpProxySource {
public:
    virtual ~IHttpProxySource() = default;
    // The stored proxy as the kit's record; `username` holds the text that
    // proxy->username points to. False when none can be loaded.
    virtual bool LoadTesselProxy(tessel_proxy_t* proxy, std::string* username) = 0;
};

class TesselHttp : public ITesselHttp, public IHttp {
public:
    // None is owned; `proxies` may be null (always a direct connection).
    TesselHttp(IConfig* config, IHttpIdentitySource* identity, IHttpProxySource* proxies);
    ~TesselHttp() override;
    TesselHttp(const TesselHttp&) = delete;
    TesselHttp& operator=(const TesselHttp&) = delete;

    // ITesselHttp
    bool DownloadPolicy(uint32_t fetchBits, const wchar_t* path) override;
    bool DownloadFile(const char* url, const wchar_t* path, int32_t* status) override;
    http_client_handle* GetHttpClientHandle() override;
    void ReleaseHttpClientHandle(http_client_handle* handle) override;

    // IHttp
    HRESULT Init(const wchar_t* method, const wchar_t* url, HttpShutdownCallback shutdown, int reserved,
                 uint32_t timeoutMs) override;
    HRESULT Init(const char* method, const char* url, HttpShutdownCallback shutdown, int reserved,
                 uint32_t timeoutMs) override;
    HRESULT MakeRequest(int32_t* status, char** body) override;
    HRESULT MakeRequest(int32_t* status, wchar_t** body) override;
    HRESULT MakeRequest(int32_t* status, uint32_t* length, char* buffer) override;
    HRESULT MakeFileRequest(int32_t* status, const wchar_t* path) override;
    HRESULT AddSectionHeader(HttpSection* section, const wchar_t* name, const wchar_t* value) override;
    HRESULT AddSectionField(HttpSection* section, const wchar_t* name, const wchar_t* value) override;
    HRESULT AddSection(HttpSection* section, const void* data, size_t size) override;
    HRESULT GetLastModified(wchar_t** value) override;
    HRESULT AddPostNameValue(const wchar_t* name, uint64_t value) override;
    HRESULT AddPostNameValue(const wchar_t* name, uint32_t value) override;
    HRESULT AddPostNameValue(const wchar_t* name, const wchar_t* value) override;
    HRESULT AddHeaderNameValue(const wchar_t* name, const wchar_t* value) override;
    HRESULT SetCredentials(const char* user, const char* password) override;
    void SetVerboseLogging(bool verbose) override { m_verbose = verbose; }
    void SetQuietValues(bool quiet) override { m_quietValues = quiet; }

    // Aborts every transfer of this object now and refuses new ones; returns
    // once none runs (within about a second). The instance calls it first at
    // teardown, so a policy download on a cloud worker cannot hold it up.
    void Shutdown() { m_gate.Close(); }

    // The policy URL for the fetch bits, "" when the bits or the template do not give one.
    std::string GetPolicyUrl(uint32_t fetchBits);
    // The boundary of the multipart body made at Init (or since, when the
    // body contained it).
    const std::string& FormBoundary() const { return m_formBoundary; }

private:
    struct Section {
        HttpNameValueList headers;
        HttpNameValueList fields;
        std::vector<uint8_t> data;
    };

    HRESULT Perform(int32_t* status, std::string* body);
    std::string PostBody() const;
    bool GenerateSections(std::string* body);
    bool BoundaryOccursInSections() const;
    // Names and values go in as UTF-8; `encode` percent-encodes them (form pairs).
    HRESULT AddPair(const char* method, HttpNameValueList* list, const wchar_t* name, const wchar_t* value,
                    bool encode);
    HRESULT AddNameValueToMap(HttpNameValueList* list, const wchar_t* name, const wchar_t* value);
    // A header field (request or section): refused unless the name is a token
    // and the value holds no control character.
    HRESULT AddHeader(const char* method, HttpNameValueList* list, const wchar_t* name, const wchar_t* value);
    HRESULT EncodeAndAddNameValueToMap(HttpNameValueList* list, const wchar_t* name, const wchar_t* value);
    // True aborts the running transfer (time-out reached or shutdown asked).
    bool TransferProgress();
    static int ProgressThunk(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    // The policy download's progress: no caller's time-out applies, so it is
    // bounded here, and it ends at Shutdown.
    struct PolicyWatch {
        const TransferGate* gate;
        uint64_t deadline;
    };
    static int PolicyProgress(void* watch, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    void ClearCredentials();

    IConfig* m_config;
    IHttpIdentitySource* m_identity;
    IHttpProxySource* m_proxies;
    std::wstring m_lastModified;
    std::string m_formBoundary;
    std::string m_url;
    std::string m_method;
    std::string m_user;
    std::string m_password;
    HttpShutdownCallback m_shutdown;
    HttpNameValueList m_headers;
    HttpNameValueList m_posts;
    std::vector<Section> m_sections;
    uint32_t m_timeoutMs = 0;
    uint64_t m_startTick = 0;
    bool m_verbose = false;
    bool m_quietValues = false;
    TransferGate m_gate;
};
