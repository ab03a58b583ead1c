// Files and folders that hold the agent's secrets (its store, policies before
// the host takes them) belong to the agent's user alone.
#pragma once

#include <string>

namespace platform {

// Creates `path` as a folder only the effective user may enter (0700), or
// takes an existing one that is a real folder (not a symbolic link) owned by
// that user, after taking away any group and other permissions. Anything else
// is refused: false, with the reason in `why`.
bool MakePrivateDirectory(const std::string& path, std::string* why);

// An existing regular file readable or writable by group or others loses those
// permissions when the effective user owns it; owned by another user, it is
// refused (false, the reason and the fix in `why`). A private file is taken as
// it is, whoever owns it. A missing file is not an error.
bool MakeExistingFilePrivate(const std::string& path, std::string* why);

}  // namespace platform
