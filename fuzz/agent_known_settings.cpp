// dtk-agent's judgement of stored settings: values a policy delivers (the
// secure view) or anyone with the store wrote, checked by `config check`,
// `register` and `run` before the library reads them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "known_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 4096)
        return 0;
    const std::vector<agent::KnownSetting>& settings = agent::KnownSettings();
    const agent::KnownSetting& setting = settings[data[0] % settings.size()];
    hostkit::ConfigEntry entry;
    entry.view = static_cast<hostkit::ConfigView>(data[1] % 3);
    entry.type = static_cast<hostkit::ValueType>(1 + data[2] % 3);
    entry.key = setting.key;
    entry.name = setting.name;
    entry.text.assign(reinterpret_cast<const char*>(data + 3), size - 3);
    entry.binary.assign(data + 3, data + size);
    int64_t integer = 0;
    memcpy(&integer, data + 3, size - 3 < sizeof integer ? size - 3 : sizeof integer);
    entry.integer = integer;

    const std::string problem = agent::ProblemWithEntry(setting, entry);
    // Every message names its key; a secret's value is never shown.
    if (!problem.empty() && problem.compare(0, strlen(setting.key), setting.key) != 0)
        abort();
    if (setting.secret && problem.find("'" + entry.text + "'") != std::string::npos)
        abort();
    for (const std::string& line : agent::ConfigurationProblems({entry}))
        if (line.rfind("config/", 0) != 0)
            abort();
    return 0;
}
