// A cloud connection replaced through UpdateConfiguration is let go at once:
// the instance keeps no reference that would hold its session and threads
// until the next registration or teardown.
#include "instance/instance_fixture.h"

namespace instance_test {
namespace {

class ReplacedConnection : public InstanceTest {};

TEST_F(ReplacedConnection, ANewCloudHostEndsTheOldConnectionAtOnce) {
    ConfigureAgent();
    StartServers();
    ITesselInstance* instance = Start();
    ASSERT_NE(instance, nullptr);
    instance->PerformTesselRegistration();
    ASSERT_TRUE(eventually([&] { return instance->IsRegistrationComplete() && instance->IsCloudConnected(); }, 60s));
    ASSERT_TRUE(cloud_.wait_for_handshakes(1, 10s));
    EXPECT_EQ(cloud_.stats().closed, 0);

    // The same server under another name: the cloud handle is rebuilt.
    const std::string renamed = "localhost:" + std::to_string(cloud_.port());
    ASSERT_TRUE(store_->SetString("config/agent/cloud/asn1_host", renamed.c_str(), true));
    instance->UpdateConfiguration();
    // The old connection had nothing outstanding: its session ends now.
    EXPECT_TRUE(cloud_.wait_for_closed(1, 20s)) << "the replaced connection is still held";
    EXPECT_TRUE(instance->IsRegistrationComplete());
}

}  // namespace
}  // namespace instance_test
