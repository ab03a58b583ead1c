#include "testbed_kit.h"

#include <algorithm>

#include "kit/tessel_init.h"
#include "kit/tessel_logger.h"

namespace testbed {

KitLogCapture::KitLogCapture() {
    tessel_logger_init();  // -1 when already initialised: fine
    tessel_init();
    id_ = tessel_logger_register_callback(&KitLogCapture::on_line, this);
}

KitLogCapture::~KitLogCapture() {
    if (id_ >= 0) tessel_logger_unregister_callback(id_);
}

int KitLogCapture::on_line(int32_t level, const char* message, void* self) {
    auto* capture = static_cast<KitLogCapture*>(self);
    std::lock_guard<std::mutex> lock(capture->mutex_);
    capture->lines_.push_back({level, message});
    return 0;
}

std::vector<KitLogCapture::Line> KitLogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool KitLogCapture::contains(const std::string& text) const { return count(text) > 0; }

bool KitLogCapture::contains(int level, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const Line& l) { return l.level == level && l.text.find(text) != std::string::npos; });
}

size_t KitLogCapture::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(lines_.begin(), lines_.end(),
                         [&](const Line& l) { return l.text.find(text) != std::string::npos; });
}

void KitLogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

std::string KitLogCapture::dump() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& l : lines_) out += std::to_string(l.level) + " " + l.text + "\n";
    return out;
}

HandlePtr make_handle(Pki& pki, const Credential* client, http_client_resolve_failure_fn resolve_cb, void* resolve_ctx) {
    X509* trust[] = {pki.ca().cert()};
    http_client_identity identity{client ? client->x509() : nullptr, client ? client->pkey() : nullptr, trust, 1};
    return HandlePtr(http_client_handle_new("dtk-test/1.0", resolve_cb, resolve_ctx, &identity));
}

RequestPtr make_request(http_client_handle* handle, const std::vector<http_client_header>& headers) {
    http_client_header_list list{headers.data(), static_cast<uint32_t>(headers.size())};
    return RequestPtr(http_client_request_new(handle, &list));
}

ResponsePtr send(http_client_request_t* req, const std::string& url, const char* method, const void* body,
                 int64_t body_len) {
    return ResponsePtr(http_client_send_request(req, url.c_str(), method, body, body_len));
}

std::string body_of(const http_client_response* resp) {
    if (!resp || !resp->body) return {};
    return std::string(reinterpret_cast<const char*>(resp->body), resp->body_len);
}

}  // namespace testbed
