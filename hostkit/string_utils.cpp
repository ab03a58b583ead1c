// The host's string utilities: UTF-8 and wide conversions for the library.
#include <cstdlib>
#include <new>

#include "WinApi.h"
#include "host_text.h"
#include "platform/utf8.h"

namespace hostkit {
namespace {

class StringUtils final : public IStringUtils {
public:
    wchar_t* ToWide(const char* text) override {
        return text ? DupWide(platform::Utf8ToWide(text)) : nullptr;
    }
    char* ToNarrow(const wchar_t* text) override {
        return text ? DupString(platform::WideToUtf8(text)) : nullptr;
    }
    void FreeString(void* text) override { free(text); }
};

}  // namespace
}  // namespace hostkit

IStringUtils* CreateStringUtils() { return new (std::nothrow) hostkit::StringUtils(); }

void ReleaseStringUtils(IStringUtils* utils) { delete utils; }
