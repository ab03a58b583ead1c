// The commands of dtk-agent.
#pragma once

#include <string>
#include <vector>

namespace agent {

struct Options {
    std::string storePath;
    std::string libraryPath;
};

std::string DefaultStorePath();
std::string DefaultLibraryPath(const char* argv0);

// Each returns the process exit code.
int SelfTest(const Options& options);
int Config(const Options& options, const std::vector<std::string>& args);

}  // namespace agent
