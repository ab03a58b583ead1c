// A one-line progress display on standard error for long operations: a bar
// with "done/total" when the total is known, the amount so far when it is
// not. Drawn only when enabled, at most ten times a second, and wiped when
// the operation ends, so results printed afterwards stand alone.
#pragma once

#include <chrono>
#include <cstdint>

namespace agent {

class Progress {
public:
    enum class Unit { Files, Bytes };

    // True when standard error is a terminal and the user did not ask for
    // quiet output.
    static bool Wanted(bool quiet);

    Progress(Unit unit, uint64_t total, bool enabled);
    ~Progress() { Finish(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Update(uint64_t done);
    // Wipes the line (once).
    void Finish();

private:
    void Draw(uint64_t done);

    Unit m_unit;
    uint64_t m_total;
    bool m_enabled;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_lastDraw{};
};

}  // namespace agent
