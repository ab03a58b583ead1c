// policy, http and proxy: downloads, requests and the proxy through the
// library's HTTP facade and proxy operations.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "agent_commands.h"
#include "dtk/IHttp.h"
#include "dtk/ProxyInfo.h"
#include "failure_text.h"
#include "json_text.h"
#include "library.h"
#include "progress.h"
#include "wide_text.h"

namespace agent {
namespace {

constexpr uint32_t kPolicyFetchBit = 0x20000000u;
constexpr uint32_t kSerialMask = 0x0FFFFFFFu;
constexpr uint32_t kRequestTimeoutMs = 60000;

bool IsHttpsUrl(const std::string& url) {
    return url.size() > 8 && strncasecmp(url.c_str(), "https://", 8) == 0 && url.find_first_of(" \t\r\n") == std::string::npos;
}

// Transfers end early when SIGINT or SIGTERM arrives.
bool ShutdownRequested() {
    Signals::Wait(0);
    return Signals::Stopping();
}

// An IHttp from the instance, given back when it goes.
class HttpRequest {
public:
    explicit HttpRequest(ITesselInstance* instance) : m_instance(instance), m_http(instance->CreateHttp()) {}
    ~HttpRequest() {
        if (m_http)
            m_instance->ReleaseHttp(m_http);
    }
    IHttp* operator->() const { return m_http; }
    explicit operator bool() const { return m_http != nullptr; }

private:
    ITesselInstance* m_instance;
    IHttp* m_http;
};

// The cause the library logged for this thread's last failure, else `fallback`.
std::string CauseOr(const std::string& fallback) {
    std::string cause = TakeFailureCause();
    return cause.empty() ? fallback : cause;
}

int RequestFailed(const std::string& url, HRESULT result, int32_t status) {
    if (status > 0)
        fprintf(stderr, "dtk-agent: %s answered HTTP %d\n", url.c_str(), status);
    else
        fprintf(stderr, "dtk-agent: %s could not be reached: %s\n", url.c_str(), CauseOr(HresultWords(result)).c_str());
    return kExitFailed;
}

int PrintBody(const std::string& url, IHttp* http) {
    int32_t status = 0;
    char* body = nullptr;
    HRESULT result = http->MakeRequest(&status, &body);
    if (result != S_OK) {
        free(body);
        return RequestFailed(url, result, status);
    }
    if (body)
        fputs(body, Out());
    free(body);
    return kExitOk;
}

// How much of a download has arrived. The library writes it to a temporary
// file beside the destination, "<destination>.part" and six more characters,
// and moves that into place only when it arrived whole.
class DownloadWatch {
public:
    explicit DownloadWatch(const std::string& destination) {
        const std::string::size_type slash = destination.rfind('/');
        m_directory = slash == std::string::npos ? "." : destination.substr(0, slash + 1);
        m_prefix = (slash == std::string::npos ? destination : destination.substr(slash + 1)) + ".part";
    }

    uint64_t Received() {
        struct stat info {};
        if (m_staged.empty() || stat(m_staged.c_str(), &info) != 0)
            m_staged = FindStaged();
        return !m_staged.empty() && stat(m_staged.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    }

private:
    std::string FindStaged() const {
        struct CloseDir {
            void operator()(DIR* dir) const { closedir(dir); }
        };
        std::unique_ptr<DIR, CloseDir> dir(opendir(m_directory.c_str()));
        for (dirent* entry = dir ? readdir(dir.get()) : nullptr; entry; entry = readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name.size() == m_prefix.size() + kSuffixLength && name.compare(0, m_prefix.size(), m_prefix) == 0)
                return (m_directory == "." ? "" : m_directory) + name;
        }
        return "";
    }

    static constexpr size_t kSuffixLength = 6;
    std::string m_directory;
    std::string m_prefix;
    std::string m_staged;
};

// A private directory for a body on its way to standard output (bodies may
// be binary and large, so they go through a file, not a string).
class ScratchDirectory {
public:
    explicit ScratchDirectory(bool wanted) {
        if (!wanted)
            return;
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/dtk-agent-XXXXXX";
        if (mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

bool CopyToOutput(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> in(fopen(path.c_str(), "rb"), fclose);
    char buffer[1 << 16];
    size_t n = 0;
    while (in && (n = fread(buffer, 1, sizeof buffer, in.get())) > 0)
        if (fwrite(buffer, 1, n, Out()) != n)
            return false;
    return in && !ferror(in.get()) && fflush(Out()) == 0;
}

int HttpGet(ITesselInstance* instance, const std::string& url, const std::string& out, bool showProgress) {
    HttpRequest http(instance);
    if (!http) {
        fprintf(stderr, "dtk-agent: the library offers no HTTP requests\n");
        return kExitFailed;
    }
    ScratchDirectory scratch(out.empty());
    if (out.empty() && scratch.Path().empty()) {
        fprintf(stderr, "dtk-agent: cannot create a temporary directory: %s\n", strerror(errno));
        return kExitFailed;
    }
    const std::string target = out.empty() ? scratch.Path() + "/body" : out;
    // Asked by the transfer as data arrives, which is when the progress moves.
    DownloadWatch watch(target);
    Progress progress(Progress::Unit::Bytes, 0, showProgress);
    auto duringTransfer = [&] {
        progress.Update(watch.Received());
        return ShutdownRequested();
    };
    HRESULT result = http->Init("GET", url.c_str(), duringTransfer, 0, kRequestTimeoutMs);
    if (result != S_OK)
        return Usage("not a URL the library accepts: " + url);
    int32_t status = 0;
    result = http->MakeFileRequest(&status, Widen(target).c_str());
    progress.Finish();
    if (result != S_OK)
        return RequestFailed(url, result, status);
    if (out.empty()) {
        if (CopyToOutput(target))
            return kExitOk;
        fprintf(stderr, "dtk-agent: cannot write the body to standard output: %s\n", strerror(errno));
        return kExitFailed;
    }
    fprintf(Out(), "HTTP %d, saved to %s\n", status, out.c_str());
    return kExitOk;
}

int HttpPost(ITesselInstance* instance, const std::string& url,
             const std::vector<std::pair<std::string, std::string>>& fields) {
    HttpRequest http(instance);
    if (!http) {
        fprintf(stderr, "dtk-agent: the library offers no HTTP requests\n");
        return kExitFailed;
    }
    if (http->Init("POST", url.c_str(), ShutdownRequested, 0, kRequestTimeoutMs) != S_OK)
        return Usage("not a URL the library accepts: " + url);
    for (const auto& [name, value] : fields)
        if (http->AddPostNameValue(Widen(name).c_str(), Widen(value).c_str()) != S_OK) {
            fprintf(stderr, "dtk-agent: cannot add the field %s\n", name.c_str());
            return kExitFailed;
        }
    return PrintBody(url, http.operator->());
}

// ---- proxy --------------------------------------------------------------------------------------

const char* SourceName(int32_t mode) {
    switch (mode) {
        case ProxyInfo::kDirect: return "direct";
        case ProxyInfo::kSystem: return "system";
        case ProxyInfo::kConfigured: return "configured";
        case ProxyInfo::kPacFile: return "PAC file";
        case ProxyInfo::kWpadDhcp: return "WPAD (DHCP)";
        case ProxyInfo::kWpadDns: return "WPAD (DNS)";
        default: return "unknown";
    }
}

// One line, never the password.
std::string Describe(const ProxyInfo& proxy) {
    if (proxy.server.empty())
        return "direct connection";
    std::string text = Narrow(proxy.type.empty() ? L"http_proxy" : proxy.type) + " " + Narrow(proxy.server) + ":" +
                       std::to_string(proxy.port);
    if (!proxy.user.empty())
        text += ", user " + Narrow(proxy.user) + (proxy.password.empty() ? "" : ", password set");
    return text;
}

struct Scheme {
    const char* prefix;
    const wchar_t* type;
    uint16_t defaultPort;
};
constexpr Scheme kSchemes[] = {
    {"http://", L"http_proxy", 8080}, {"https://", L"https", 443},     {"socks4://", L"socks4", 1080},
    {"socks4a://", L"socks4a", 1080}, {"socks5://", L"socks5", 1080}, {"socks5h://", L"socks5_hostname", 1080},
};

// "scheme://host[:port]" into a configured proxy; false with the reason.
bool ParseProxyUrl(const std::string& url, ProxyInfo* proxy, std::string* why) {
    const Scheme* scheme = nullptr;
    for (const Scheme& candidate : kSchemes)
        if (url.compare(0, strlen(candidate.prefix), candidate.prefix) == 0)
            scheme = &candidate;
    if (!scheme) {
        *why = "a proxy URL begins with http://, https://, socks4://, socks4a://, socks5:// or socks5h://";
        return false;
    }
    std::string rest = url.substr(strlen(scheme->prefix));
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.find('@') != std::string::npos) {
        *why = "proxy credentials are not taken on the command line (they would show in the process list)";
        return false;
    }
    std::string host = rest;
    long port = scheme->defaultPort;
    std::string::size_type colon = rest.rfind(':');
    if (colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
        host = rest.substr(0, colon);
        std::string digits = rest.substr(colon + 1);
        char* end = nullptr;
        port = strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || port < 1 || port > 65535) {
            *why = "the port must be a number from 1 to 65535";
            return false;
        }
    }
    if (host.empty() || host.find_first_of("/?# ") != std::string::npos) {
        *why = "the proxy URL names no host";
        return false;
    }
    proxy->type = scheme->type;
    proxy->server = Widen(host);
    proxy->port = static_cast<uint16_t>(port);
    proxy->discoveryMode = ProxyInfo::kConfigured;
    return true;
}

constexpr const char* kProxyRecordKeys[] = {"config/proxy/type",     "config/proxy/server",   "config/proxy/port",
                                            "config/proxy/tunnel",   "config/proxy/authtype", "config/proxy/discmode",
                                            "config/proxy/username", "config/proxy/password"};

bool ClearProxyRecord(hostkit::ConfigStore* store) {
    for (const char* key : kProxyRecordKeys)
        if (!store->DeleteKey(hostkit::ConfigView::Local, key))
            return false;
    return true;
}

bool SaveConfiguredProxy(hostkit::ConfigStore* store, const ProxyInfo& proxy) {
    return store->RunTransaction([&] {
        return ClearProxyRecord(store) && store->SetString("config/proxy/type", Narrow(proxy.type).c_str(), true) &&
               store->SetString("config/proxy/server", Narrow(proxy.server).c_str(), true) &&
               store->SetInt("config/proxy/port", proxy.port, true) &&
               store->SetInt("config/proxy/discmode", ProxyInfo::kConfigured, true);
    });
}

// "works", or "fails: <cause>" with the cause the test's transfer ran into
// (the caller takes it with TakeFailureCause() whatever the result).
std::string TestVerdict(bool works, const std::string& cause) {
    return works ? "works" : cause.empty() ? "fails" : "fails: " + cause;
}

// The proxy as a JSON object (never its password).
JsonObject ProxyJson(const ProxyInfo* proxy) {
    JsonObject object;
    object.String("proxy", proxy ? Describe(*proxy) : "direct connection");
    object.String("source", proxy ? SourceName(proxy->discoveryMode) : "direct");
    object.String("type", proxy ? Narrow(proxy->type) : "");
    object.String("server", proxy ? Narrow(proxy->server) : "");
    object.Number("port", proxy ? proxy->port : 0);
    object.String("user", proxy ? Narrow(proxy->user) : "");
    object.Bool("password_set", proxy && !proxy->password.empty());
    return object;
}

int ProxyShow(ITesselInstance* instance, bool json) {
    ProxyInfo* proxy = instance->LoadProxyInfo();
    if (json)
        fprintf(Out(), "%s\n", ProxyJson(proxy).Text().c_str());
    else if (!proxy)
        fprintf(Out(), "proxy: none saved (direct connection)\n");
    else
        fprintf(Out(), "proxy: %s (found by: %s)\n", Describe(*proxy).c_str(), SourceName(proxy->discoveryMode));
    if (proxy)
        instance->ReleaseProxyInfo(proxy);
    return kExitOk;
}

int ProxyDiscover(Session* session, bool save, bool json) {
    ITesselInstance* instance = session->Instance();
    ProxyInfoList candidates;
    instance->DiscoverProxies(&candidates);
    if (candidates.empty()) {
        fprintf(stderr, "dtk-agent: discovery found no candidate\n");
        return kExitFailed;
    }
    const ProxyInfo* first = nullptr;
    for (const ProxyInfo& candidate : candidates) {
        bool works = instance->TestProxy(&candidate, session->Store());
        // Taken either way, so that no cause outlives the test that logged it.
        std::string cause = TakeFailureCause();
        if (works)
            cause.clear();
        if (json) {
            JsonObject line = ProxyJson(&candidate);
            line.Bool("works", works);
            if (!cause.empty())
                line.String("cause", cause);
            fprintf(Out(), "%s\n", line.Text().c_str());
        } else {
            fprintf(Out(), "%-12s %-40s %s\n", SourceName(candidate.discoveryMode), Describe(candidate).c_str(),
                    TestVerdict(works, cause).c_str());
        }
        fflush(Out());
        if (works && !first)
            first = &candidate;
    }
    if (!first) {
        fprintf(stderr, "dtk-agent: no candidate reached the test URL\n");
        return kExitFailed;
    }
    if (!json)
        fprintf(Out(), "chosen: %s (%s)\n", Describe(*first).c_str(), SourceName(first->discoveryMode));
    const bool saved = save && instance->DiscoverAndSaveProxy();
    if (json) {
        JsonObject chosen = ProxyJson(first);
        chosen.Bool("chosen", true);
        chosen.Bool("saved", saved);
        fprintf(Out(), "%s\n", chosen.Text().c_str());
    }
    if (save && !saved) {
        fprintf(stderr, "dtk-agent: the discovered proxy could not be saved\n");
        return kExitFailed;
    }
    if (save && !json)
        fprintf(Out(), "saved\n");
    return kExitOk;
}

int ProxyTest(Session* session, const std::string& url) {
    ITesselInstance* instance = session->Instance();
    ProxyInfo parsed;
    ProxyInfo* proxy = &parsed;
    if (!url.empty()) {
        std::string why;
        if (!ParseProxyUrl(url, &parsed, &why))
            return Usage(why);
    } else if (!(proxy = instance->LoadProxyInfo())) {
        proxy = &parsed;
    }
    bool works = instance->TestProxy(proxy, session->Store());
    const std::string cause = TakeFailureCause();
    fprintf(Out(), "%s: %s\n", Describe(*proxy).c_str(), TestVerdict(works, cause).c_str());
    if (proxy != &parsed)
        instance->ReleaseProxyInfo(proxy);
    return works ? kExitOk : kExitFailed;
}

}  // namespace

int Policy(const Options& options, const PolicyArgs& args) {
    std::string out = args.out;
    long serial = args.serial;
    int code = kExitOk;
    std::unique_ptr<Session> session = Session::Open(options, &code);
    if (!session)
        return code;
    if (serial < 0) {
        int32_t stored = session->Store()->GetInt("config/vesta/policy/serial_number");
        serial = stored > 0 ? stored : 1;
    }
    if (out.empty())
        out = "policy-" + std::to_string(serial) + ".xml";
    const uint32_t bits = kPolicyFetchBit | (static_cast<uint32_t>(serial) & kSerialMask);
    if (!session->Instance()->DownloadPolicy(bits, Widen(out).c_str())) {
        fprintf(stderr, "dtk-agent: the policy could not be downloaded: %s\n",
                CauseOr("the library gave no cause (--log-level debug shows its lines)").c_str());
        return kExitFailed;
    }
    fprintf(Out(), "policy %ld saved to %s\n", serial, out.c_str());
    return kExitOk;
}

int Http(const Options& options, const HttpArgs& args) {
    const std::string& url = args.url;
    if (!IsHttpsUrl(url))
        return Usage("only https:// URLs are fetched: '" + url + "'");
    int code = kExitOk;
    std::unique_ptr<Session> session = Session::Open(options, &code);
    if (!session)
        return code;
    return !args.post ? HttpGet(session->Instance(), url, args.out, Progress::Wanted(args.quiet || options.verbose))
                      : HttpPost(session->Instance(), url, args.fields);
}

int Proxy(const Options& options, const ProxyArgs& args) {
    const std::string& verb = args.verb;
    const bool save = args.save;
    ProxyInfo parsed;
    std::string why;
    if (verb == "set" && !ParseProxyUrl(args.url, &parsed, &why))
        return Usage(why);
    int code = kExitOk;
    std::unique_ptr<Session> session = Session::Open(options, &code);
    if (!session)
        return code;
    if (verb == "show")
        return ProxyShow(session->Instance(), args.json);
    if (verb == "discover")
        return ProxyDiscover(session.get(), save, args.json);
    if (verb == "test")
        return ProxyTest(session.get(), args.url);
    bool written = verb == "set" ? SaveConfiguredProxy(session->Store(), parsed) : ClearProxyRecord(session->Store());
    if (!written) {
        fprintf(stderr, "dtk-agent: cannot write the proxy: %s\n", hostkit::ConfigStore::LastError().c_str());
        return kExitStore;
    }
    fprintf(Out(), verb == "set" ? "proxy saved: %s\n" : "proxy cleared%s\n",
            verb == "set" ? Describe(parsed).c_str() : "");
    return kExitOk;
}

}  // namespace agent
