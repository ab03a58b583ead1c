// The EST client's log sink and the JSON writer of the enrolment password.
#include <algorithm>
#include <cstdarg>

#include "kit/tessel_logger.h"

#include "kit/registration_manager/registration_certificate_private.h"
#include "kit/util/json_writer.h"
#include "regkit/steps_fixture.h"

namespace steps_test {
namespace {

void sink(const char* format, ...) __attribute__((format(printf, 1, 2)));
void sink(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    registration_est_log_sink(format, ap);
    va_end(ap);
}

std::vector<std::string> info_lines(const testbed::KitLogCapture& log) {
    std::vector<std::string> out;
    // Without the kit's "[file@line]: " prefix.
    for (const auto& l : log.lines()) {
        size_t start = l.text.find("]: ");
        if (l.level == 6) out.push_back(start == std::string::npos ? l.text : l.text.substr(start + 3));
    }
    return out;
}

TEST(EstLogSink, RecordsBecomeWholeLines) {
    testbed::KitLogCapture log;
    // The EST client's shape: a record opens with a line feed and its header,
    // the message follows in another call.
    sink("\n***EST [ERROR][%s:%d]--> ", "est_client_enroll", 42);
    sink("%s", "enrolment failed");
    EXPECT_TRUE(info_lines(log).empty());
    sink("\n***EST [INFO][%s:%d]--> ", "est_io_read_raw", 7);
    sink("read %d bytes\nsecond line", 12);
    registration_est_log_flush();
    EXPECT_EQ(info_lines(log), (std::vector<std::string> {"***EST [ERROR][est_client_enroll:42]--> enrolment failed",
                                                          "***EST [INFO][est_io_read_raw:7]--> read 12 bytes",
                                                          "second line"}));
}

TEST(EstLogSink, NeverWritesPastItsBuffer) {
    testbed::KitLogCapture log;
    // One text longer than the buffer: cut at its end.
    std::string huge(3 * REGISTRATION_EST_LOG_SIZE, 'h');
    sink("%s\n", huge.c_str());
    // Many pieces without a line feed: each full buffer goes out as a line.
    std::string piece(999, 'p');
    for (int i = 0; i < 25; i++) sink("%s", piece.c_str());
    sink("\n");
    size_t hs = 0, pieces = 0;
    for (const std::string& l : info_lines(log)) {
        EXPECT_LT(l.size(), static_cast<size_t>(TESSEL_LOG_BUFFER_SIZE));
        hs += static_cast<size_t>(std::count(l.begin(), l.end(), 'h'));
        pieces += static_cast<size_t>(std::count(l.begin(), l.end(), 'p'));
    }
    EXPECT_EQ(hs, REGISTRATION_EST_LOG_SIZE - 1);  // cut at the buffer's end, and logged whole
    EXPECT_EQ(pieces, 25u * 999u);  // nothing of the pieces lost
}

TEST(EstLogSink, ThreadsKeepTheirLinesApart) {
    testbed::KitLogCapture log;
    constexpr int kLines = 200;
    auto writer = [](char mark) {
        const std::string word(8, mark);
        for (int i = 0; i < kLines; i++) {
            sink("%s", word.c_str());
            sink("-%s", word.c_str());
            sink("-%s\n", word.c_str());
        }
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    int a_lines = 0, b_lines = 0;
    for (const std::string& l : info_lines(log)) {
        bool has_a = l.find("aaaaaaaa") != std::string::npos;
        bool has_b = l.find("bbbbbbbb") != std::string::npos;
        EXPECT_FALSE(has_a && has_b) << l;
        if (has_a) {
            a_lines++;
            EXPECT_NE(l.find("aaaaaaaa-aaaaaaaa-aaaaaaaa"), std::string::npos) << l;
        }
        if (has_b) {
            b_lines++;
            EXPECT_NE(l.find("bbbbbbbb-bbbbbbbb-bbbbbbbb"), std::string::npos) << l;
        }
    }
    EXPECT_EQ(a_lines, kLines);
    EXPECT_EQ(b_lines, kLines);
}

TEST(JsonWriter, EscapesAndGrows) {
    json_writer w {};
    json_writer_begin(&w);
    json_writer_string(&w, "devid", "a\tb\"c\\d");
    std::string long_value(3000, 'v');
    json_writer_string(&w, "long", long_value.c_str());
    const char* text = json_writer_end(&w);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), "{\"devid\":\"a\\u0009b\\\"c\\\\d\",\"long\":\"" + long_value + "\"}");
    EXPECT_EQ(w.capacity % 1024, 0u);

    // A failure empties the writer for good.
    json_writer_begin(&w);
    json_writer_string(&w, "x", nullptr);
    json_writer_string(&w, "y", "z");
    EXPECT_EQ(json_writer_end(&w), nullptr);
    json_writer_free(&w);
}

}  // namespace
}  // namespace steps_test
