// Captures the lines that reach the host's `error` and `trace` (and so every
// line the library logs through them) while the object lives. One capture at a
// time: it installs the process's log sink and removes it on destruction.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host_log.h"

class LogCapture {
public:
    struct Line {
        hostkit::LogKind kind;
        uint64_t category;  // 0 for errors
        std::string text;   // the message, without time stamp
    };

    // With `echo`, lines are also written to standard error (to follow a
    // failing test).
    explicit LogCapture(bool echo = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    std::vector<Line> entries() const;
    bool contains(const std::string& substring) const;
    bool containsError(const std::string& substring) const;
    bool containsTrace(const std::string& substring, uint64_t category = 0x1000) const;
    size_t count(const std::string& substring) const;
    void clear();
    // Waits (bounded) until a line containing `substring` arrives.
    bool waitFor(const std::string& substring, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};
