// Why a connection or transfer failed, in the words a person running the
// agent reads: "connection refused (est.example.net:443)". The kit's HTTP
// client, the EST client and the cloud client all log their failures through
// this one mapping, each as a line "... cause: <words> (<host>:<port>)", which
// a host may show its user as it is.
#pragma once

#include <string>

namespace platform {

// The marker before the words in a cause line.
constexpr char kCauseMarker[] = "cause: ";

// Words for a certificate verification result (OpenSSL's X509_V_ERR_*):
// "server certificate has expired", "server certificate is from an unknown
// CA", "server certificate does not name the server", ...
std::string TlsVerifyCause(long verifyResult);

// Words for a libcurl result code; a peer verification failure
// (CURLE_PEER_FAILED_VERIFICATION) is told by `verifyResult`, a time-out by
// `timeoutSeconds` (0: not known); `throughProxy`: a refused connection is
// the proxy's.
std::string TransferCause(int curlCode, long verifyResult, long timeoutSeconds, bool throughProxy);

// Whether a transfer through a proxy failed at the proxy (so the proxy is
// the peer to name).
bool FailedAtProxy(int curlCode);

// Words for a failed connect(2) (its errno).
std::string ConnectErrorCause(int error);

// "<words> (<host>:<port>)", or the words alone without a host; `host` is
// cut to a bounded length.
std::string CauseWithPeer(const std::string& words, const std::string& host, long port);

}  // namespace platform
