// Decoding side of the codec: round trips of every response and message
// alternative, extensibility rules, the 32-bit INTEGER rule, failure messages,
// and the constraint checks of the module's constrained types.
#include <gtest/gtest.h>

#include "cloud/cv_codec.h"
#include "cloud_test_util.h"
#include "corvane_samples.h"

using namespace corvane_samples;

namespace {

asn_ptr<CorvaneQueryResponse_t> decode_response(const std::vector<unsigned char>& frame_bytes, int* rc) {
    auto resp = make_value<CorvaneQueryResponse_t>(&asn_DEF_CorvaneQueryResponse);
    *rc = cv_decode_response(frame_bytes.data(), frame_bytes.size(), resp.get());
    return resp;
}

// The DER of a response's version and header, to build hand-made responses.
std::vector<unsigned char> response_prefix() {
    auto resp = response(CorvaneQueryResponseData_PR_pingResponse);
    auto members = der_elements(der_elements(der(&asn_DEF_CorvaneQueryResponse, resp.get())).at(0).content);
    return concat({der_tlv(members.at(0).id, members[0].content), der_tlv(members.at(1).id, members[1].content)});
}

// A response frame whose data CHOICE carries `alternative` (identifier + content).
std::vector<unsigned char> response_with(const std::vector<unsigned char>& alternative) {
    return frame(0, der_tlv(0x30, concat({response_prefix(), der_tlv(0xA2, alternative)})));
}

std::vector<unsigned char> integer_content(long long value, size_t octets) {
    std::vector<unsigned char> out(octets);
    for (size_t i = 0; i < octets; i++)
        out[octets - 1 - i] = static_cast<unsigned char>(static_cast<unsigned long long>(value) >> (8 * i));
    return out;
}

}  // namespace

TEST(CodecDecode, EveryResponseAlternativeRoundTrips) {
    cv_log_capture log;
    for (int type = CorvaneQueryResponseData_PR_genResponse; type <= CorvaneQueryResponseData_PR_iosNetResponse;
         type++) {
        SCOPED_TRACE(type);
        auto original = response(static_cast<CorvaneQueryResponseData_PR>(type));
        auto bytes = response_frame(original.get());
        ASSERT_GT(bytes.size(), 5u);
        int rc;
        auto decoded = decode_response(bytes, &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(decoded->data.present, type);
        EXPECT_EQ(decoded->header.txid, 200);
        EXPECT_EQ(decoded->header.score, -5);
        // Same DER again: every member survived the trip.
        EXPECT_EQ(der(&asn_DEF_CorvaneQueryResponse, decoded.get()), der(&asn_DEF_CorvaneQueryResponse, original.get()));
    }
    EXPECT_TRUE(log.lines().empty());

    int rc;
    auto multi = decode_response(response_frame(response(CorvaneQueryResponseData_PR_fileMultiResponse, 5).get()), &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(multi->data.choice.fileMultiResponse.multidata.list.count, 5);
    EXPECT_EQ(multi->data.choice.fileMultiResponse.multidata.list.array[4]->score, 96);
    auto ios = decode_response(response_frame(response(CorvaneQueryResponseData_PR_iosNetResponse).get()), &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_NE(ios->data.choice.iosNetResponse.cacheableCidr, nullptr);
    EXPECT_EQ(*ios->data.choice.iosNetResponse.cacheableCidr, 16);
}

TEST(CodecDecode, MessagesRoundTrip) {
    for (auto* make : {+[] { return deliver_message("body"); }, +[] { return ack_message(7); }}) {
        auto original = make();
        auto bytes = message_frame(original.get());
        auto decoded = make_value<CorvaneMessage_t>(&asn_DEF_CorvaneMessage);
        ASSERT_EQ(cv_decode_message(bytes.size(), bytes.data(), decoded.get()), 0);
        EXPECT_EQ(decoded->present, original->present);
        EXPECT_EQ(der(&asn_DEF_CorvaneMessage, decoded.get()), der(&asn_DEF_CorvaneMessage, original.get()));
    }
}

TEST(CodecDecode, EmptyConstructedStringsEchoInAnAck) {
    // OCTET STRINGs in constructed form with no segments decode as empty
    // strings without a buffer; an acknowledgement echoing them still encodes.
    auto deliver = frame(1, der_tlv(0xA1, concat({{0xA0, 0x00}, der_tlv(0x81, std::vector<unsigned char>(16, 0x22)),
                                                   der_tlv(0x82, {5}), {0xA3, 0x00}})));
    auto message = make_value<CorvaneMessage_t>(&asn_DEF_CorvaneMessage);
    ASSERT_EQ(cv_decode_message(deliver.size(), deliver.data(), message.get()), 0);
    ASSERT_EQ(message->present, CorvaneMessage_PR_deliver);
    EXPECT_EQ(message->choice.deliver.id.size, 0);
    EXPECT_EQ(message->choice.deliver.data.size, 0);

    auto ack = make_value<CorvaneMessage_t>(&asn_DEF_CorvaneMessage);
    ack->present = CorvaneMessage_PR_ack;
    OCTET_STRING_fromBuf(&ack->choice.ack.id, reinterpret_cast<const char*>(message->choice.deliver.id.buf),
                         message->choice.deliver.id.size);
    OCTET_STRING_fromBuf(&ack->choice.ack.dst, reinterpret_cast<const char*>(message->choice.deliver.dst.buf),
                         message->choice.deliver.dst.size);
    unsigned char out[128];
    size_t size = sizeof out;
    ASSERT_EQ(cv_encode_message(message.get(), out, &size), 0);
    EXPECT_EQ(std::vector<unsigned char>(out + 5, out + 9), (std::vector<unsigned char>{0xA1, 0x19, 0x80, 0x00}));
    size = sizeof out;
    ASSERT_EQ(cv_encode_message(ack.get(), out, &size), 0);
    EXPECT_EQ(std::vector<unsigned char>(out + 5, out + 9), (std::vector<unsigned char>{0xA0, 0x17, 0x80, 0x00}));
}

TEST(CodecDecode, ExtensibilityRules) {
    cv_log_capture log;
    int rc;
    // An unknown alternative [9] of the extensible CHOICE: no alternative present.
    auto unknown = decode_response(response_with(der_tlv(0xA9, der_tlv(0x80, {1}))), &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(unknown->data.present, CorvaneQueryResponseData_PR_NOTHING);

    // An unknown trailing element of an extensible SEQUENCE is skipped.
    auto ping_members = concat({der_tlv(0x80, {1}), der_tlv(0x81, {2}), der_tlv(0x82, {3})});
    auto extended = decode_response(response_with(der_tlv(0xA1, concat({ping_members, der_tlv(0x85, {9, 9})}))), &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(extended->data.present, CorvaneQueryResponseData_PR_pingResponse);
    EXPECT_EQ(extended->data.choice.pingResponse.delta, 3);

    // CorvaneIOSNetResponse rejects anything but its two members.
    auto ios_ok = decode_response(response_with(der_tlv(0xA8, concat({der_tlv(0x80, {24}), der_tlv(0x81, {'n'})}))), &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(*ios_ok->data.choice.iosNetResponse.cacheableCidr, 24);
    log.clear();
    auto ios_bad = decode_response(response_with(der_tlv(0xA8, concat({der_tlv(0x80, {24}), der_tlv(0x82, {1})}))), &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(log.contains("ber_decode of ASN1 response has failed at byte"));
}

TEST(CodecDecode, IntegersBeyondThirtyTwoBitsFail) {
    auto with_version = [](const std::vector<unsigned char>& content) {
        auto resp = response(CorvaneQueryResponseData_PR_pingResponse);
        auto members = der_elements(der_elements(der(&asn_DEF_CorvaneQueryResponse, resp.get())).at(0).content);
        return frame(0, der_tlv(0x30, concat({der_tlv(0x80, content), der_tlv(0xA1, members.at(1).content),
                                              der_tlv(0xA2, members.at(2).content)})));
    };
    cv_log_capture log;
    int rc;
    auto max = decode_response(with_version(integer_content(2147483647, 4)), &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(max->version, 2147483647);
    auto min = decode_response(with_version(integer_content(-2147483648LL, 4)), &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(min->version, -2147483648LL);
    EXPECT_TRUE(log.lines().empty());

    decode_response(with_version(integer_content(2147483648LL, 5)), &rc);
    EXPECT_EQ(rc, -1);
    decode_response(with_version(integer_content(-2147483649LL, 5)), &rc);
    EXPECT_EQ(rc, -1);
    decode_response(with_version(integer_content(1LL << 40, 6)), &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(log.contains("RC_FAIL (2)"));

    // Nested members and the INTEGER-based types follow the same rule.
    auto big_online = concat({der_tlv(0x80, integer_content(4294967296LL, 5)), der_tlv(0x81, {2}), der_tlv(0x82, {3})});
    decode_response(response_with(der_tlv(0xA1, big_online)), &rc);
    EXPECT_EQ(rc, -1);
    auto ack = ack_message(0);
    auto ack_members = der_elements(der_elements(der(&asn_DEF_CorvaneMessage, ack.get())).at(0).content);
    auto big_ack = frame(1, der_tlv(0xA0, concat({der_tlv(0x80, ack_members.at(0).content),
                                                  der_tlv(0x81, ack_members.at(1).content),
                                                  der_tlv(0x82, integer_content(2147483648LL, 5))})));
    auto message = make_value<CorvaneMessage_t>(&asn_DEF_CorvaneMessage);
    EXPECT_EQ(cv_decode_message(big_ack.size(), big_ack.data(), message.get()), -1);
}

TEST(CodecDecode, FailureMessages) {
    cv_log_capture log;
    int rc;
    auto empty = decode_response(frame(0, {}), &rc);
    EXPECT_EQ(rc, -1);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("cv_decode_response(): ber_decode of ASN1 response has failed at byte 0: RC_WMORE "
                            "(1). Total len: 5 Resp len: 0 Msg: 00 00 00 01 00\n"));

    log.clear();
    auto resp = make_value<CorvaneQueryResponse_t>(&asn_DEF_CorvaneQueryResponse);
    const unsigned char four[4] = {0, 0, 0, 0};
    EXPECT_EQ(cv_decode_response(four, 4, resp.get()), -1);
    EXPECT_EQ(cv_decode_response(nullptr, 10, resp.get()), -1);
    EXPECT_EQ(cv_decode_response(four, 10, nullptr), -1);
    auto message = make_value<CorvaneMessage_t>(&asn_DEF_CorvaneMessage);
    EXPECT_EQ(cv_decode_message(3, four, message.get()), -1);
    EXPECT_EQ(cv_decode_message(10, nullptr, message.get()), -1);
    std::vector<unsigned char> junk = frame(1, {0x30, 0x05, 0x01});
    EXPECT_EQ(cv_decode_message(junk.size(), junk.data(), message.get()), -1);
    std::string all = log.text();
    EXPECT_NE(all.find("cv_decode_response(): Not enough data to decode, length of 4 is too small (< 5)\n"),
              std::string::npos);
    EXPECT_NE(all.find("cv_decode_response(): invalid parameter\n"), std::string::npos);
    EXPECT_NE(all.find("cv_decode_message: undersized input (3 bytes)\n"), std::string::npos);
    EXPECT_NE(all.find("cv_decode_message: invalid parameter\n"), std::string::npos);
    EXPECT_NE(all.find("cv_decode_message: ber_decode of ASN1 CorvaneMessage failed at byte: 0\n"), std::string::npos);

    // The dump of a long frame stops at 2000 characters.
    log.clear();
    std::vector<unsigned char> long_frame = frame(0, std::vector<unsigned char>(1000, 0x30));
    decode_response(long_frame, &rc);
    EXPECT_EQ(rc, -1);
    lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    size_t dump = lines[0].find("Msg:");
    ASSERT_NE(dump, std::string::npos);
    EXPECT_NE(lines[0].find("Total len: 1005 Resp len: 1000 "), std::string::npos);
    EXPECT_EQ(lines[0].size() - (dump + 4) - 1, CV_DECODE_DUMP_MAX);
}

TEST(CodecDecode, DeepNestingStopsAtTheStackLimit) {
    // An unknown element of indefinite length is skipped recursively; the
    // decoder's stack limit ends a deep one instead of the thread's stack.
    auto unknown_nested = [](int depth) {
        std::vector<unsigned char> inner = der_tlv(0x80, {1});
        for (int i = 0; i < depth; i++)
            inner = concat({{0xA5, 0x80}, inner, {0x00, 0x00}});
        return inner;
    };
    auto ping_members = concat({der_tlv(0x80, {1}), der_tlv(0x81, {2}), der_tlv(0x82, {3})});
    cv_log_capture log;
    int rc;
    decode_response(response_with(der_tlv(0xA1, concat({ping_members, unknown_nested(5)}))), &rc);
    EXPECT_EQ(rc, 0);
    decode_response(response_with(der_tlv(0xA1, concat({ping_members, unknown_nested(2000)}))), &rc);
    EXPECT_EQ(rc, -1);
}

TEST(CodecConstraints, ConstrainedTypesAcceptAndReject) {
    corvane_asn1_init();
    char errbuf[256];
    size_t errlen;
    auto check = [&](asn_TYPE_descriptor_t* type, const void* value) {
        errlen = sizeof errbuf;
        errbuf[0] = '\0';
        return asn_check_constraints(type, value, errbuf, &errlen);
    };
    // Coding a value first must not lose the type's own check.
    auto ack = ack_message(1);
    ASSERT_FALSE(der(&asn_DEF_CorvaneMessage, ack.get()).empty());

    long value = 0;
    EXPECT_EQ(check(&asn_DEF_U32BIT, &value), 0);
    value = 2147483647;
    EXPECT_EQ(check(&asn_DEF_U32BIT, &value), 0);
    value = -1;
    EXPECT_EQ(check(&asn_DEF_U32BIT, &value), -1);
    EXPECT_EQ(std::string(errbuf).rfind("U32BIT: constraint failed (", 0), 0u) << errbuf;

    value = -2147483647;
    EXPECT_EQ(check(&asn_DEF_S32BIT, &value), 0);
    value = -2147483648L;
    EXPECT_EQ(check(&asn_DEF_S32BIT, &value), -1);
    EXPECT_EQ(std::string(errbuf).rfind("S32BIT: constraint failed (", 0), 0u) << errbuf;

    for (size_t n : {15, 16, 17}) {
        UUID_t uuid{};
        set_octets(&uuid, std::string(n, 'u'));
        EXPECT_EQ(check(&asn_DEF_UUID, &uuid), n == 16 ? 0 : -1) << n;
        asn_DEF_OCTET_STRING.free_struct(&asn_DEF_OCTET_STRING, &uuid, 1);
    }

    for (size_t n : {2048, 2049}) {
        auto query = file_multi_query(1, 1);
        set_octets(&query->data.choice.fileMulti.url, std::string(n, 'u'));
        EXPECT_EQ(check(&asn_DEF_CorvaneFileMulti, &query->data.choice.fileMulti), n == 2048 ? 0 : -1) << n;
        // The codec does not run the checks: the long url still encodes.
        unsigned char buf[8192];
        size_t size = sizeof buf;
        EXPECT_EQ(cv_encode_query(query.get(), buf, &size, nullptr), 0);
    }
}

// A CHOICE of indefinite length whose end-of-contents octets are 00 1F: the
// generated decoder used to loop on them for ever (found by fuzzing).
TEST(CodecDecode, IndefiniteChoiceWithBrokenEndOfContentsFails) {
    const std::vector<unsigned char> frame_bytes = {
        0x00, 0x00, 0x00, 0x4a, 0x00, 0x30, 0x80, 0x80, 0x01, 0xf2, 0xa1, 0x3e, 0x80, 0x02, 0x00, 0xc8, 0x81,
        0x01, 0x4d, 0x82, 0x01, 0x03, 0x83, 0x10, 0x01, 0x23, 0x01, 0x81, 0x01, 0x02, 0x82, 0x01, 0x03, 0xa1,
        0x19, 0x80, 0x01, 0x01, 0x00, 0x00, 0x84, 0x0f, 0x2f, 0x30, 0x30, 0x30, 0x30, 0x31, 0x38, 0x31, 0x31,
        0x39, 0x35, 0x36, 0x21, 0x35, 0x5a, 0x85, 0x01, 0x01, 0x86, 0x01, 0x02, 0x87, 0x01, 0xfb, 0x88, 0x01,
        0x08, 0x89, 0x03, 0x68, 0x64, 0x72, 0xa2, 0x80, 0xa7, 0x00, 0x00, 0x1f, 0xda};
    cv_log_capture log;
    int rc = 0;
    auto resp = decode_response(frame_bytes, &rc);
    EXPECT_EQ(rc, -1);
}
