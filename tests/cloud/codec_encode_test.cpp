// Encoding side of the codec: byte layouts of queries, messages and frames,
// the execution-context retry, the frame header writers, and a cross-check of
// our DER with the openssl command.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "cloud/cv_codec.h"
#include "corvane_runtime.h"
#include "cloud_test_util.h"
#include "corvane_samples.h"

using namespace corvane_samples;

namespace {

std::vector<unsigned char> encode_query(CorvaneQuery_t* query, size_t capacity = 65536, uint8_t* truncated = nullptr) {
    std::vector<unsigned char> out(capacity);
    size_t size = capacity;
    if (cv_encode_query(query, out.data(), &size, truncated) != 0)
        return {};
    out.resize(size);
    return out;
}

// The members of the query body inside [2] EXPLICIT { [n] IMPLICIT body }.
std::vector<der_element> query_body(const std::vector<unsigned char>& der) {
    auto top = der_elements(der);
    EXPECT_EQ(top.size(), 1u);
    auto members = der_elements(top.at(0).content);
    EXPECT_EQ(members.size(), 3u);
    auto alternative = der_elements(members.at(2).content);
    EXPECT_EQ(alternative.size(), 1u);
    return der_elements(alternative.at(0).content);
}

}  // namespace

TEST(CodecEncode, PingQueryLayout) {
    auto query = ping_query(200);
    auto der = encode_query(query.get());
    ASSERT_FALSE(der.empty());

    // 30 L, 80 01 version, A1 L header, A2 L (explicit CHOICE wrapper), A2 L (ping).
    EXPECT_EQ(der[0], 0x30);
    auto members = der_elements(der_elements(der).at(0).content);
    EXPECT_EQ(der_ids(members), (std::vector<unsigned char>{0x80, 0xA1, 0xA2}));
    EXPECT_EQ(members[0].content, (std::vector<unsigned char>{7}));
    auto wrapped = der_elements(members[2].content);
    ASSERT_EQ(wrapped.size(), 1u);
    EXPECT_EQ(wrapped[0].id, 0xA2);
    EXPECT_EQ(der_ids(der_elements(wrapped[0].content)), (std::vector<unsigned char>{0x80, 0x81, 0x82, 0x83}));

    // txid 200 needs two content octets: 80 02 00 C8.
    auto header = der_elements(members[1].content);
    EXPECT_EQ(der_ids(header), (std::vector<unsigned char>{0x80, 0x81, 0x82, 0x83, 0x84, 0x85}));
    EXPECT_EQ(header[0].content, (std::vector<unsigned char>{0x00, 0xC8}));
    EXPECT_EQ(header[2].content.size(), 15u);  // YYYYMMDDHHMMSSZ
    EXPECT_EQ(header[3].content.size(), 16u);
}

TEST(CodecEncode, TaggedElementsOfSequenceOf) {
    auto without = query_body(encode_query(ping_retro_query(false).get()));
    EXPECT_EQ(der_ids(without), (std::vector<unsigned char>{0x80, 0x81, 0x82, 0x83, 0x84}));

    auto with = query_body(encode_query(ping_retro_query(true).get()));
    ASSERT_EQ(with.size(), 6u);
    EXPECT_EQ(with[5].id, 0xA5);
    auto status = der_elements(with[5].content);
    ASSERT_EQ(der_ids(status), (std::vector<unsigned char>{0x80, 0xA1}));
    auto engines = der_elements(status[1].content);
    EXPECT_EQ(der_ids(engines), (std::vector<unsigned char>{0xB4, 0xB4}));
    // Untagged members of the engine status: INTEGER, OCTET STRING, INTEGER, then [2].
    EXPECT_EQ(der_ids(der_elements(engines[0].content)), (std::vector<unsigned char>{0x02, 0x04, 0x02, 0x82}));

    auto multi = query_body(encode_query(file_multi_query(3, 2).get()));
    ASSERT_GE(multi.size(), 3u);
    EXPECT_EQ(multi[1].id, 0xA1);
    EXPECT_EQ(der_ids(der_elements(multi[1].content)), (std::vector<unsigned char>{0xA7, 0xA7, 0xA7}));
    EXPECT_EQ(der_ids(der_elements(multi[2].content)), (std::vector<unsigned char>{0xA7, 0xA7}));

    auto resp = response(CorvaneQueryResponseData_PR_fileMultiResponse, 3);
    auto resp_der = der(&asn_DEF_CorvaneQueryResponse, resp.get());
    auto resp_members = der_elements(der_elements(resp_der).at(0).content);
    auto body = der_elements(der_elements(resp_members.at(2).content).at(0).content);
    EXPECT_EQ(der_ids(der_elements(body.at(0).content)), (std::vector<unsigned char>{0xAA, 0xAA, 0xAA}));
    EXPECT_EQ(der_ids(der_elements(body.at(1).content)), (std::vector<unsigned char>{0xAA}));
}

TEST(CodecEncode, QueryAndMessageFrames) {
    // Grow the header data until the payload is exactly 100 bytes.
    auto query = ping_query(1);
    std::vector<unsigned char> der;
    for (size_t extra = 0; extra < 100 && der.size() != 100; extra++) {
        set_octets(&query->header.data, std::string(extra, 'x'));
        der = encode_query(query.get());
    }
    ASSERT_EQ(der.size(), 100u);
    unsigned char frame_buf[256];
    size_t size = sizeof frame_buf;
    ASSERT_EQ(cv_encode_query_tcp(query.get(), frame_buf, &size, nullptr), 0);
    ASSERT_EQ(size, 105u);
    EXPECT_EQ(std::vector<unsigned char>(frame_buf, frame_buf + 5), (std::vector<unsigned char>{0, 0, 0, 0x65, 0}));
    EXPECT_EQ(std::vector<unsigned char>(frame_buf + 5, frame_buf + 105), der);

    // Too small for the payload, and too small for a header.
    cv_log_capture log;
    size = 104;
    EXPECT_EQ(cv_encode_query_tcp(query.get(), frame_buf, &size, nullptr), -1);
    EXPECT_TRUE(log.contains("cv_encode_query_tcp(): cv_encode_query failed"));
    size = 4;
    EXPECT_EQ(cv_encode_query_tcp(query.get(), frame_buf, &size, nullptr), -1);

    auto ack = ack_message(3);
    size = sizeof frame_buf;
    ASSERT_EQ(cv_encode_message(ack.get(), frame_buf, &size), 0);
    auto ack_der = corvane_samples::der(&asn_DEF_CorvaneMessage, ack.get());
    EXPECT_EQ(size, ack_der.size() + 5);
    EXPECT_EQ(frame_buf[3], ack_der.size() + 1);
    EXPECT_EQ(frame_buf[4], 0x01);
    EXPECT_EQ(std::vector<unsigned char>(frame_buf + 5, frame_buf + size), ack_der);

    log.clear();
    size = 10;
    EXPECT_EQ(cv_encode_message(ack.get(), frame_buf, &size), -1);
    EXPECT_TRUE(log.contains("cv_encode_message: der_encode_to_buffer failed.\n"));
}

TEST(CodecEncode, FileMultiRetriesWithoutExecutionContext) {
    const std::string cwd = "d";
    CorvaneFileExecutionCtx_t* ctx = exec_ctx({"a", "bc"}, &cwd);
    auto query = file_multi_query(1, 1, ctx, 3000);
    auto full = encode_query(query.get());
    auto bare = query_body(full);
    ASSERT_EQ(bare.size(), 8u);
    EXPECT_EQ(bare[7].id, 0xA7);

    // Room for the query without its context only.
    cv_log_capture log;
    uint8_t truncated = 9;
    auto shorter = encode_query(query.get(), full.size() - 5, &truncated);
    ASSERT_FALSE(shorter.empty());
    EXPECT_EQ(truncated, 1);
    EXPECT_TRUE(log.contains("cv_encode_query(): der_encode_to_buffer failed; will retry this file multi query by "
                             "dropping 4 characters from the execution context"));
    EXPECT_EQ(query_body(shorter).size(), 7u);

    // The caller's query still carries its context.
    ASSERT_EQ(query->data.choice.fileMulti.ctx, ctx);
    ASSERT_EQ(ctx->argv->list.count, 2);
    EXPECT_EQ(encode_query(query.get()), full);

    // A query that fits keeps its context and clears the flag.
    EXPECT_EQ(encode_query(query.get(), 65536, &truncated), full);
    EXPECT_EQ(truncated, 0);

    // Too large even without the context.
    log.clear();
    EXPECT_TRUE(encode_query(query.get(), 1000, &truncated).empty());
    EXPECT_EQ(truncated, 0);
    EXPECT_TRUE(log.contains("cv_encode_query(): der_encode_to_buffer failed\n"));

    // Without a context (or with an empty one) there is nothing to drop.
    log.clear();
    auto plain = file_multi_query(1, 1, nullptr, 3000);
    EXPECT_TRUE(encode_query(plain.get(), 1000).empty());
    EXPECT_FALSE(log.contains("will retry"));
    size_t zero = 0;
    unsigned char byte;
    EXPECT_EQ(cv_encode_query(plain.get(), &byte, &zero, nullptr), -1);
}

TEST(CodecEncode, FrameHeaderWriters) {
    cv_log_capture log;
    unsigned char bytes[6] = {};
    cv_serial_buf cursor{bytes, sizeof bytes};
    EXPECT_EQ(put4(&cursor, 0x01020304), 0);
    EXPECT_EQ(put1(&cursor, 0xAB), 0);
    EXPECT_EQ(cursor.buf, bytes + 5);
    EXPECT_EQ(cursor.size, 1u);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 5), (std::vector<unsigned char>{1, 2, 3, 4, 0xAB}));
    EXPECT_TRUE(log.lines().empty());

    EXPECT_EQ(put4(&cursor, 1), -1);
    EXPECT_EQ(cursor.size, 1u);
    cv_serial_buf null_cursor{nullptr, 10};
    EXPECT_EQ(put1(&null_cursor, 1), -1);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "serialization error: put4 not enough room\n");
    EXPECT_EQ(lines[1], "serialization error: put1 buf->buf is NULL\n");
}

// ---- Cross-check with openssl asn1parse ---------------------------------------

namespace {

// "depth class-and-tag" for every element openssl prints, e.g. "1 cons: cont [ 1 ]".
std::vector<std::string> openssl_structure(const std::vector<unsigned char>& der) {
    char path[] = "/tmp/dtk-cloud-der-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, der.data(), der.size()), static_cast<ssize_t>(der.size()));
    close(fd);
    std::string command = std::string("openssl asn1parse -inform DER -in ") + path + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    std::string output;
    char chunk[4096];
    size_t n;
    while (pipe && (n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, n);
    int status = pipe ? pclose(pipe) : -1;
    unlink(path);
    EXPECT_EQ(status, 0) << output;

    std::vector<std::string> structure;
    std::regex line_re(R"(^\s*\d+:d=(\d+)\s+hl=\d+\s+l=\s*\d+\s+(prim|cons):\s+(.*?)\s*(:.*)?$)");
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, line_re))
            structure.push_back(m[1].str() + " " + m[2].str() + ": " + m[3].str());
        else
            ADD_FAILURE() << "unexpected asn1parse line: " << line;
    }
    return structure;
}

}  // namespace

TEST(CodecEncode, OpensslReadsOurDer) {
    auto ping = openssl_structure(encode_query(ping_query(200).get()));
    const std::vector<std::string> header = {
        "1 cons: cont [ 1 ]", "2 prim: cont [ 0 ]", "2 prim: cont [ 1 ]", "2 prim: cont [ 2 ]",
        "2 prim: cont [ 3 ]", "2 prim: cont [ 4 ]", "2 prim: cont [ 5 ]",
    };
    std::vector<std::string> expected = {"0 cons: SEQUENCE", "1 prim: cont [ 0 ]"};
    expected.insert(expected.end(), header.begin(), header.end());
    expected.insert(expected.end(), {"1 cons: cont [ 2 ]", "2 cons: cont [ 2 ]", "3 prim: cont [ 0 ]",
                                     "3 prim: cont [ 1 ]", "3 prim: cont [ 2 ]", "3 prim: cont [ 3 ]"});
    EXPECT_EQ(ping, expected);

    const std::string cwd = "/home";
    auto multi = openssl_structure(encode_query(file_multi_query(2, 1, exec_ctx({"run", "-x"}, &cwd)).get()));
    std::vector<std::string> file_members = {"5 prim: cont [ 0 ]", "5 prim: cont [ 1 ]", "5 prim: cont [ 2 ]",
                                             "5 prim: cont [ 3 ]", "5 prim: cont [ 4 ]", "5 prim: cont [ 5 ]"};
    expected = {"0 cons: SEQUENCE", "1 prim: cont [ 0 ]"};
    expected.insert(expected.end(), header.begin(), header.end());
    expected.insert(expected.end(), {"1 cons: cont [ 2 ]", "2 cons: cont [ 6 ]", "3 prim: cont [ 0 ]",
                                     "3 cons: cont [ 1 ]", "4 cons: cont [ 7 ]"});
    expected.insert(expected.end(), file_members.begin(), file_members.end());
    expected.push_back("4 cons: cont [ 7 ]");
    expected.insert(expected.end(), file_members.begin(), file_members.end());
    expected.insert(expected.end(), {"3 cons: cont [ 2 ]", "4 cons: cont [ 7 ]"});
    expected.insert(expected.end(), file_members.begin(), file_members.end());
    expected.insert(expected.end(), {"3 prim: cont [ 3 ]", "3 cons: cont [ 4 ]", "4 prim: cont [ 0 ]",
                                     "4 prim: cont [ 1 ]", "3 prim: cont [ 5 ]", "3 prim: cont [ 6 ]",
                                     "3 cons: cont [ 7 ]", "4 cons: cont [ 0 ]", "5 prim: OCTET STRING",
                                     "5 prim: OCTET STRING", "4 prim: cont [ 2 ]"});
    EXPECT_EQ(multi, expected);

    auto ack = openssl_structure(der(&asn_DEF_CorvaneMessage, ack_message(5).get()));
    EXPECT_EQ(ack, (std::vector<std::string>{"0 cons: cont [ 0 ]", "1 prim: cont [ 0 ]", "1 prim: cont [ 1 ]",
                                             "1 prim: cont [ 2 ]"}));
}

// A time stamp already in canonical form is written as it is; any other
// goes through the generic encoder, which normalises it. Either way the
// bytes are the generic encoder's.
TEST(CodecEncode, TimeStampsEncodeAsTheGenericEncoderDoes) {
    auto encode = [](asn_enc_rval_t (*encoder)(asn_TYPE_descriptor_t*, void*, int, ber_tlv_tag_t,
                                                 asn_app_consume_bytes_f*, void*),
                     const std::string& text) {
        GeneralizedTime_t stamp{};
        stamp.buf = reinterpret_cast<uint8_t*>(const_cast<char*>(text.data()));
        stamp.size = static_cast<int>(text.size());
        std::string out;
        auto collect = [](const void* bytes, size_t size, void* to) {
            static_cast<std::string*>(to)->append(static_cast<const char*>(bytes), size);
            return 0;
        };
        return encoder(&asn_DEF_GeneralizedTime, &stamp, 0, 0, collect, &out).encoded < 0 ? std::string("failed") : out;
    };
    corvane_asn1_init();  // installs the encoder
    const struct {
        const char* text;
        const char* der_text;  // what the stamp becomes
    } cases[] = {
        {"20261208052000Z", "20261208052000Z"},  {"20240229235959Z", "20240229235959Z"},
        {"20230229000000Z", "20230301000000Z"},  {"20261231235960Z", "20270101000000Z"},
        {"20261208052000.50Z", "20261208052000.5Z"}, {"20261208052000+0100", "20261208042000Z"},
        {"2026120805Z", "20261208050000Z"},
    };
    for (const auto& c : cases) {
        const std::string fast = encode(asn_DEF_GeneralizedTime.der_encoder, c.text);
        EXPECT_EQ(fast, encode(GeneralizedTime_encode_der, c.text)) << c.text;
        EXPECT_EQ(fast.substr(2), c.der_text) << c.text;
        EXPECT_EQ(static_cast<unsigned char>(fast[0]), 0x18u) << c.text;
    }
    EXPECT_NE(asn_DEF_GeneralizedTime.der_encoder, GeneralizedTime_encode_der);
}
