// The kit's process-wide logger. A line is formatted once, with the prefix
// "[<file>@<line>]: ", its control characters escaped (platform/log_escape.h),
// and handed to every registered callback in registration order. The kit never
// writes a log file of its own.
#pragma once

#include <cstdarg>
#include <cstdint>

// Levels are syslog severities.
enum tessel_log_level {
    TESSEL_LOG_ERR = 3,
    TESSEL_LOG_WARNING = 4,
    TESSEL_LOG_NOTICE = 5,
    TESSEL_LOG_INFO = 6,
    TESSEL_LOG_DEBUG = 7,
};

// Size of the buffer a line is built in; a line is at most one less.
constexpr int TESSEL_LOG_BUFFER_SIZE = 8192;

// Receives (level, finished line, user value); the result is ignored. A callback
// runs under the logger's list mutex: it must not log through the kit logger
// nor register or unregister callbacks.
typedef int (*tessel_log_callback_fn)(int32_t level, const char* message, void* user_data);

int tessel_logger_init(void);
void tessel_logger_deinit(void);
int32_t tessel_logger_register_callback(tessel_log_callback_fn fn, void* user_data);
bool tessel_logger_unregister_callback(int32_t id);

void tessel_log(int32_t level, const char* file, unsigned line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void tessel_log_errno(int32_t level, const char* file, unsigned line, int errnum, const char* format,
                      ...) __attribute__((format(printf, 5, 6)));

// Shorthands that fill in the caller's file and line.
#define TLOG(level, ...) tessel_log((level), __FILE__, __LINE__, __VA_ARGS__)
#define TLOG_ERR(...) TLOG(TESSEL_LOG_ERR, __VA_ARGS__)
#define TLOG_WARN(...) TLOG(TESSEL_LOG_WARNING, __VA_ARGS__)
#define TLOG_NOTICE(...) TLOG(TESSEL_LOG_NOTICE, __VA_ARGS__)
#define TLOG_INFO(...) TLOG(TESSEL_LOG_INFO, __VA_ARGS__)
#define TLOG_DEBUG(...) TLOG(TESSEL_LOG_DEBUG, __VA_ARGS__)
#define TLOG_ERRNO(level, errnum, ...) tessel_log_errno((level), __FILE__, __LINE__, (errnum), __VA_ARGS__)
