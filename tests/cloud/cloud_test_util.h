// Helpers of the cloud client tests: capture of the client's log lines and a
// small DER reader for checking byte layouts.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "cloud/cv_cloud_lock.h"

// Captures the cloud client's log while it lives. In `texts` mode (the
// default) the client's log hook takes the text of each error line, stored
// with a newline appended (no time stamp, no system error suffix: the texts
// are exact); trace lines come whole through the writers' sink. In `lines`
// mode every finished line comes through the sink as it would be written.
class cv_log_capture {
public:
    enum mode { texts, lines_written };
    explicit cv_log_capture(mode m = texts) {
        {
            std::lock_guard<std::mutex> guard(registry_mutex());
            previous_ = current();
            current() = this;
        }
        if (m == texts)
            cv_log_set_hook(&cv_log_capture::receive_text, nullptr);
        cv_log_set_sink(&cv_log_capture::receive, nullptr);
    }
    // A worker may still be writing a line when the capture ends: lines are
    // appended under the registry mutex to the capture registered then, so
    // that a late line is dropped instead of written into a dead capture.
    ~cv_log_capture() {
        cv_log_set_hook(nullptr, nullptr);
        cv_log_set_sink(nullptr, nullptr);
        std::lock_guard<std::mutex> guard(registry_mutex());
        if (current() == this)
            current() = previous_;
    }
    cv_log_capture(const cv_log_capture&) = delete;
    cv_log_capture& operator=(const cv_log_capture&) = delete;

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(registry_mutex());
        return lines_;
    }
    std::string text() {
        std::string all;
        for (const auto& line : lines())
            all += line;
        return all;
    }
    bool contains(const std::string& needle) { return text().find(needle) != std::string::npos; }
    void clear() {
        std::lock_guard<std::mutex> guard(registry_mutex());
        lines_.clear();
    }

private:
    static std::mutex& registry_mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static cv_log_capture*& current() {
        static cv_log_capture* capture = nullptr;
        return capture;
    }
    static void receive(const char* line, void*) {
        std::lock_guard<std::mutex> guard(registry_mutex());
        if (current())
            current()->lines_.emplace_back(line);
    }
    static void receive_text(const char* text, void*) { receive((std::string(text) + "\n").c_str(), nullptr); }
    cv_log_capture* previous_ = nullptr;
    std::vector<std::string> lines_;
};

// One DER element: identifier octet, content bytes.
struct der_element {
    unsigned char id;
    std::vector<unsigned char> content;
};

// The consecutive elements in `bytes` (single-octet identifiers, definite
// lengths); stops at the first malformed element.
inline std::vector<der_element> der_elements(const unsigned char* bytes, size_t size) {
    std::vector<der_element> out;
    size_t pos = 0;
    while (pos + 2 <= size) {
        unsigned char id = bytes[pos++];
        size_t length = bytes[pos++];
        if (length & 0x80) {
            size_t octets = length & 0x7f;
            if (octets == 0 || octets > 4 || pos + octets > size)
                break;
            length = 0;
            for (size_t i = 0; i < octets; i++)
                length = (length << 8) | bytes[pos++];
        }
        if (pos + length > size)
            break;
        out.push_back({id, std::vector<unsigned char>(bytes + pos, bytes + pos + length)});
        pos += length;
    }
    return out;
}

inline std::vector<der_element> der_elements(const std::vector<unsigned char>& bytes) {
    return der_elements(bytes.data(), bytes.size());
}

inline std::vector<unsigned char> der_ids(const std::vector<der_element>& elements) {
    std::vector<unsigned char> ids;
    for (const auto& e : elements)
        ids.push_back(e.id);
    return ids;
}

// Builds one element with a definite length.
inline std::vector<unsigned char> der_tlv(unsigned char id, const std::vector<unsigned char>& content) {
    std::vector<unsigned char> out = {id};
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<unsigned char>(n));
    } else if (n < 0x100) {
        out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
    } else {
        out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline std::vector<unsigned char> concat(std::initializer_list<std::vector<unsigned char>> parts) {
    std::vector<unsigned char> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
