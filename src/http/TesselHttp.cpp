#include "http/TesselHttp.h"

#include <openssl/crypto.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "host/IConfig.h"
#include "host/Util.h"
#include "host/WinApi.h"
#include "http/StagedFile.h"
#include "http/UrlUtil.h"
#include "http/XmlConfig.h"
#include "kit/http_client/http_client_ptr.h"
#include "kit/http_client/http_text.h"
#include "kit/tessel_client/tessel_fetch_policy.h"

namespace {

constexpr char kBoundaryPrefix[] = "---------------------------";
// The bound of a policy download: the kit's own for a transfer it is not told
// how to end.
constexpr uint64_t kPolicyTransferMs = 15000;
// Download limits: a policy is a small document, a file may be an installer.
constexpr char kFileLimitKey[] = "config/agent/http/file_max_kib";
constexpr size_t kFileLimitDefault = size_t{1} << 30;
constexpr char kPolicyLimitKey[] = "config/agent/http/policy_max_kib";
constexpr size_t kPolicyLimitDefault = size_t{16} << 20;
// Attempts at a boundary that the multipart body does not contain.
constexpr int kBoundaryAttempts = 16;

struct HandleRelease {
    TesselHttp* http;
    void operator()(http_client_handle* handle) const { http->ReleaseHttpClientHandle(handle); }
};
using HandlePtr = std::unique_ptr<http_client_handle, HandleRelease>;
using RequestPtr = http_client_request_ptr;
using ResponsePtr = http_client_response_ptr;

const http_client_header_list kNoHeaders = {nullptr, 0};

uint64_t TickCount64() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

std::string MakeFormBoundary() {
    char digits[64];
    snprintf(digits, sizeof digits, "%04X%04X%04X%04X", rand(), rand(), rand(), rand());
    return std::string(kBoundaryPrefix) + digits;
}

// UTF-8 of a wide string through the utility library; false when it fails.
bool ToUtf8(const wchar_t* text, std::string* out) {
    char* narrow = Util::ConvertWCHARToString(text);
    if (!narrow)
        return false;
    out->assign(narrow);
    Util::FreeMem(narrow);
    return true;
}

void Wipe(std::string* secret) {
    if (!secret->empty())
        OPENSSL_cleanse(secret->data(), secret->size());
    secret->clear();
}

size_t WriteToFile(char* data, size_t size, size_t count, void* file) {
    return fwrite(data, size, count, static_cast<FILE*>(file)) * size;
}

size_t FileWrite(const void* data, size_t size, size_t count, FILE* file) { return fwrite(data, size, count, file); }

// The kit reports only the policy transfer's error (a cut or oversized body
// is one); its status is asked of the easy handle.
bool PolicyAnsweredOk(http_client_request_t* request) {
    long code = 0;
    return curl_easy_getinfo(request->curl, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code == 200;
}

// The most bytes a download of one kind may have: the configured KiB, or the
// default when the key is absent or not positive.
size_t DownloadLimit(IConfig* config, const char* key, size_t fallback) {
    const int32_t kib = config ? config->GetInt(key) : -1;
    return kib > 0 ? static_cast<size_t>(kib) << 10 : fallback;
}

// A multipart parameter value goes between double quotes: the quote and the
// line ends are percent-encoded, as form submissions encode them.
std::string QuotedFieldValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '"')
            out += "%22";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

// What one download holds until it ends: released in every case, and the
// staged file removed unless it was committed.
struct Download {
    explicit Download(const std::string& target) : file(target) {}
    HandlePtr handle{nullptr, HandleRelease{nullptr}};
    RequestPtr request;
    StagedFile file;
};

bool OpenDownload(TesselHttp* http, const char* operation, size_t limit, Download* download) {
    download->handle = HandlePtr(http->GetHttpClientHandle(), HandleRelease{http});
    if (!download->handle) {
        error("TesselHttp::%s: Failed to get client handle", operation);
        return false;
    }
    download->request.reset(http_client_request_new(download->handle.get(), &kNoHeaders));
    if (!download->request || http_client_request_set_body_limit(download->request.get(), limit) != HTTP_CLIENT_OK) {
        error("TesselHttp::%s: Failed to create http request", operation);
        return false;
    }
    if (!download->file.Open()) {
        error("TesselHttp::%s: Failed to create file %s", operation, download->file.Destination().c_str());
        return false;
    }
    return true;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool ListContains(const HttpNameValueList& list, const std::string& part) {
    for (const auto& [name, value] : list) {
        if (Contains(name, part) || Contains(value, part))
            return true;
    }
    return false;
}

}  // namespace

HttpAgentIdentity::~HttpAgentIdentity() {
    X509_free(clientCert);
    EVP_PKEY_free(clientKey);
    for (X509* cert : trustCerts)
        X509_free(cert);
}

TesselHttp::TesselHttp(IConfig* config, IHttpIdentitySource* identity, IHttpProxySource* proxies)
    : m_config(config), m_identity(identity), m_proxies(proxies) {}

TesselHttp::~TesselHttp() { ClearCredentials(); }

void TesselHttp::ClearCredentials() {
    Wipe(&m_user);
    Wipe(&m_password);
}

HRESULT TesselHttp::Init(const wchar_t* method, const wchar_t* url, HttpShutdownCallback shutdown, int reserved,
                         uint32_t timeoutMs) {
    if (!method || !url) {
        error("TesselHttp::Init: Invalid parameters");
        return E_INVALIDARG;
    }
    std::string narrowMethod, narrowUrl;
    if (!ToUtf8(method, &narrowMethod) || !ToUtf8(url, &narrowUrl)) {
        error("TesselHttp::Init: Failed to convert strings");
        return E_OUTOFMEMORY;
    }
    return Init(narrowMethod.c_str(), narrowUrl.c_str(), std::move(shutdown), reserved, timeoutMs);
}

HRESULT TesselHttp::Init(const char* method, const char* url, HttpShutdownCallback shutdown, int /*reserved*/,
                         uint32_t timeoutMs) {
    if (!method || !url) {
        error("TesselHttp::Init: Invalid parameters");
        return E_INVALIDARG;
    }
    trace(kTesselTraceCategory, "TesselHttp::Init: %s: %s", method, url);
    if (!http_text_is_token(method)) {
        error("TesselHttp::Init: The method must be a token (no control character or space)");
        return E_INVALIDARG;
    }
    if (!IsValidWebUrl(url)) {
        error("TesselHttp::Init: Invalid web path given to Init (or bad regex): [ %s ].", url);
        return TESSEL_E_INVALID_URL;
    }
    m_url = url;
    m_method = method;
    m_formBoundary = MakeFormBoundary();
    m_timeoutMs = timeoutMs;
    m_startTick = 0;
    ClearCredentials();
    m_shutdown = std::move(shutdown);
    return S_OK;
}

HRESULT TesselHttp::SetCredentials(const char* user, const char* password) {
    if (user) {
        Wipe(&m_user);
        m_user = user;
    }
    if (password) {
        Wipe(&m_password);
        m_password = password;
    }
    return S_OK;
}

HRESULT TesselHttp::AddPair(const char* method, HttpNameValueList* list, const wchar_t* name, const wchar_t* value,
                            bool encode) {
    std::string narrowName, narrowValue;
    HRESULT result = S_OK;
    if (!ToUtf8(name, &narrowName) || !ToUtf8(value, &narrowValue)) {
        error(L"TesselHttp::%s: Failed to encode %ls", method, name);
        result = E_OUTOFMEMORY;
    } else {
        if (encode) {
            narrowName = PercentEncode(narrowName);
            // A pair without a name carries a ready-made body part: kept as it is.
            if (!narrowName.empty())
                narrowValue = PercentEncode(narrowValue);
        }
        if (!m_quietValues)
            trace(kTesselTraceCategory, "TesselHttp::%s: %s: %s", method, narrowName.c_str(), narrowValue.c_str());
        list->emplace_back(std::move(narrowName), std::move(narrowValue));
    }
    trace(kTesselTraceCategory, "TesselHttp::%s: Exit (%d)", method, result);
    return result;
}

HRESULT TesselHttp::AddNameValueToMap(HttpNameValueList* list, const wchar_t* name, const wchar_t* value) {
    return AddPair("AddNameValueToMap", list, name, value, false);
}

HRESULT TesselHttp::EncodeAndAddNameValueToMap(HttpNameValueList* list, const wchar_t* name, const wchar_t* value) {
    return AddPair("EncodeAndAddNameValueToMap", list, name, value, true);
}

HRESULT TesselHttp::AddHeader(const char* method, HttpNameValueList* list, const wchar_t* name,
                              const wchar_t* value) {
    std::string narrowName, narrowValue;
    if (ToUtf8(name, &narrowName) && ToUtf8(value, &narrowValue) &&
        (!http_text_is_token(narrowName) || http_text_has_control(narrowValue))) {
        error("TesselHttp::%s: A header name must be a token and its value may hold no control character", method);
        return E_INVALIDARG;
    }
    return AddNameValueToMap(list, name, value);
}

HRESULT TesselHttp::AddSectionHeader(HttpSection* section, const wchar_t* name, const wchar_t* value) {
    trace(kTesselTraceCategory, "TesselHttp::AddSectionHeader: ENTER");
    if (!section || !name || !value) {
        error("TesselHttp::AddSectionHeader: Invalid parameters");
        return E_INVALIDARG;
    }
    return AddHeader("AddSectionHeader", &section->headers, name, value);
}

HRESULT TesselHttp::AddSectionField(HttpSection* section, const wchar_t* name, const wchar_t* value) {
    trace(kTesselTraceCategory, "TesselHttp::AddSectionField: ENTER");
    if (!section || !name || !value) {
        error("TesselHttp::AddSectionField: Invalid parameters");
        return E_INVALIDARG;
    }
    std::string narrowName;
    if (ToUtf8(name, &narrowName) && !http_text_is_token(narrowName)) {
        error("TesselHttp::AddSectionField: A field name must be a token (no control character, space or quote)");
        return E_INVALIDARG;
    }
    return AddNameValueToMap(&section->fields, name, value);
}

HRESULT TesselHttp::AddSection(HttpSection* section, const void* data, size_t size) {
    trace(kTesselTraceCategory, "TesselHttp::AddSection: ENTER");
    if (!section || !data || size == 0) {
        error("TesselHttp::AddSection: Invalid parameters");
        return E_INVALIDARG;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    m_sections.push_back(Section{section->headers, section->fields, std::vector<uint8_t>(bytes, bytes + size)});
    return S_OK;
}

HRESULT TesselHttp::GetLastModified(wchar_t** value) {
    trace(kTesselTraceCategory, "TesselHttp::GetLastModified: ENTER");
    if (!value) {
        error("TesselHttp::GetLastModified: Invalid parameters");
        return E_INVALIDARG;
    }
    auto* copy = static_cast<wchar_t*>(malloc((m_lastModified.size() + 1) * sizeof(wchar_t)));
    if (!copy)
        return E_OUTOFMEMORY;
    wmemcpy(copy, m_lastModified.c_str(), m_lastModified.size() + 1);
    *value = copy;
    return m_lastModified.empty() ? TESSEL_NOT_FOUND : S_OK;
}

HRESULT TesselHttp::AddPostNameValue(const wchar_t* name, uint64_t value) {
    return AddPostNameValue(name, std::to_wstring(value).c_str());
}

HRESULT TesselHttp::AddPostNameValue(const wchar_t* name, uint32_t value) {
    return AddPostNameValue(name, std::to_wstring(value).c_str());
}

HRESULT TesselHttp::AddPostNameValue(const wchar_t* name, const wchar_t* value) {
    trace(kTesselTraceCategory, "TesselHttp::AddPostNameValue: ENTER");
    if (!name || !value) {
        error("TesselHttp::AddPostNameValue: Invalid parameters");
        return E_INVALIDARG;
    }
    return EncodeAndAddNameValueToMap(&m_posts, name, value);
}

HRESULT TesselHttp::AddHeaderNameValue(const wchar_t* name, const wchar_t* value) {
    trace(kTesselTraceCategory, "TesselHttp::AddHeaderNameValue: ENTER");
    if (!name || !value) {
        error("TesselHttp::AddHeaderNameValue: Invalid parameters");
        return E_INVALIDARG;
    }
    return AddHeader("AddHeaderNameValue", &m_headers, name, value);
}

std::string TesselHttp::PostBody() const {
    std::string body;
    for (const auto& [name, value] : m_posts) {
        if (!body.empty())
            body += '&';
        if (!name.empty())
            body += name + '=';
        body += value;
    }
    return body;
}

bool TesselHttp::BoundaryOccursInSections() const {
    for (const Section& section : m_sections) {
        if (ListContains(section.headers, m_formBoundary) || ListContains(section.fields, m_formBoundary))
            return true;
        const auto* data = reinterpret_cast<const char*>(section.data.data());
        if (Contains(std::string(data, section.data.size()), m_formBoundary))
            return true;
    }
    return false;
}

bool TesselHttp::GenerateSections(std::string* body) {
    if (m_sections.empty()) {
        error("TesselHttp::GenerateSections: No Sections");
        return false;
    }
    // A delimiter that occurs inside a part would cut the part short at the server.
    for (int attempt = 0; BoundaryOccursInSections(); ++attempt) {
        if (attempt == kBoundaryAttempts) {
            error("TesselHttp::GenerateSections: No boundary free of the body found");
            return false;
        }
        m_formBoundary = MakeFormBoundary();
    }
    std::string out;
    for (const Section& section : m_sections) {
        out += "--" + m_formBoundary + "\r\n";
        for (size_t i = 0; i < section.headers.size(); ++i) {
            out += section.headers[i].first + ": " + section.headers[i].second;
            if (i == 0) {
                for (const auto& [name, value] : section.fields)
                    out += "; " + name + "=\"" + QuotedFieldValue(value) + "\"";
            }
            out += "\r\n";
        }
        out += "\r\n";
        if (!section.data.empty()) {
            out.append(reinterpret_cast<const char*>(section.data.data()), section.data.size());
            out += "\r\n";
        }
    }
    out += "--" + m_formBoundary + "--\r\n";
    *body = std::move(out);
    return true;
}

HRESULT TesselHttp::Perform(int32_t* status, std::string* received) {
    *status = 0;  // no answer unless one arrives
    TransferGate::Pass pass(m_gate);
    if (!pass.Entered())
        return E_FAIL;
    std::string body;
    if (m_sections.empty())
        body = PostBody();
    else if (!GenerateSections(&body))
        return E_FAIL;
    // The boundary is settled now, so the content type can name it.
    HttpNameValueList headerValues = m_headers;
    for (auto& [name, value] : headerValues) {
        if (value == "multipart/form-data")
            value += "; boundary=" + m_formBoundary;
    }
    std::vector<http_client_header> fields;
    fields.reserve(headerValues.size());
    for (const auto& [name, value] : headerValues)
        fields.push_back({name.c_str(), value.c_str()});
    http_client_header_list headers = {fields.data(), static_cast<uint32_t>(fields.size())};

    HandlePtr handle(GetHttpClientHandle(), HandleRelease{this});
    if (!handle) {
        error("TesselHttp::MakeRequest: Failed to get client handle");
        return E_FAIL;
    }
    RequestPtr request(http_client_request_new(handle.get(), &headers));
    if (!request) {
        error("TesselHttp::MakeRequest: Failed to create http request");
        return E_FAIL;
    }
    if (!m_user.empty() &&
        http_client_request_set_basic_auth(request.get(), m_user.c_str(), m_password.c_str()) != HTTP_CLIENT_OK) {
        error("TesselHttp::MakeRequest: Failed to set basic auth for user %s", m_user.c_str());
        return E_FAIL;
    }
    // Collected by the kit, within its in-memory body limit.
    if (http_client_request_set_write_mode(request.get(), HTTP_CLIENT_WRITE_MEMORY, nullptr, nullptr, ProgressThunk,
                                           this) != HTTP_CLIENT_OK) {
        error("TesselHttp::MakeRequest: Failed to set http callbacks");
        return E_FAIL;
    }
    ResponsePtr response(http_client_send_request(request.get(), m_url.c_str(), m_method.c_str(), body.data(),
                                                  static_cast<int64_t>(body.size())));
    if (!response)
        return E_FAIL;
    *status = response->status;
    if (response->body)
        received->assign(reinterpret_cast<const char*>(response->body), response->body_len);
    if (response->error == HTTP_CLIENT_ERR_TOO_LARGE)
        error("TesselHttp::MakeRequest: The response is larger than %zu bytes", request->body_limit);
    trace(kTesselTraceCategory, "TesselHttp::MakeRequest: Response [ %d ] Len [ %d ]", response->status,
          static_cast<int>(received->size()));
    return response->error == HTTP_CLIENT_OK && response->status == 200 ? S_OK : E_FAIL;
}

HRESULT TesselHttp::MakeRequest(int32_t* status, char** body) {
    if (!status || !body) {
        error("TesselHttp::MakeRequest: Invalid parameters");
        return E_INVALIDARG;
    }
    std::string received;
    HRESULT result = Perform(status, &received);
    if (!received.empty()) {
        auto* copy = static_cast<char*>(malloc(received.size() + 1));
        if (!copy)
            return E_OUTOFMEMORY;
        memcpy(copy, received.data(), received.size());
        copy[received.size()] = '\0';
        *body = copy;
    }
    return result;
}

HRESULT TesselHttp::MakeRequest(int32_t* status, wchar_t** body) {
    if (!status || !body) {
        error("TesselHttp::MakeRequest: Invalid parameters");
        return E_INVALIDARG;
    }
    std::string received;
    HRESULT result = Perform(status, &received);
    wchar_t* wide = Util::ConvertStringToWCHAR(received.c_str());
    if (!wide) {
        error("TesselHttp::MakeRequest: Failed to crate wide string");
        return E_OUTOFMEMORY;
    }
    *body = wide;
    return result;
}

HRESULT TesselHttp::MakeRequest(int32_t* status, uint32_t* length, char* buffer) {
    if (!status || !length || !buffer) {
        error("TesselHttp::MakeRequest: Invalid parameters");
        return E_INVALIDARG;
    }
    std::string received;
    HRESULT result = Perform(status, &received);
    // The body and its NUL must both fit; a zero-length buffer takes nothing.
    if (received.size() < *length) {
        memcpy(buffer, received.data(), received.size());
        buffer[received.size()] = '\0';
    }
    *length = static_cast<uint32_t>(received.size());
    return result;
}

HRESULT TesselHttp::MakeFileRequest(int32_t* status, const wchar_t* path) {
    if (!status || !path) {
        error("TesselHttp::MakeFileRequest: Invalid parameters");
        return E_INVALIDARG;
    }
    return DownloadFile(m_url.c_str(), path, status) ? S_OK : E_FAIL;
}

bool TesselHttp::DownloadFile(const char* url, const wchar_t* path, int32_t* status) {
    std::string target;
    if (!url || !*url || !path || !*path || !ToUtf8(path, &target)) {
        error("TesselHttp::DownloadFile: Invalid arguments");
        return false;
    }
    if (status)
        *status = 0;
    TransferGate::Pass pass(m_gate);
    if (!pass.Entered())
        return false;
    Download download(target);
    if (!OpenDownload(this, "DownloadFile", DownloadLimit(m_config, kFileLimitKey, kFileLimitDefault), &download))
        return false;
    if (http_client_request_set_write_mode(download.request.get(), HTTP_CLIENT_WRITE_CALLBACK, WriteToFile,
                                           download.file.File(), ProgressThunk, this) != HTTP_CLIENT_OK) {
        error("TesselHttp::DownloadFile: Failed to set http callbacks");
        return false;
    }
    ResponsePtr response(http_client_send_request(download.request.get(), url, "GET", nullptr, 0));
    if (!response)
        return false;
    if (status)
        *status = response->status;
    if (response->error == HTTP_CLIENT_ERR_TOO_LARGE)
        error("TesselHttp::DownloadFile: %s is larger than %zu bytes", url, download.request->body_limit);
    if (response->error != HTTP_CLIENT_OK || response->status != 200)
        return false;
    if (!download.file.Commit()) {
        error("TesselHttp::DownloadFile: Failed to move the download into %s", target.c_str());
        return false;
    }
    trace(kTesselTraceCategory, "TesselHttp::DownloadFile: %s Download Successfully", url);
    return true;
}

bool TesselHttp::DownloadPolicy(uint32_t fetchBits, const wchar_t* path) {
    std::string target;
    if (!path || !*path || !ToUtf8(path, &target)) {
        error("TesselHttp::DownloadPolicy: Invalid arguments");
        return false;
    }
    std::string url = GetPolicyUrl(fetchBits);
    if (url.empty()) {
        error("TesselHttp::DownloadPolicy: Policy Url is empty");
        return false;
    }
    TransferGate::Pass pass(m_gate);
    if (!pass.Entered())
        return false;
    Download download(target);
    if (!OpenDownload(this, "DownloadPolicy", DownloadLimit(m_config, kPolicyLimitKey, kPolicyLimitDefault),
                      &download))
        return false;
    PolicyWatch watch{&m_gate, TickCount64() + kPolicyTransferMs};
    int result = tessel_fetch_policy_progress(url.c_str(), fetchBits, FileWrite, download.file.File(),
                                              download.request.get(), PolicyProgress, &watch);
    trace(kTesselTraceCategory, "TesselHttp::DownloadPolicy: tessel_fetch_policy returned %d", result);
    // An error page or a cut transfer must not replace the policy the host reads.
    return result == 0 && PolicyAnsweredOk(download.request.get()) && download.file.Commit();
}

std::string TesselHttp::GetPolicyUrl(uint32_t fetchBits) {
    const char* key = nullptr;
    if (fetchBits & 0x80000000u)
        key = "config/vesta/endpoint/policy/affiliate";
    else if (fetchBits & 0x40000000u)
        key = "config/vesta/endpoint/policy/company";
    else if (fetchBits & 0x20000000u)
        key = "config/vesta/endpoint/policy/policy";
    else if (fetchBits & 0x10000000u)
        key = "config/vesta/endpoint/policy/agent";
    else {
        error("TesselHttp::GetPolicyUrl: Unknown bit fetch value");
        return {};
    }
    UrlUtil urlUtil(CreateStringUtils(), ReleaseStringUtils);
    XmlConfig xmlConfig(m_config, &urlUtil);
    std::wstring expanded = xmlConfig.GetTemplatedValue(key);
    std::string url;
    if (expanded.empty() || !ToUtf8(expanded.c_str(), &url)) {
        error(L"Failed to find/create the policy fetch path (%s), template path (%ls) from config for serial: "
              L"0x%x. Bailing.",
              key, expanded.c_str(), fetchBits);
        return {};
    }
    // The template comes with policy: it names a server, never another protocol.
    if (!IsPolicyUrl(url)) {
        error("TesselHttp::GetPolicyUrl: The policy fetch path of %s is not an https URL with a path; refused", key);
        return {};
    }
    return url;
}

http_client_handle* TesselHttp::GetHttpClientHandle() {
    HttpAgentIdentity identity;
    if (!m_identity || !m_identity->PopulateAgentIdentity(&identity)) {
        error("TesselHttp::GetHttpClientHandle: Failed to populate agent identity");
        return nullptr;
    }
    http_client_identity kitIdentity = {identity.clientCert, identity.clientKey, identity.trustCerts.data(),
                                        static_cast<uint32_t>(identity.trustCerts.size())};
    http_client_handle* handle = http_client_handle_new(identity.userAgent.c_str(), nullptr, nullptr, &kitIdentity);
    if (!handle)
        return nullptr;
    if (m_verbose)
        http_client_handle_set_verbose(handle, true);
    tessel_proxy_t proxy{};
    std::string username;
    if (m_proxies && m_proxies->LoadTesselProxy(&proxy, &username) && proxy.server[0] != '\0') {
        if (http_client_handle_set_proxy(handle, &proxy) != 0)
            error("TesselHttp::GetHttpClientHandle: tessel_registration_set_proxy failed");
        trace(kTesselTraceCategory, "TesselHttp::GetHttpClientHandle: Set Proxy %s:%d for http client", proxy.server,
              proxy.port);
    }
    return handle;
}

void TesselHttp::ReleaseHttpClientHandle(http_client_handle* handle) {
    if (handle)
        http_client_handle_free(handle);
}

bool TesselHttp::TransferProgress() {
    if (m_gate.Closed()) {
        trace(kTesselTraceCategory,
              "TesselHttp::TransferProgress: shutdown state detected, setting transfer abort conditions");
        return true;
    }
    if (m_timeoutMs != 0) {
        uint64_t now = TickCount64();
        if (m_startTick == 0)
            m_startTick = now;
        if (now - m_startTick >= m_timeoutMs) {
            trace(kTesselTraceCategory,
                  L"TesselHttp::TransferProgress Connection has timed out(timeout: %d ms), aborting transfer",
                  static_cast<int>(m_timeoutMs));
            return true;
        }
    }
    if (m_shutdown && m_shutdown()) {
        trace(kTesselTraceCategory,
              "TesselHttp::TransferProgress: shutdown state detected, setting transfer abort conditions");
        return true;
    }
    return false;
}

int TesselHttp::ProgressThunk(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    // Nothing may unwind through the transfer library: a throwing shutdown
    // callback ends the transfer.
    try {
        return static_cast<TesselHttp*>(self)->TransferProgress() ? 1 : 0;
    } catch (...) {
        return 1;
    }
}

int TesselHttp::PolicyProgress(void* watch, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* policy = static_cast<const PolicyWatch*>(watch);
    if (policy->gate->Closed()) {
        trace(kTesselTraceCategory, "TesselHttp::DownloadPolicy: shutdown state detected, aborting the download");
        return 1;
    }
    return TickCount64() >= policy->deadline ? 1 : 0;
}
