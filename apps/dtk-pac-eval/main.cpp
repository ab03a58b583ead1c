// dtk-pac-eval: evaluates one PAC script for one URL, for the library's proxy
// discovery. A PAC file is untrusted code from the network and its engine
// cannot be interrupted mid-script, so it runs here, in a process of its own
// that the library kills at its deadline, under a memory and CPU limit.
//
//   dtk-pac-eval <url> <host> <memory-bytes> <cpu-seconds>
// The script arrives on standard input. One line answers on standard output:
// "OK <FindProxyForURL's result>" or "ERR <reason>".
//
// Before it reads the script it gives up what it does not need: no core file
// (the process holds nothing worth keeping, and a crash is the hostile
// script's doing), no new privileges, and, when started by root, the
// unprivileged user "nobody" without supplementary groups. The library starts
// it with an empty environment.
#include <grp.h>
#include <pacparser.h>
#include <pwd.h>
#include <sys/prctl.h>
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

bool Limit(int resource, rlim_t value) {
    rlimit limit{value, value};
    return setrlimit(resource, &limit) == 0;
}

constexpr const char* UNPRIVILEGED_USER = "nobody";

// Whether `id` exists in this user namespace (per /proc/self/uid_map or
// gid_map: "<inside> <outside> <count>" lines). Unreadable: assumed so.
bool MappedHere(const char* map, unsigned long id) {
    FILE* f = std::fopen(map, "re");
    if (!f) return true;
    unsigned long inside, outside, count;
    bool mapped = false;
    for (int lines = 0; lines < 340 && std::fscanf(f, "%lu %lu %lu", &inside, &outside, &count) == 3; ++lines)
        mapped = mapped || (id >= inside && id - inside < count);
    std::fclose(f);
    return mapped;
}

// Root gives way to the unprivileged user, for good: a failure anywhere, or
// a way back to root afterwards, is a refusal to run. The one exception is a
// user namespace in which that user does not exist (a sandbox that maps root
// alone): there is nobody else to become, and its root's capabilities end at
// the namespace.
bool DropRoot() {
    if (getuid() != 0 && geteuid() != 0) return true;
    passwd entry{};
    passwd* found = nullptr;
    char buf[4096];
    if (getpwnam_r(UNPRIVILEGED_USER, &entry, buf, sizeof buf, &found) != 0 || !found || found->pw_uid == 0)
        return false;
    if (!MappedHere("/proc/self/uid_map", found->pw_uid) || !MappedHere("/proc/self/gid_map", found->pw_gid))
        return true;
    if (setgroups(0, nullptr) != 0 || setresgid(found->pw_gid, found->pw_gid, found->pw_gid) != 0 ||
        setresuid(found->pw_uid, found->pw_uid, found->pw_uid) != 0)
        return false;
    return setuid(0) != 0 && getuid() != 0 && geteuid() != 0;
}

// What the evaluation may keep of the process it was started as; nullptr
// when confined, else why not.
const char* Confine() {
    if (!Limit(RLIMIT_CORE, 0) || prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return "cannot disable core files";
    if (!DropRoot()) return "cannot drop root privileges";
    // Ambient capabilities would survive into a non-root helper; older
    // kernels without them have none to clear.
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return "cannot set no-new-privileges";
    if (chdir("/") != 0) return "cannot leave the working directory";
    clearenv();
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* failed = Confine()) return Answer("ERR", failed);
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
