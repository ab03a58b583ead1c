#include "support/log_capture.h"

#include <cstdio>
#include <thread>

LogCapture::LogCapture(bool echo) {
    hostkit::SetLogSink([this, echo](hostkit::LogKind kind, uint64_t category, const std::string& text) {
        if (echo)
            fprintf(stderr, "%s\n", hostkit::FormatLogLine(kind, category, text).c_str());
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({kind, category, text});
    });
}

LogCapture::~LogCapture() { hostkit::SetLogSink(nullptr); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const Line& line : lines_)
        texts.push_back(line.text);
    return texts;
}

std::vector<LogCapture::Line> LogCapture::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string& substring) const { return count(substring) > 0; }

bool LogCapture::containsError(const std::string& substring) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Line& line : lines_)
        if (line.kind == hostkit::LogKind::Error && line.text.find(substring) != std::string::npos)
            return true;
    return false;
}

bool LogCapture::containsTrace(const std::string& substring, uint64_t category) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Line& line : lines_)
        if (line.kind == hostkit::LogKind::Trace && line.category == category &&
            line.text.find(substring) != std::string::npos)
            return true;
    return false;
}

size_t LogCapture::count(const std::string& substring) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const Line& line : lines_)
        if (line.text.find(substring) != std::string::npos)
            ++n;
    return n;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

bool LogCapture::waitFor(const std::string& substring, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!contains(substring)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
