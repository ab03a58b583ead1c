// Text from the network reaches every log writer (kit logger, EST client,
// cloud client) with its control characters escaped, while the line breaks a
// message's own format begins or ends with stay.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "cloud/cv_cloud_lock.h"
#include "est/est.h"
#include "kit/tessel_logger.h"
#include "platform/log_escape.h"

namespace {

// What a hostile peer sends: a line end, a terminal escape and a forged line.
constexpr const char* HOSTILE = "ok\r\x1b[2K\n[TESSEL-WIN] forged\t\x7f\x01\xc2\x9b";
constexpr const char* ESCAPED = "ok\\r\\x1b[2K\\n[TESSEL-WIN] forged\\t\\x7f\\x01\\xc2\\x9b";

std::vector<std::string> kit_lines;
int KitLine(int32_t, const char* message, void*) {
    kit_lines.emplace_back(message);
    return 0;
}

std::string est_text;
void EstSink(const char* format, va_list ap) {
    char buf[512];
    vsnprintf(buf, sizeof buf, format, ap);
    est_text += buf;
}

std::vector<std::string> cloud_lines;
void CloudLine(const char* line, void*) { cloud_lines.emplace_back(line); }

TEST(LogLineEscape, NetworkTextIsEscapedInEveryWriter) {
    // The kit logger: arguments escaped, the prefix kept.
    tessel_logger_deinit();
    ASSERT_EQ(tessel_logger_init(), 0);
    int32_t id = tessel_logger_register_callback(KitLine, nullptr);
    ASSERT_GE(id, 0);
    tessel_log(TESSEL_LOG_NOTICE, "/src/unit.cpp", 7, "server said %s.", HOSTILE);
    tessel_log_errno(TESSEL_LOG_ERR, "unit.cpp", 8, ENOENT, "lease %s", "\n");
    tessel_logger_deinit();
    EXPECT_EQ(kit_lines, (std::vector<std::string>{std::string("[unit.cpp@7]: server said ") + ESCAPED + ".",
                                                   "[unit.cpp@8]: lease \\n: No such file or directory"}));

    // The EST client: the record's leading line feed and a message's own
    // trailing one stay, the server's are escaped.
    est_set_log_level(EST_LOG_LVL_INFO);
    est_set_log_sink(EstSink);
    EST_LOG_ERR("answer: %s", HOSTILE);
    EST_LOG_INFO("Found %d HTTP headers\n", 3);
    est_set_log_sink(nullptr);
    EXPECT_NE(est_text.find(std::string("\n***EST [ERROR][") + "TestBody:"), std::string::npos) << est_text;
    EXPECT_NE(est_text.find(std::string("]--> answer: ") + ESCAPED + "\n***EST [INFO]["), std::string::npos)
        << est_text;
    EXPECT_EQ(est_text.substr(est_text.size() - 21), "Found 3 HTTP headers\n") << est_text;

    // The cloud client's error writer: one line per message.
    cv_log_set_sink(CloudLine, nullptr);
    errno = 0;
    cv_log_error("%s(): response text %s", "reader", HOSTILE);
    cv_log_set_sink(nullptr, nullptr);
    ASSERT_EQ(cloud_lines.size(), 1u);
    std::string expected = std::string(": ERROR: reader(): response text ") + ESCAPED + "\n";
    EXPECT_EQ(cloud_lines[0].substr(cloud_lines[0].size() - expected.size()), expected) << cloud_lines[0];
}

TEST(LogLineEscape, EscapesAreNeverCutAndLiteralEndsFollowTheFormat) {
    struct Case {
        const char* format;
        size_t head, tail;
    } cases[] = {
        {"\n***EST [%s:%d]--> ", 9, 5}, {"%s(): pthread_once failed: %d\n", 0, 1}, {"plain\ttext\n", 11, 0},
        {"%%d %5.2f%%", 0, 0},          {"a%-*sb", 1, 1},                          {"", 0, 0},
    };
    for (const Case& c : cases) {
        platform::FormatLiteralEnds ends = platform::LiteralEndsOf(c.format);
        EXPECT_EQ(ends.head, c.head) << c.format;
        EXPECT_EQ(ends.tail, c.tail) << c.format;
    }
    // A buffer one byte short of the last escape ends before it.
    char buf[8];
    EXPECT_EQ(platform::EscapeLogText("ab\x1b", {}, buf, 6), 2u);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(platform::EscapeLogText("ab\x1b", {}, buf, 7), 6u);
    EXPECT_STREQ(buf, "ab\\x1b");
    EXPECT_EQ(platform::LogSafe("\n\x01"), "\\n\\x01");
}

}  // namespace
