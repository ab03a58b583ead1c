#include "kit/tessel_logger.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/log_escape.h"

namespace {

struct log_callback_node {
    int32_t id;
    tessel_log_callback_fn fn;
    void* user_data;
    log_callback_node* next;
};

struct logger_context {
    unsigned char initialized;
    pthread_mutex_t log_mutex;
};

logger_context _context = {0, PTHREAD_MUTEX_INITIALIZER};
pthread_mutex_t _cb_list_mutex = PTHREAD_MUTEX_INITIALIZER;
log_callback_node* _cb_head = nullptr;
log_callback_node* _cb_tail = nullptr;
int32_t _next_id = 0;

// The logger's own mutexes cannot report through the logger they guard: a
// failure is written to standard error and the process aborts.
[[noreturn]] void logger_lock_failed(const char* operation, const char* name, int err) {
    fprintf(stderr, "Mutex %s %s failed: %s. Process abort due to fatal error\n", name, operation, strerror(err));
    abort();
}

void lock_logger_mutex(pthread_mutex_t* mutex, const char* name) {
    int err = pthread_mutex_lock(mutex);
    if (err != 0)
        logger_lock_failed("lock", name, err);
}

void unlock_logger_mutex(pthread_mutex_t* mutex, const char* name) {
    int err = pthread_mutex_unlock(mutex);
    if (err != 0)
        logger_lock_failed("unlock", name, err);
}

bool is_initialized() {
    lock_logger_mutex(&_context.log_mutex, "&_context.log_mutex");
    bool initialized = _context.initialized != 0;
    unlock_logger_mutex(&_context.log_mutex, "&_context.log_mutex");
    return initialized;
}

// The source file's base name: the part after the last path separator. Paths
// built on this platform use '/', the original build's used '\\': both count.
const char* base_name(const char* file) {
    const char* base = file;
    for (const char* p = file; *p; ++p) {
        if (*p == '\\' || *p == '/')
            base = p + 1;
    }
    return base;
}

}  // namespace

int tessel_logger_init(void) {
    lock_logger_mutex(&_context.log_mutex, "&_context.log_mutex");
    if (_context.initialized) {
        unlock_logger_mutex(&_context.log_mutex, "&_context.log_mutex");
        fprintf(stderr, "init failed, already initialized\n");
        return -1;
    }
    _context.initialized = 1;
    unlock_logger_mutex(&_context.log_mutex, "&_context.log_mutex");
    return 0;
}

void tessel_logger_deinit(void) {
    lock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");
    for (log_callback_node* node = _cb_head; node;) {
        log_callback_node* next = node->next;
        free(node);
        node = next;
    }
    _cb_head = _cb_tail = nullptr;
    unlock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");

    lock_logger_mutex(&_context.log_mutex, "&_context.log_mutex");
    _context.initialized = 0;
    unlock_logger_mutex(&_context.log_mutex, "&_context.log_mutex");
}

int32_t tessel_logger_register_callback(tessel_log_callback_fn fn, void* user_data) {
    if (!is_initialized()) {
        fprintf(stderr, "not initialized!\n");
        return -1;
    }
    if (!fn)
        return -1;
    auto* node = static_cast<log_callback_node*>(calloc(1, sizeof(log_callback_node)));
    if (!node)
        return -1;
    node->fn = fn;
    node->user_data = user_data;

    lock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");
    node->id = _next_id++;
    if (_cb_tail)
        _cb_tail->next = node;
    else
        _cb_head = node;
    _cb_tail = node;
    int32_t id = node->id;
    unlock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");
    return id;
}

bool tessel_logger_unregister_callback(int32_t id) {
    if (!is_initialized()) {
        fprintf(stderr, "not initialized!\n");
        return false;
    }
    if (id < 0)
        return false;

    bool removed = false;
    lock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");
    log_callback_node* previous = nullptr;
    for (log_callback_node* node = _cb_head; node; previous = node, node = node->next) {
        if (node->id != id)
            continue;
        if (node == _cb_head) {
            _cb_head = node->next;
            if (!_cb_head)
                _cb_tail = nullptr;
        } else if (!previous) {
            fprintf(stderr, "This shouldn't happen! would only happen if node was head!\n");
            break;
        } else {
            previous->next = node->next;
            if (_cb_tail == node)
                _cb_tail = previous;
        }
        free(node);
        removed = true;
        break;
    }
    unlock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");
    return removed;
}

static void tessel_vlog(int32_t level, const char* file, unsigned line, const char* format, va_list args) {
    if (!is_initialized() || !format)
        return;

    lock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");
    if (!_cb_head) {
        unlock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");
        return;
    }

    char buffer[TESSEL_LOG_BUFFER_SIZE];
    int prefix = snprintf(buffer, sizeof buffer, "[%s@%u]: ", base_name(file ? file : ""), line);
    int written = -1;
    if (prefix >= 0 && prefix < TESSEL_LOG_BUFFER_SIZE)
        written = vsnprintf(buffer + prefix, TESSEL_LOG_BUFFER_SIZE - prefix, format, args);
    if (prefix < 0 || prefix >= TESSEL_LOG_BUFFER_SIZE || written < 0 ||
        written >= TESSEL_LOG_BUFFER_SIZE - prefix) {
        unlock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");
        fprintf(stderr,
                "error encountered or formatted string is too large to fit in log string buffer (ret: %d)\n",
                written);
        return;
    }

    // Arguments often carry text from the network or from files: the line
    // the callbacks see has its control characters escaped.
    char escaped[TESSEL_LOG_BUFFER_SIZE];
    memcpy(escaped, buffer, static_cast<size_t>(prefix));
    platform::EscapeLogText(std::string_view(buffer + prefix, static_cast<size_t>(written)),
                            platform::LiteralEndsOf(format), escaped + prefix,
                            sizeof escaped - static_cast<size_t>(prefix));
    for (log_callback_node* node = _cb_head; node; node = node->next) {
        if (node->fn)
            node->fn(level, escaped, node->user_data);
    }
    unlock_logger_mutex(&_cb_list_mutex, "&_cb_list_mutex");
}

void tessel_log(int32_t level, const char* file, unsigned line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    tessel_vlog(level, file, line, format, args);
    va_end(args);
}

void tessel_log_errno(int32_t level, const char* file, unsigned line, int errnum, const char* format, ...) {
    if (!is_initialized() || !format)
        return;

    char buffer[TESSEL_LOG_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    int written = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (written < 0 || written > TESSEL_LOG_BUFFER_SIZE - 2)
        return;

    size_t used = static_cast<size_t>(written);
    if (used + 2 >= sizeof buffer) {
        fprintf(stderr, "Failed to append ':' to log string!\n");
        return;
    }
    memcpy(buffer + used, ": ", 3);
    used += 2;

    // strerror_r (XSI form) writes into our buffer; a failed lookup gets the
    // numeric form instead.
    char text[256];
    int lookup = 0;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* message = strerror_r(errnum, text, sizeof text);
    if (!message) {
        lookup = EINVAL;
    } else if (message != text) {
        snprintf(text, sizeof text, "%s", message);
    }
#else
    lookup = strerror_r(errnum, text, sizeof text);
#endif
    if (lookup != 0)
        snprintf(buffer + used, sizeof buffer - used, "errnum %d [strerror_s() - %d]", errnum, lookup);
    else
        snprintf(buffer + used, sizeof buffer - used, "%s", text);

    tessel_log(level, file, line, "%s", buffer);
}
