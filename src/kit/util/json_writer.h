// A minimal JSON object writer for flat objects of string members, used for
// the enrolment password. Any failure empties the writer; later calls then do
// nothing and json_writer_end returns null.
#pragma once

#include <cstddef>

struct json_writer {
    char* text;
    size_t capacity;
    size_t length;
    bool first;  // no member written yet
};

// Empties the writer (wiping what it held) and opens the object. Start from
// a zeroed record.
void json_writer_begin(json_writer* w);
// Appends "name":"value" with control characters, quote and backslash escaped.
void json_writer_string(json_writer* w, const char* name, const char* value);
// Closes the object; the text stays owned by the writer (null after a failure).
const char* json_writer_end(json_writer* w);
// Wipes and frees the text.
void json_writer_free(json_writer* w);
