// dtk-pac-eval: evaluates one PAC script for one URL, for the library's proxy
// discovery. A PAC file is untrusted code from the network and its engine
// cannot be interrupted mid-script, so it runs here, in a process of its own
// that the library kills at its deadline, under a memory and CPU limit.
//
//   dtk-pac-eval <url> <host> <memory-bytes> <cpu-seconds>
// The script arrives on standard input. One line answers on standard output:
// "OK <FindProxyForURL's result>" or "ERR <reason>".
#include <pacparser.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Address-space limits break the sanitizers' shadow memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool LIMIT_MEMORY = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool LIMIT_MEMORY = false;
#else
constexpr bool LIMIT_MEMORY = true;
#endif
#else
constexpr bool LIMIT_MEMORY = true;
#endif

int Answer(const char* status, const char* text) {
    std::printf("%s %s\n", status, text);
    std::fflush(stdout);
    return status[0] == 'O' ? 0 : 1;
}

// The engine reports script errors here; the reason is kept for the answer.
std::string last_error;
int KeepError(const char* fmt, va_list args) {
    char buf[256];
    int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    if (last_error.size() < 512) last_error.append(buf);
    return n;
}

void Limit(int resource, rlim_t value) {
    rlimit limit{value, value};
    setrlimit(resource, &limit);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) return Answer("ERR", "usage: dtk-pac-eval <url> <host> <memory-bytes> <cpu-seconds>");
    unsigned long long memory = std::strtoull(argv[3], nullptr, 10);
    unsigned long cpu = std::strtoul(argv[4], nullptr, 10);
    if (LIMIT_MEMORY && memory > 0) Limit(RLIMIT_AS, memory);
    if (cpu > 0) Limit(RLIMIT_CPU, cpu);

    std::string script;
    char buf[65536];
    ssize_t n;
    while ((n = read(0, buf, sizeof buf)) > 0) {
        if (memory > 0 && script.size() + static_cast<size_t>(n) > memory / 4) return Answer("ERR", "script too large");
        script.append(buf, static_cast<size_t>(n));
    }
    if (n < 0) return Answer("ERR", "cannot read the script");

    pacparser_set_error_printer(KeepError);
    if (!pacparser_init()) return Answer("ERR", "engine start failed");
    if (!pacparser_parse_pac_string(script.c_str())) {
        for (char& c : last_error)
            if (c == '\n') c = ' ';
        return Answer("ERR", ("script: " + last_error).c_str());
    }
    const char* result = pacparser_find_proxy(argv[1], argv[2]);
    if (!result) {
        for (char& c : last_error)
            if (c == '\n') c = ' ';
        return Answer("ERR", ("FindProxyForURL: " + last_error).c_str());
    }
    std::string answer = result;
    for (char& c : answer)
        if (c == '\n' || c == '\r') c = ' ';
    // The engine is left to the process's end: cleaning it up gains nothing.
    return Answer("OK", answer.c_str());
}
