// The endpoint's host name, with the last name seen kept in the configuration
// as a stand-in for when the system cannot answer.
#pragma once

#include <cstdint>
#include <string>

class IConfig;

// The shape of vgn::GetComputerNameExW: 1 on success.
using ComputerNameGetter = int (*)(uint32_t format, std::wstring* out);

class DomainNameHelper {
public:
    // The DNS fully qualified name, else the DNS host name, from `getter`. With
    // a configuration, a name that differs from "config/agent/cachedhostname"
    // is stored there, and the stored name is answered when the getter
    // succeeds with empty names only. 0, vgn::kInvalidArg (no getter) or
    // vgn::kNoComputerName.
    static int32_t GetFQDomainName(ComputerNameGetter getter, IConfig* config, std::wstring* out);
};
