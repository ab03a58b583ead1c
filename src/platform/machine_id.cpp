#include "platform/machine_id.h"

#include <cctype>
#include <fstream>

namespace platform {
namespace {

bool WellFormed(const std::string& id) {
    if (id.size() != 32)
        return false;
    for (char c : id)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

}  // namespace

bool ReadMachineId(std::string* id, const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        std::ifstream file(path);
        std::string line;
        if (!file || !std::getline(file, line))
            continue;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
            line.pop_back();
        for (char& c : line)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (WellFormed(line)) {
            *id = line;
            return true;
        }
    }
    return false;
}

bool ReadMachineId(std::string* id) {
    return ReadMachineId(id, {"/etc/machine-id", "/var/lib/dbus/machine-id"});
}

}  // namespace platform
