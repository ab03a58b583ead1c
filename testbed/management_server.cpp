#include "testbed/management_server.h"

#include <cctype>

namespace testbed {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string form_decode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                   hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

FormFields parse_form(const std::string& body) {
    FormFields fields;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        std::string pair = body.substr(start, end - start);
        if (!pair.empty()) {
            size_t eq = pair.find('=');
            if (eq == std::string::npos)
                fields.emplace_back(form_decode(pair), "");
            else
                fields.emplace_back(form_decode(pair.substr(0, eq)), form_decode(pair.substr(eq + 1)));
        }
        start = end + 1;
    }
    return fields;
}

std::string ManagementPost::field(const std::string& name) const {
    for (const auto& [key, value] : fields)
        if (key == name) return value;
    return "";
}

bool ManagementPost::has(const std::string& name) const {
    for (const auto& field : fields)
        if (field.first == name) return true;
    return false;
}

bool ManagementServer::start(const ManagementServerOptions& options) {
    if (!options.identity || !options.client_ca) return false;
    base_path_ = options.base_path;
    keep_posts_ = options.keep_posts;
    TlsServerOptions tls;
    tls.identity = options.identity;
    tls.client_ca = options.client_ca;
    tls.require_client_cert = true;
    tls.port = options.port;
    https_.on(base_path_ + "/register", [this](const HttpRequest& request, HttpExchange& exchange) {
        handle(request, exchange);
    });
    https_.set_keep_requests(keep_posts_);
    return https_.start(tls);
}

void ManagementServer::stop() { https_.stop(); }

std::string ManagementServer::base_url() const { return https_.url(base_path_); }

void ManagementServer::script(std::vector<int> statuses, int fallback) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.assign(statuses.begin(), statuses.end());
    fallback_ = fallback;
}

std::vector<ManagementPost> ManagementServer::posts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
}

size_t ManagementServer::post_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return post_count_;
}

bool ManagementServer::wait_for_posts(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return post_count_ >= n; });
}

void ManagementServer::handle(const HttpRequest& request, HttpExchange& exchange) {
    if (request.method != "POST") {
        exchange.respond(405, "only POST registers");
        return;
    }
    ManagementPost post;
    post.path = request.path;
    post.client_subject = request.client_subject;
    post.peer = request.peer;
    post.content_type = request.header("Content-Type");
    post.body = request.body;
    post.fields = parse_form(request.body);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (script_.empty()) {
            post.status = fallback_;
        } else {
            post.status = script_.front();
            script_.pop_front();
        }
        ++post_count_;
        if (keep_posts_) posts_.push_back(post);
    }
    changed_.notify_all();
    if (post.status == 0) {
        exchange.stall(std::chrono::seconds(30));
        post.status = 200;
    }
    exchange.respond(post.status, post.status == 200 ? "{\"registered\":true}" : "{\"registered\":false}",
                     {{"Content-Type", "application/json"}});
}

}  // namespace testbed
