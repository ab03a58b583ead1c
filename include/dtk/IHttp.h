// HTTP(S) requests with the library's identity, User-Agent and current proxy.
//
// IHttp is the request builder the instance hands to the host (CreateHttp /
// ReleaseHttp): Init, any number of Add operations, one MakeRequest or
// MakeFileRequest, then release. ITesselHttp holds the library's own
// operations (policy and file downloads, kit client handles).
//
// Threads: one builder serves one request, used by one thread at a time; any
// number of builders may run at once on different threads. Every call runs on
// the caller's thread, MakeRequest and MakeFileRequest for the whole transfer
// (each bounded by its time-out and size limit). Builders must be released
// before the instance is given back; DeinitTesselWrapper aborts transfers
// still running. Strings passed in are copied; strings passed out are the
// caller's to free as each comment says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#ifndef _HRESULT_DEFINED
#define _HRESULT_DEFINED
typedef int32_t HRESULT;
#endif
#ifndef S_OK
#define S_OK ((HRESULT)0)
#endif
#ifndef E_FAIL
#define E_FAIL ((HRESULT)0x80004005)
#endif
#ifndef E_INVALIDARG
#define E_INVALIDARG ((HRESULT)0x80070057)
#endif
#ifndef E_OUTOFMEMORY
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#endif
// Init was given a URL that is not an http or https URL with a path.
constexpr HRESULT TESSEL_E_INVALID_URL = static_cast<HRESULT>(0xC1030002);
// GetLastModified: no value is held.
constexpr HRESULT TESSEL_NOT_FOUND = 1168;

struct http_client_handle;

// Asked during transfers; true aborts the transfer (the host is shutting down).
using HttpShutdownCallback = std::function<bool()>;

using HttpNameValueList = std::vector<std::pair<std::string, std::string>>;

// The caller's description of one multipart section: filled through
// AddSectionHeader / AddSectionField and handed to AddSection, which stores a
// copy (so the record may be reused). Names and values are UTF-8.
struct HttpSection {
    HttpNameValueList headers;
    HttpNameValueList fields;
};

class IHttp {
public:
    virtual ~IHttp() = default;
    // Every request begins here; `reserved` is ignored, `timeoutMs` 0 means
    // no time limit. TESSEL_E_INVALID_URL for a URL that is not http(s) with a path.
    virtual HRESULT Init(const wchar_t* method, const wchar_t* url, HttpShutdownCallback shutdown, int reserved,
                         uint32_t timeoutMs) = 0;
    virtual HRESULT Init(const char* method, const char* url, HttpShutdownCallback shutdown, int reserved,
                         uint32_t timeoutMs) = 0;
    // S_OK when the server answered 200. The body forms: a NUL-terminated copy
    // (released with free; left untouched when the body is empty); a wide copy
    // (released with free); or the caller's buffer of *length bytes, filled with
    // the body and a NUL only when both fit, *length always set to the body length.
    virtual HRESULT MakeRequest(int32_t* status, char** body) = 0;
    virtual HRESULT MakeRequest(int32_t* status, wchar_t** body) = 0;
    virtual HRESULT MakeRequest(int32_t* status, uint32_t* length, char* buffer) = 0;
    // Downloads the Init URL into `path`: S_OK on success, else E_FAIL.
    virtual HRESULT MakeFileRequest(int32_t* status, const wchar_t* path) = 0;
    // A header or a Content-Disposition field of a multipart section the caller
    // holds; E_INVALIDARG for control characters in a header.
    virtual HRESULT AddSectionHeader(HttpSection* section, const wchar_t* name, const wchar_t* value) = 0;
    virtual HRESULT AddSectionField(HttpSection* section, const wchar_t* name, const wchar_t* value) = 0;
    // Adds the section with `size` bytes of `data` (both copied) to the body.
    virtual HRESULT AddSection(HttpSection* section, const void* data, size_t size) = 0;
    // A newly allocated copy (free); TESSEL_NOT_FOUND when no value is held.
    virtual HRESULT GetLastModified(wchar_t** value) = 0;
    // Form fields of the body, percent-encoded; numbers are sent in decimal.
    virtual HRESULT AddPostNameValue(const wchar_t* name, uint64_t value) = 0;
    virtual HRESULT AddPostNameValue(const wchar_t* name, uint32_t value) = 0;
    virtual HRESULT AddPostNameValue(const wchar_t* name, const wchar_t* value) = 0;
    // A request header; E_INVALIDARG for a name that is not a token or a value
    // with control characters.
    virtual HRESULT AddHeaderNameValue(const wchar_t* name, const wchar_t* value) = 0;
    // Basic authentication; a null argument leaves that value unchanged.
    virtual HRESULT SetCredentials(const char* user, const char* password) = 0;
    // Traces the transfer's progress (never credentials).
    virtual void SetVerboseLogging(bool verbose) = 0;
    // Keeps header and form values out of the trace.
    virtual void SetQuietValues(bool quiet) = 0;
};

class ITesselHttp {
public:
    virtual ~ITesselHttp() = default;
    // The policy chosen by the fetch bits, written to `path` only when it
    // arrived whole.
    virtual bool DownloadPolicy(uint32_t fetchBits, const wchar_t* path) = 0;
    // GET `url` into `path` (replaced only on success); the HTTP status goes to *status.
    virtual bool DownloadFile(const char* url, const wchar_t* path, int32_t* status) = 0;
    // A kit client handle with the agent's identity and the stored proxy, or null.
    virtual http_client_handle* GetHttpClientHandle() = 0;
    virtual void ReleaseHttpClientHandle(http_client_handle* handle) = 0;
};
