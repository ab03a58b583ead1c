// Shared pieces of the EST tests: one test PKI per process, an EST server per
// fixture, a captured EST log at the highest level, and the check that no
// secret a test registered ever reached the log.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "est/est.h"
#include "testbed/est_server.h"
#include "testbed/pki.h"

namespace est_test {

testbed::Pki& pki();
// The captured EST log since the last clear.
std::string log_text();
void clear_log();
// The capturing sink, and installing it at the info level.
void capture_sink(const char* format, va_list ap);
void capture_log();

// A CSR for `key` with the given common name.
testbed::X509ReqPtr csr_for(EVP_PKEY* key, const std::string& cn = "dtk est test");
// The certificate of a base64 PKCS#7 bundle (first one), or null.
testbed::X509Ptr first_cert_of_p7(const std::string& p7b64);

class EstFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts server_ with the given identity (the PKI's server by default).
    void start_server(const testbed::Credential* identity = nullptr, std::vector<X509*> chain = {});
    void behave(const testbed::EstBehaviour& b) { server_.set_behaviour(b); }
    testbed::EstServerStats stats() const { return server_.stats(); }

    // A context trusting the test CA, aimed at host:server port.
    est_context* new_ctx(const std::string& host = "127.0.0.1");
    // Enrols a CSR for key_ through ctx; the result code, with the PKCS#7 in *p7.
    int enroll(est_context* ctx, std::string* p7 = nullptr);
    // Text that must never appear in the log.
    void secret(const std::string& text) { secrets_.push_back(text); }

    testbed::EstServer server_;
    testbed::PKeyPtr key_;
    std::vector<est_context*> contexts_;
    std::vector<std::string> secrets_;
};

}  // namespace est_test
