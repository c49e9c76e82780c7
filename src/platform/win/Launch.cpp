// Windows launches and input: the store-cache reset tool started as a process of its own,
// and the input still queued for the window thrown away.
#include "platform/Platform.h"
#include "platform/WinText.h"

#include <windows.h>

#include <string>

namespace platform {

bool StartStoreCacheReset() {
    // The interpreter and the tool are taken from the system folder by full path and
    // with the system folder as working folder, so no program of that name planted
    // beside ours or in the current folder is started instead.
    wchar_t systemFolder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    const std::wstring interpreter = win::Join(systemFolder, L"cmd.exe");
    std::wstring commandLine = L"cmd /c wsreset.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(interpreter.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, systemFolder, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

void DiscardQueuedInput() {
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE) ||
           PeekMessageW(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
}

} // namespace platform
