#include "http/StagedFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <utility>
#include <vector>

StagedFile::StagedFile(std::string destination) : m_destination(std::move(destination)) {}

StagedFile::~StagedFile() { Discard(); }

bool StagedFile::Open() {
    if (m_destination.empty() || m_file)
        return false;
    // Same directory, so the final rename never crosses file systems.
    std::string pattern = m_destination + ".partXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    m_temporary.assign(name.data());
    m_file = fdopen(fd, "wb");
    if (!m_file) {
        close(fd);
        unlink(m_temporary.c_str());
        m_temporary.clear();
        return false;
    }
    return true;
}

bool StagedFile::Commit() {
    if (!m_file)
        return false;
    bool written = fflush(m_file) == 0 && fsync(fileno(m_file)) == 0;
    bool closed = fclose(m_file) == 0;
    m_file = nullptr;
    if (!written || !closed || rename(m_temporary.c_str(), m_destination.c_str()) != 0) {
        Discard();
        return false;
    }
    m_temporary.clear();
    return true;
}

void StagedFile::Discard() {
    if (m_file) {
        fclose(m_file);
        m_file = nullptr;
    }
    if (!m_temporary.empty()) {
        unlink(m_temporary.c_str());
        m_temporary.clear();
    }
}
