// register, run and status: the agent's life with the back ends.
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <systemd/sd-daemon.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "agent_commands.h"
#include "connection_keeper.h"
#include "json_text.h"
#include "known_settings.h"
#include "library.h"

namespace agent {
namespace {

void PrintState(const StateReport& report) {
    fprintf(Out(), "%s%s\n", PriorityPrefix(Out(), report.state->failure ? 4 : 6), report.Line().c_str());
    fflush(Out());
}

// ---- run: the host's callbacks ------------------------------------------------------------------

void OnPolicy(const wchar_t* path, int32_t serial, int32_t status, int32_t) {
    if (path && *path)
        fprintf(Out(), "policy %d downloaded to %ls (status %d)\n", serial, path, status);
    else
        fprintf(Out(), "policy check: serial %d, status %d, nothing to download\n", serial, status);
    fflush(Out());
}

void OnRetrospective(int32_t htype, const uint8_t*, int32_t hashLength, int32_t disposition, const char* name,
                     int32_t) {
    fprintf(Out(), "retrospective verdict: hash type %d (%d bytes), disposition %d%s%s\n", htype, hashLength,
            disposition, name ? ", " : "", name ? name : "");
    fflush(Out());
}

void OnAvStats(int32_t* major, int32_t* minor, int32_t* build, void** engines, int32_t* engineCount, int32_t) {
    *major = 1;
    *minor = 0;
    *build = 0;
    *engines = nullptr;
    *engineCount = 0;
}

uint16_t OnServerMessage(cv_cloud_handle*, const uint8_t*, const uint8_t*, uint32_t type, const uint8_t*,
                         size_t length, void*) {
    fprintf(Out(), "server message: type %u, %zu bytes\n", type, length);
    fflush(Out());
    return 0;
}

class ConnectionPrinter : public ITesselCloudConnectionObserver {
public:
    explicit ConnectionPrinter(Session* session) : m_session(session) {}
    void ConnectionStateChanged(int32_t state) override {
        // The registration states that led here come first.
        for (const StateReport& registration : m_session->TakeStates())
            PrintState(registration);
        const char* text = state == TesselCloudConnected   ? "cloud connection: connected"
                           : state == TesselCloudForbidden ? "cloud connection: forbidden"
                                                           : "cloud connection: disconnected";
        // A lost connection says what the cloud client last ran into.
        const std::string cause = state == TesselCloudConnected ? "" : TakeFailureCause(true);
        fprintf(Out(), "%s%s%s%s\n", PriorityPrefix(Out(), state == TesselCloudConnected ? 6 : 4), text,
                cause.empty() ? "" : ": ", cause.c_str());
        // What `systemctl status` shows beside the unit (nothing without systemd).
        sd_notifyf(0, "STATUS=%s", text);
        fflush(Out());
    }

private:
    Session* m_session;
};

// Records in the store when the cloud last answered, for `status`: at most
// once a minute, so a healthy service writes the store rarely.
class CloudAnswerRecorder {
public:
    explicit CloudAnswerRecorder(hostkit::ConfigStore* store) : m_store(store) {}
    void Note(bool answering) {
        const auto now = std::chrono::steady_clock::now();
        if (!answering || (m_written && now - m_last < std::chrono::minutes(1)))
            return;
        hostkit::ConfigEntry entry;
        entry.key = kCloudAnsweredKey;
        entry.text = IsoNow();
        // A store that cannot be written loses only this note; run goes on.
        m_store->Put(entry);
        m_written = true;
        m_last = now;
    }

private:
    static std::string IsoNow() {
        const time_t now = time(nullptr);
        struct tm when {};
        gmtime_r(&now, &when);
        char text[32];
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &when);
        return text;
    }
    hostkit::ConfigStore* m_store;
    bool m_written = false;
    std::chrono::steady_clock::time_point m_last;
};

static_assert(RunArgs{}.keepaliveSeconds == ConnectionKeeper::kDefaultCheckSeconds);

// Server message types the demo host handles.
constexpr int32_t kServerMessageTypes[] = {1, 2, 3, 4};

}  // namespace

int Register(const Options& options, const RegisterArgs& args) {
    // A setting the library would refuse is named now, not after a time-out.
    int code = CheckConfiguration(options, stderr);
    if (code != kExitOk)
        return code;
    std::unique_ptr<Session> session = Session::Open(options, &code);
    if (!session)
        return code;
    const int seconds = args.timeoutSeconds;
    auto printState = [&](const StateReport& report) {
        if (!args.json)
            return PrintState(report);
        JsonObject object;
        object.String("state", report.state->text);
        object.Number("code", report.state->code);
        if (!report.cause.empty())
            object.String("cause", report.cause);
        fprintf(Out(), "%s\n", object.Text().c_str());
        fflush(Out());
    };
    code = session->RegisterAndWait(seconds, printState);
    if (args.json) {
        JsonObject object;
        object.Bool("registered", code == kExitOk);
        if (code != kExitOk)
            object.String("error", code == kExitTimeout ? "registration did not complete in time" : "interrupted");
        fprintf(Out(), "%s\n", object.Text().c_str());
    } else if (code == kExitOk) {
        fprintf(Out(), "registered\n");
    }
    if (code != kExitOk)
        fprintf(stderr, "dtk-agent: %s\n", session->RegistrationFailure(code, seconds).c_str());
    return code;
}

int Run(const Options& options, const RunArgs& args) {
    int code = CheckConfiguration(options, stderr);
    if (code != kExitOk)
        return code;
    const int keepaliveSeconds = args.keepaliveSeconds;
    std::unique_ptr<Session> session = Session::Open(options, &code);
    if (!session)
        return code;
    ITesselInstance* instance = session->Instance();
    ConnectionPrinter printer(session.get());
    instance->RegisterObserver(&printer);
    instance->SetPolicyCallback(OnPolicy, 0);
    instance->SetRetrospectiveCallback(OnRetrospective, 0);
    instance->SetAvStatsCallback(OnAvStats, 0);
    for (int32_t type : kServerMessageTypes)
        instance->AddRcmsHandler(type, OnServerMessage);
    session->StartRegistration();
    if (session->RegistrationRefused()) {
        fprintf(stderr, "dtk-agent: %s\n", session->RegistrationFailure(kExitFailed, 0).c_str());
        instance->RemoveObserver(&printer);
        return kExitFailed;
    }
    fprintf(Out(), "running (SIGTERM or SIGINT stops, SIGHUP reloads the configuration)\n");
    fflush(Out());
    // Ready once the service runs, not once the cloud answers: it keeps
    // trying by itself, and a network down at boot must not fail the unit.
    sd_notify(0, "READY=1\nSTATUS=running, registering");
    ConnectionKeeper keeper(instance, Out(), keepaliveSeconds);
    CloudAnswerRecorder recorder(session->Store());
    while (!Signals::Stopping()) {
        for (const StateReport& state : session->TakeStates())
            PrintState(state);
        keeper.Tick();
        recorder.Note(instance->IsCloudConnected());
        if (Signals::Wait(200) == SIGHUP) {
            fprintf(Out(), "configuration reloaded\n");
            fflush(Out());
            instance->UpdateConfiguration();
        }
    }
    sd_notify(0, "STOPPING=1");
    fprintf(Out(), "stopping\n");
    fflush(Out());
    instance->RemoveObserver(&printer);
    session.reset();
    fprintf(Out(), "stopped\n");
    return kExitOk;
}

// ---- status -------------------------------------------------------------------------------------

namespace {

struct CertificateFacts {
    bool present = false;
    bool readable = false;
    std::string subject;
    std::string notAfter;  // ISO 8601 UTC
    std::string validity;  // "valid", "expired" or "not yet valid"
};

CertificateFacts ReadCertificate(hostkit::ConfigStore* store) {
    CertificateFacts facts;
    hostkit::ConfigEntry entry;
    bool found = false;
    if (!store->Get(hostkit::ConfigView::Persistent, "config/agent/client_cert", &entry, &found, "client_cert") ||
        !found || entry.text.empty())
        return facts;
    facts.present = true;
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(entry.text.data(), static_cast<int>(entry.text.size())),
                                                  BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
    if (!cert)
        return facts;
    facts.readable = true;
    char subject[512];
    X509_NAME_oneline(X509_get_subject_name(cert.get()), subject, sizeof subject);
    facts.subject = subject;
    struct tm when {};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(cert.get()), &when) == 1) {
        char text[32];
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &when);
        facts.notAfter = text;
    }
    facts.validity = X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0   ? "expired"
                     : X509_cmp_current_time(X509_get0_notBefore(cert.get())) > 0 ? "not yet valid"
                                                                                   : "valid";
    return facts;
}

std::string Read(hostkit::ConfigStore* store, hostkit::ConfigView view, const char* key, const char* name = "") {
    hostkit::ConfigEntry entry;
    bool found = false;
    if (!store->Get(view, key, &entry, &found, name) || !found)
        return "";
    return entry.ValueText();
}

bool Exists(hostkit::ConfigStore* store, hostkit::ConfigView view, const char* key, const char* name) {
    hostkit::ConfigEntry entry;
    bool found = false;
    return store->Get(view, key, &entry, &found, name) && found;
}

}  // namespace

int Status(const Options& options, const StatusArgs& args) {
    const bool json = args.json;
    std::string error;
    std::unique_ptr<hostkit::ConfigStore> store =
        hostkit::ConfigStore::Open(options.storePath, &error, hostkit::ConfigStore::Mode::ReadOnly);
    if (!store) {
        fprintf(stderr, "dtk-agent: %s\n", error.c_str());
        return kExitStore;
    }
    using hostkit::ConfigView;
    hostkit::ConfigStore* s = store.get();
    const std::string registered = Read(s, ConfigView::General, "config/agent/agent_registered");
    const std::string guid = Read(s, ConfigView::Persistent, "config/agent/uuid", "guid");
    const CertificateFacts cert = ReadCertificate(s);
    const bool key = Exists(s, ConfigView::Persistent, "config/agent/client_keypair", "client_keypair");
    const std::string cloudHost = Read(s, ConfigView::General, "config/agent/cloud/asn1_host");
    const std::string cloudPort = Read(s, ConfigView::General, "config/agent/cloud/asn1_port");
    const std::string proxyType = Read(s, ConfigView::Local, "config/proxy/type");
    const std::string proxyServer = Read(s, ConfigView::Local, "config/proxy/server");
    const std::string proxyPort = Read(s, ConfigView::Local, "config/proxy/port");
    const std::string serial = Read(s, ConfigView::General, "config/vesta/policy/serial_number");
    const std::string cloudAnswered = Read(s, ConfigView::Local, kCloudAnsweredKey);
    const bool isRegistered = !registered.empty() && registered != "0";
    // The host may carry its own port; the port setting is the enrolment server's then.
    const std::string cloud = cloudHost.empty() || cloudHost.find(':') != std::string::npos
                                  ? cloudHost
                                  : cloudHost + ":" + (cloudPort.empty() ? "443" : cloudPort);
    const std::string proxy = proxyServer.empty() ? "" : proxyType + " " + proxyServer + ":" + proxyPort;

    if (json) {
        JsonObject object;
        object.Bool("registered", isRegistered);
        object.String("guid", guid);
        object.Bool("certificate", cert.readable);
        object.String("certificate_subject", cert.subject);
        object.String("certificate_expiry", cert.notAfter);
        object.String("certificate_validity", cert.validity);
        object.Bool("client_key", key);
        object.String("cloud", cloud);
        object.String("cloud_last_answer", cloudAnswered);
        object.String("proxy", proxy);
        object.String("policy_serial", serial);
        fprintf(Out(), "%s\n", object.Text().c_str());
        return kExitOk;
    }
    auto line = [](const char* label, const std::string& value) {
        fprintf(Out(), "%-15s %s\n", label, value.empty() ? "-" : value.c_str());
    };
    line("registered:", isRegistered ? "yes" : "no");
    line("agent GUID:", guid);
    const std::string until = cert.validity == "expired" ? ", EXPIRED on " : ", " + cert.validity + " until ";
    line("certificate:", cert.readable ? cert.subject + until + cert.notAfter : cert.present ? "unreadable" : "");
    line("client key:", key ? "present (never shown)" : "");
    line("cloud:", cloud);
    line("cloud answered:", cloudAnswered.empty() ? "never (as far as run recorded)" : cloudAnswered);
    line("proxy:", proxy.empty() ? "direct" : proxy);
    line("policy serial:", serial);
    return kExitOk;
}

}  // namespace agent
