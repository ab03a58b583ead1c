// The endpoint's hardware identity, derived from the machine id.
//
// The text is the upper-case hex HMAC-SHA256 of a fixed application label
// keyed with the machine id (64 characters): stable for the installation,
// without handing the raw machine id to anyone. When no machine id can be
// read, GetOriUniqueIdentifier still returns an object, its text is empty and
// the reason is logged as an error; callers treat an empty identity as a
// failure.
#pragma once

#include <string>
#include <vector>

#include "WinApi.h"

namespace hostkit {

// The identity text for the machine id in the first readable of `paths`, or "".
std::string IdentityFromMachineId(const std::vector<std::string>& paths);

class OriUniqueIdentifier final : public IOriUniqueIdentifier {
public:
    explicit OriUniqueIdentifier(std::string text) : text_(std::move(text)) {}
    const char* GetText() override { return text_.c_str(); }

private:
    std::string text_;
};

}  // namespace hostkit
