// What the management registration reports about the endpoint, what was last
// registered, and what changed since: the management registration is repeated
// only when one of these changes. The last registered data lives in memory
// only, so the first registration after a start reports every present item.
#pragma once

#include <mutex>
#include <string>

#include "registration/vgn.h"

class ITesselExternal;

struct VestaRegistrationData {
    std::wstring hardwareId;
    std::wstring fqdn;
    NetworkAdapterMap adapters;
};

class IVestaRegistrationDataHandler {
public:
    virtual ~IVestaRegistrationDataHandler() = default;
    // The current data; false when an item could not be read (the others are
    // still filled).
    virtual bool QueryVestaRegistrationData(VestaRegistrationData* data) = 0;
    virtual void SetLastRegisteredData(const VestaRegistrationData& data) = 0;
    // The items of `current` that differ from the last registered data, as
    // "/hnm" (host name), "/nic_c" (adapter count), "/nic_info" (address of
    // one of the first three adapters), "/hwid" (hardware identity), in that
    // order; empty when nothing changed.
    virtual std::wstring GetChangeReasons(const VestaRegistrationData& current) = 0;
};

class VestaRegistrationDataHandler : public IVestaRegistrationDataHandler {
public:
    explicit VestaRegistrationDataHandler(ITesselExternal* external) : m_external(external) {}

    bool QueryVestaRegistrationData(VestaRegistrationData* data) override;
    void SetLastRegisteredData(const VestaRegistrationData& data) override;
    std::wstring GetChangeReasons(const VestaRegistrationData& current) override;

private:
    ITesselExternal* m_external;  // not owned
    std::mutex m_mutex;           // guards m_last
    VestaRegistrationData m_last;
};
