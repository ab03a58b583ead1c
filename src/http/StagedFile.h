// A download destination that is replaced only by a complete download: bytes
// go to a temporary file beside the destination, which Commit moves into
// place; without Commit the temporary file is removed and the destination is
// left as it was.
#pragma once

#include <cstdio>
#include <string>

class StagedFile {
public:
    explicit StagedFile(std::string destination);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the temporary file; false (errno set) when it cannot be created.
    bool Open();
    FILE* File() const { return m_file; }
    const std::string& Destination() const { return m_destination; }
    // Flushes, syncs and renames the temporary file over the destination.
    bool Commit();

private:
    void Discard();

    std::string m_destination;
    std::string m_temporary;
    FILE* m_file = nullptr;
};
