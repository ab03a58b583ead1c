#include "platform/failure_cause.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {
// A host name is at most 253 characters; anything longer is not one.
constexpr size_t kMaxHostLength = 255;
}  // namespace

std::string TlsVerifyCause(long verifyResult) {
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return "server certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return "server certificate is not valid yet";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return "server certificate is from an unknown CA";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return "server certificate does not name the server";
    case X509_V_ERR_CERT_REVOKED:
        return "server certificate is revoked";
    case X509_V_OK:
        return "server certificate not accepted";
    default:
        return std::string("server certificate not accepted (") + X509_verify_cert_error_string(verifyResult) + ")";
    }
}

bool FailedAtProxy(int curlCode) {
    return curlCode == CURLE_COULDNT_CONNECT || curlCode == CURLE_COULDNT_RESOLVE_PROXY || curlCode == CURLE_PROXY;
}

std::string TransferCause(int curlCode, long verifyResult, long timeoutSeconds, bool throughProxy) {
    switch (curlCode) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return "name not resolved";
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "proxy name not resolved";
    case CURLE_COULDNT_CONNECT:
        return throughProxy ? "proxy refused the connection" : "connection refused";
    case CURLE_PROXY:
        return "the proxy refused to connect onwards";
    case CURLE_OPERATION_TIMEDOUT:
        return timeoutSeconds > 0 ? "no answer within " + std::to_string(timeoutSeconds) + " s" : "no answer in time";
    case CURLE_PEER_FAILED_VERIFICATION:
        return TlsVerifyCause(verifyResult);
    case CURLE_SSL_CONNECT_ERROR:
        return "TLS handshake failed";
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
        return "client certificate not usable";
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return "connection closed by the server";
    case CURLE_PARTIAL_FILE:
        return "answer cut short";
    case CURLE_TOO_MANY_REDIRECTS:
        return "too many redirects";
    case CURLE_ABORTED_BY_CALLBACK:
        return "stopped";
    default:
        return "transfer failed (libcurl code " + std::to_string(curlCode) + ")";
    }
}

std::string ConnectErrorCause(int error) {
    switch (error) {
    case ECONNREFUSED:
        return "connection refused";
    case ETIMEDOUT:
        return "no answer in time";
    case ENETUNREACH:
    case EHOSTUNREACH:
        return "server unreachable";
    default:
        return std::string("cannot connect (") + strerror(error) + ")";
    }
}

std::string CauseWithPeer(const std::string& words, const std::string& host, long port) {
    if (host.empty())
        return words;
    std::string peer = host.substr(0, kMaxHostLength);
    if (peer.find(':') != std::string::npos && peer.front() != '[')
        peer = "[" + peer + "]";
    return words + " (" + peer + (port > 0 ? ":" + std::to_string(port) : "") + ")";
}

}  // namespace platform
