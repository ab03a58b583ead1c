#include "kit/util/json_writer.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void fail(json_writer* w) {
    json_writer_free(w);
}

// Room for `needed` more bytes and a terminator; the capacity grows in 1 KiB steps.
bool reserve(json_writer* w, size_t needed) {
    if (!w->text) return false;
    if (w->capacity - w->length >= needed + 1) return true;
    size_t capacity = (needed + w->capacity + 1) / 1024 * 1024 + 1024;
    // Not realloc: the old text may hold a secret and is wiped before release.
    auto* grown = static_cast<char*>(malloc(capacity));
    if (!grown) {
        fail(w);
        return false;
    }
    memcpy(grown, w->text, w->length + 1);
    OPENSSL_cleanse(w->text, w->capacity);
    free(w->text);
    w->text = grown;
    w->capacity = capacity;
    return true;
}

void append(json_writer* w, const char* s, size_t n) {
    if (!reserve(w, n)) return;
    memcpy(w->text + w->length, s, n);
    w->length += n;
    w->text[w->length] = '\0';
}

void append_escaped(json_writer* w, const char* value) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p && w->text; p++) {
        char esc[8];
        if (*p < 0x20) {
            snprintf(esc, sizeof esc, "\\u%04x", *p);
            append(w, esc, 6);
        } else if (*p == '"' || *p == '\\') {
            esc[0] = '\\';
            esc[1] = static_cast<char>(*p);
            append(w, esc, 2);
        } else {
            append(w, reinterpret_cast<const char*>(p), 1);
        }
    }
}

}  // namespace

void json_writer_begin(json_writer* w) {
    json_writer_free(w);
    w->text = static_cast<char*>(calloc(1, 1024));
    if (!w->text) return;
    w->capacity = 1024;
    append(w, "{", 1);
    w->first = true;
}

void json_writer_string(json_writer* w, const char* name, const char* value) {
    if (!w->text || !name || !value) {
        fail(w);
        return;
    }
    if (!reserve(w, strlen(name) + 10)) return;
    if (!w->first) append(w, ",", 1);
    append(w, "\"", 1);
    append(w, name, strlen(name));
    append(w, "\":\"", 3);
    append_escaped(w, value);
    append(w, "\"", 1);
    w->first = false;
}

const char* json_writer_end(json_writer* w) {
    if (!w->text) return nullptr;
    append(w, "}", 1);
    return w->text;
}

void json_writer_free(json_writer* w) {
    if (w->text) {
        OPENSSL_cleanse(w->text, w->capacity);
        free(w->text);
    }
    w->text = nullptr;
    w->capacity = 0;
    w->length = 0;
    w->first = false;
}
