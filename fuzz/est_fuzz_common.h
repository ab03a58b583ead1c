// Shared set-up of the EST fuzz targets: every log line is formatted (so the
// arguments are exercised) into a scratch buffer and dropped.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "est/est.h"

inline void est_fuzz_sink(const char* format, va_list ap)
{
    char line[512];
    vsnprintf(line, sizeof line, format, ap);
}

inline void est_fuzz_logging()
{
    est_set_log_sink(est_fuzz_sink);
    est_set_log_level(EST_LOG_LVL_INFO);
}
