#pragma once
// Shared by the Windows files of the platform layer that open a file only for a moment
// (Folders.cpp, TextFiles.cpp). The tree operations hold their folders with Tree.h's
// Handle instead.

#include <windows.h>

namespace platform::win {

// Closes the handle when it goes out of scope.
struct FileHandle {
    HANDLE h;
    explicit FileHandle(HANDLE handle) : h(handle) {}
    ~FileHandle() {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool Valid() const { return h != INVALID_HANDLE_VALUE; }
};

} // namespace platform::win
