// Files the line relies on after a crash or a power cut: reports, metrics
// and the unit counter are replaced whole (the old content or the new, never
// a part of either), and the counter is kept from a second gang. The build
// picks durable_file_posix.cpp or durable_file_win32.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Replaces the file at |path| with |text|: written to a temporary file
// beside it, flushed to the disk, renamed over it, and the rename itself
// made durable. Returns true, or false with the reason in |error| (the
// file then keeps its old content).
bool ReplaceFileDurably(const std::string& path, std::string_view text, std::string* error);

// Takes the lock file |path| (made when missing) for this process alone,
// without waiting: false with the reason in |error| when another process
// holds it or it can't be made. The system lets go of it when the process
// ends, however it ends. |*handle| is the platform's handle, -1 for none.
bool LockFileExclusively(const std::string& path, intptr_t* handle, std::string* error);

// Lets go of a lock that LockFileExclusively took; nothing for -1.
void UnlockFile(intptr_t* handle);
