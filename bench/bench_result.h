// One machine-readable line per figure, collected by scripts/bench.sh:
//   RESULT figure=<name> value=<v> unit=<u> ceiling=<c> ratio=<r> aim=<text>
// `ceiling` is the peer or bound measured in the same run ("-" when there is
// none); `ratio` is value/ceiling; `aim` is the target as text ("-" when none).
// Names, units and aims carry no spaces.
#pragma once

#include <cmath>
#include <cstdio>

inline void bench_result(const char* figure, double value, const char* unit, double ceiling = NAN,
                         const char* aim = "-")
{
    if (std::isnan(ceiling)) {
        std::printf("RESULT figure=%s value=%.6g unit=%s ceiling=- ratio=- aim=%s\n", figure, value, unit, aim);
    } else {
        std::printf("RESULT figure=%s value=%.6g unit=%s ceiling=%.6g ratio=%.3f aim=%s\n", figure, value, unit,
                    ceiling, ceiling != 0 ? value / ceiling : 0.0, aim);
    }
    std::fflush(stdout);
}
