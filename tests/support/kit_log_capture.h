// Captures the kit's log lines for a test; usable without the HTTP helpers
// of testbed_kit.h (whose names clash with the cloud server's).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace testbed {

// Captures every kit log line while alive (initialises the kit logger and the
// kit's global state when needed).
class KitLogCapture {
public:
    struct Line {
        int level;
        std::string text;
    };
    KitLogCapture();
    ~KitLogCapture();
    KitLogCapture(const KitLogCapture&) = delete;
    KitLogCapture& operator=(const KitLogCapture&) = delete;

    std::vector<Line> lines() const;
    bool contains(const std::string& text) const;
    bool contains(int level, const std::string& text) const;
    size_t count(const std::string& text) const;
    void clear();
    // Everything captured, one line per entry (for failure messages).
    std::string dump() const;

private:
    static int on_line(int32_t level, const char* message, void* self);
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    int32_t id_ = -1;
};

}  // namespace testbed
