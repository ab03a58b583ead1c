// The host's error and trace lines: sink, file, formats.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

#include "Util.h"
#include "host_log.h"
#include "support/log_capture.h"
#include "temp_dir.h"

namespace {

TEST(HostLog, SinkReceivesKindCategoryAndOneLineText) {
    LogCapture log;
    error("TesselWrapper::Init: failed with %d", 8);
    trace(kTesselTraceCategory, "TesselWrapper::Init: %s", "ready");
    trace(0x20, L"wide %ls and %s: %d", L"gr\u00fc\u00dfe", "bytes", 3);
    error(L"\n***EST [ERROR][%ls:%d]--> line one\nline two\n", L"est_client_enroll", 42);
    error("Proxy::GetSystemProxyInfo %s", "\x1b[2K\t\x7f\xc2\x9b" "forged \xc2\xa0ok");

    auto entries = log.entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].kind, hostkit::LogKind::Error);
    EXPECT_EQ(entries[0].category, 0u);
    EXPECT_EQ(entries[0].text, "TesselWrapper::Init: failed with 8");
    EXPECT_EQ(entries[1].kind, hostkit::LogKind::Trace);
    EXPECT_EQ(entries[1].category, 0x1000u);
    EXPECT_EQ(entries[2].category, 0x20u);
    EXPECT_EQ(entries[2].text, "wide gr\xc3\xbc\xc3\x9f" "e and bytes: 3");
    EXPECT_EQ(entries[3].text, "***EST [ERROR][est_client_enroll:42]--> line one line two");
    EXPECT_EQ(entries[4].text, "Proxy::GetSystemProxyInfo \\x1b[2K\\x09\\x7f\\xc2\\x9b" "forged \xc2\xa0ok");
    EXPECT_TRUE(log.containsError("failed with 8"));
    EXPECT_FALSE(log.containsError("ready"));
    EXPECT_TRUE(log.containsTrace("ready"));
    EXPECT_FALSE(log.containsTrace("wide"));  // category 0x20, not 0x1000
    EXPECT_EQ(log.count("TesselWrapper::Init"), 2u);
}

TEST(HostLog, LongLinesAreWhole) {
    LogCapture log;
    std::string big(20000, 'z');
    trace(kTesselTraceCategory, "%s!", big.c_str());
    std::wstring wideBig(5000, L'\u00e9');
    error(L"%ls!", wideBig.c_str());
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], big + "!");
    EXPECT_EQ(lines[1].size(), 10001u);
}

TEST(HostLog, LinesFromManyThreadsAllArriveIntact) {
    LogCapture log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                trace(kTesselTraceCategory, "thread %d line %d end", t, i);
        });
    for (auto& thread : threads)
        thread.join();
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 800u);
    std::regex shape("thread [0-3] line [0-9]+ end");
    for (const auto& line : lines)
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
}

TEST(HostLog, FileGetsTimeStampedLines) {
    TempDir dir;
    const std::string path = dir.file("agent.log");
    std::string err;
    ASSERT_TRUE(hostkit::SetLogFile(path, &err)) << err;
    error("first %s", "failure");
    trace(kTesselTraceCategory, L"second \u00e4");
    ASSERT_TRUE(hostkit::SetLogFile(""));
    std::ifstream in(path);
    std::string one, two, three;
    ASSERT_TRUE(std::getline(in, one));
    ASSERT_TRUE(std::getline(in, two));
    EXPECT_FALSE(std::getline(in, three));
    EXPECT_TRUE(std::regex_search(one, std::regex("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z ERROR first failure$")))
        << one;
    EXPECT_TRUE(std::regex_search(two, std::regex("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z TRACE 0x1000 second \xc3\xa4$")))
        << two;

    EXPECT_FALSE(hostkit::SetLogFile(dir.file("missing/agent.log"), &err));
    EXPECT_NE(err.find("cannot open log file"), std::string::npos);
}

TEST(HostLog, SinkIsGoneAfterCaptureEnds) {
    std::vector<std::string> seen;
    {
        LogCapture log;
        error("inside");
        seen = log.lines();
    }
    EXPECT_EQ(seen, std::vector<std::string>{"inside"});
    // Lines after the capture go to standard error; the capture must not be
    // called (it no longer exists: the sanitizers would catch it).
    testing::internal::CaptureStderr();
    error("outside");
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(" ERROR outside"), std::string::npos) << out;
}

}  // namespace
