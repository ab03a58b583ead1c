#include "cloud_server/cloud_server_fixture.h"

namespace cloud_server_test {

testbed::Pki* CloudServerTest::pki_ = nullptr;

namespace {

using corvane_samples::fill_file;
using corvane_samples::set_octets;

void fill_addr(SockAddrIn_t* a, long port) {
    a->port = port;
    set_octets(&a->addr, std::string("\x7f\x00\x00\x01", 4));
}

void fill_app(CorvaneIOSApp_t* app) {
    set_octets(&app->bundle, "test.bundle");
    set_octets(&app->cdhash.data, std::string(20, '\x11'));
    app->cdhash.type = 2;
    set_octets(&app->team, "TEAM");
    set_octets(&app->version, "1.0");
}

void fill_ep(CorvaneNetEP_t* ep, long port) {
    set_octets(&ep->addr, std::string("\x7f\x00\x00\x01", 4));
    ep->port = port;
    set_octets(&ep->hostname, "localhost");
}

}  // namespace

asn_ptr<CorvaneQuery_t> query_of_type(int type, long txid) {
    switch (type) {
    case CorvaneQueryData_PR_ping:
        return corvane_samples::ping_query(txid);
    case CorvaneQueryData_PR_fileMulti: {
        auto q = corvane_samples::file_multi_query(2, 3);
        q->header.txid = txid;
        return q;
    }
    default:
        break;
    }
    auto q = corvane_samples::new_query(static_cast<CorvaneQueryData_PR>(type), txid);
    auto& c = q->data.choice;
    switch (type) {
    case CorvaneQueryData_PR_reg:
        c.reg.product = 42;
        c.reg.platform = 3;
        break;
    case CorvaneQueryData_PR_convict:
        c.convict.product = 42;
        set_octets(&c.convict.hash, std::string(32, '\x42'));
        set_octets(&c.convict.name, "bad.exe");
        break;
    case CorvaneQueryData_PR_pingRetro:
        c.pingRetro.product = 42;
        c.pingRetro.retrospectiveNonce = 4321;
        break;
    case CorvaneQueryData_PR_work:
        c.work.qtype = 9;
        c.work.product = 42;
        break;
    case CorvaneQueryData_PR_file:
        fill_file(&c.file, 1);
        break;
    case CorvaneQueryData_PR_netMulti:
        c.netMulti.qtype = 1;
        fill_addr(&c.netMulti.local, 50000);
        fill_addr(&c.netMulti.remote, 443);
        set_octets(&c.netMulti.url, "https://example.test/");
        fill_file(&c.netMulti.parent, 2);
        c.netMulti.direction = 2;
        c.netMulti.protocol = 6;
        c.netMulti.nettype = 4;
        set_octets(&c.netMulti.filepath, "/usr/bin/x");
        break;
    case CorvaneQueryData_PR_iosApp:
        fill_app(&c.iosApp.app);
        c.iosApp.eventtype = 1;
        break;
    case CorvaneQueryData_PR_iosNet:
        fill_app(&c.iosNet.app);
        c.iosNet.eventtype = 2;
        fill_ep(&c.iosNet.local, 50000);
        fill_ep(&c.iosNet.remote, 443);
        set_octets(&c.iosNet.url, "https://example.test/");
        break;
    default:
        break;
    }
    return q;
}

}  // namespace cloud_server_test
