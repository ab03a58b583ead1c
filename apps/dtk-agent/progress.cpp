#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace agent {

namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
// Wide enough to wipe the longest line Draw writes.
constexpr int kLineWidth = 72;

std::string Amount(Progress::Unit unit, uint64_t value) {
    if (unit == Progress::Unit::Files)
        return std::to_string(value);
    char text[32];
    if (value < 1024)
        snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(value));
    else if (value < 1024 * 1024)
        snprintf(text, sizeof text, "%.1f KiB", value / 1024.0);
    else
        snprintf(text, sizeof text, "%.1f MiB", value / (1024.0 * 1024.0));
    return text;
}

}  // namespace

bool Progress::Wanted(bool quiet) { return !quiet && isatty(STDERR_FILENO) == 1; }

Progress::Progress(Unit unit, uint64_t total, bool enabled) : m_unit(unit), m_total(total), m_enabled(enabled) {}

void Progress::Update(uint64_t done) {
    if (!m_enabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_drawn && now - m_lastDraw < kRedrawInterval && done != m_total)
        return;
    m_lastDraw = now;
    Draw(done);
}

void Progress::Draw(uint64_t done) {
    m_drawn = true;
    std::string line;
    if (m_total == 0) {
        line = Amount(m_unit, done) + (m_unit == Unit::Files ? " files" : " received");
    } else {
        const size_t filled = static_cast<size_t>(kBarWidth * (done < m_total ? done : m_total) / m_total);
        line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, ' ') + "] " + Amount(m_unit, done) +
               "/" + Amount(m_unit, m_total);
    }
    // Padded, so a shorter line leaves nothing of the one before.
    fprintf(stderr, "\r%-*s", kLineWidth, line.c_str());
    fflush(stderr);
}

void Progress::Finish() {
    if (!m_drawn)
        return;
    m_drawn = false;
    fprintf(stderr, "\r%*s\r", kLineWidth, "");
    fflush(stderr);
}

}  // namespace agent
