#include "host_log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Util.h"
#include "platform/utf8.h"
#include "host_text.h"

namespace hostkit {
namespace {

struct LogState {
    std::recursive_mutex mutex;
    LogSink sink;
    FILE* file = nullptr;  // null: standard error
};

LogState& State() {
    // Never destroyed: threads may still log while the process exits.
    static LogState* state = new LogState;
    return *state;
}

void Emit(LogKind kind, uint64_t category, std::string message) {
    message = OneLine(std::move(message));
    LogState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    if (state.sink) {
        state.sink(kind, category, message);
        return;
    }
    std::string line = FormatLogLine(kind, category, message);
    line.push_back('\n');
    FILE* stream = state.file ? state.file : stderr;
    fwrite(line.data(), 1, line.size(), stream);
    fflush(stream);
}

void EmitNarrow(LogKind kind, uint64_t category, const char* format, va_list args) {
    std::string message;
    if (!VFormat(&message, format, args))
        message = std::string("(unformattable log line: ") + (format ? format : "null") + ")";
    Emit(kind, category, std::move(message));
}

void EmitWide(LogKind kind, uint64_t category, const wchar_t* format, va_list args) {
    std::wstring message;
    if (VFormatW(&message, format, args))
        Emit(kind, category, platform::WideToUtf8(message));
    else
        Emit(kind, category,
             "(unformattable log line: " + platform::WideToUtf8(format ? format : L"null") + ")");
}

}  // namespace

std::string OneLine(std::string message) {
    size_t begin = message.find_first_not_of("\r\n");
    size_t end = message.find_last_not_of("\r\n");
    if (begin == std::string::npos)
        return {};
    std::string line;
    line.reserve(end - begin + 1);
    for (size_t i = begin; i <= end; ++i) {
        const auto c = static_cast<unsigned char>(message[i]);
        // A C1 control in UTF-8 (U+0080..U+009F) drives terminals as its C0 kin does.
        const bool c1 = c == 0xc2 && i < end && static_cast<unsigned char>(message[i + 1]) < 0xa0 &&
                        static_cast<unsigned char>(message[i + 1]) >= 0x80;
        if (c == '\n' || c == '\r') {
            line.push_back(' ');
        } else if (c < 0x20 || c == 0x7f || c1) {
            char escape[9];
            snprintf(escape, sizeof escape, c1 ? "\\xc2\\x%02x" : "\\x%02x",
                     c1 ? static_cast<unsigned char>(message[++i]) : c);
            line += escape;
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    return line;
}

std::string FormatLogLine(LogKind kind, uint64_t category, const std::string& message) {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
             static_cast<int>(now.tv_usec / 1000));
    std::string line(stamp);
    if (kind == LogKind::Error) {
        line += " ERROR ";
    } else {
        char tag[32];
        snprintf(tag, sizeof tag, " TRACE 0x%llx ", static_cast<unsigned long long>(category));
        line += tag;
    }
    return line + message;
}

void SetLogSink(LogSink sink) {
    LogState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    state.sink = std::move(sink);
}

bool SetLogFile(const std::string& path, std::string* error) {
    FILE* file = nullptr;
    if (!path.empty()) {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || !(file = fdopen(fd, "a"))) {
            if (error)
                *error = "cannot open log file " + path + ": " + strerror(errno);
            if (fd >= 0)
                close(fd);
            return false;
        }
    }
    LogState& state = State();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    if (state.file)
        fclose(state.file);
    state.file = file;
    return true;
}

}  // namespace hostkit

void error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    hostkit::EmitNarrow(hostkit::LogKind::Error, 0, format, args);
    va_end(args);
}

void error(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    hostkit::EmitWide(hostkit::LogKind::Error, 0, format, args);
    va_end(args);
}

void trace(uint64_t category, const char* format, ...) {
    va_list args;
    va_start(args, format);
    hostkit::EmitNarrow(hostkit::LogKind::Trace, category, format, args);
    va_end(args);
}

void trace(uint64_t category, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    hostkit::EmitWide(hostkit::LogKind::Trace, category, format, args);
    va_end(args);
}
