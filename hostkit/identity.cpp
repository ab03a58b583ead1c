#include "identity.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <new>

#include "Util.h"
#include "platform/machine_id.h"

namespace hostkit {
namespace {

constexpr char kApplicationLabel[] = "dtk endpoint identity v1";

}  // namespace

std::string IdentityFromMachineId(const std::vector<std::string>& paths) {
    std::string id;
    if (!platform::ReadMachineId(&id, paths))
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    bool ok = HMAC(EVP_sha256(), id.data(), static_cast<int>(id.size()),
                   reinterpret_cast<const unsigned char*>(kApplicationLabel), sizeof kApplicationLabel - 1,
                   digest, &length) != nullptr;
    OPENSSL_cleanse(id.data(), id.size());
    if (!ok)
        return {};
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(digits[digest[i] >> 4]);
        text.push_back(digits[digest[i] & 15]);
    }
    return text;
}

}  // namespace hostkit

IOriUniqueIdentifier* GetOriUniqueIdentifier() {
    std::string text = hostkit::IdentityFromMachineId({"/etc/machine-id", "/var/lib/dbus/machine-id"});
    if (text.empty())
        error("GetOriUniqueIdentifier: no machine id in /etc/machine-id or /var/lib/dbus/machine-id");
    return new (std::nothrow) hostkit::OriUniqueIdentifier(std::move(text));
}

void ReleaseOriUniqueIdentifier(IOriUniqueIdentifier* identifier) { delete identifier; }
