#pragma once
// What the Windows platform tests share: long paths for the wide calls, and attributes set
// with a check.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <windows.h>
// The system header names its own ReplaceFile; ours is platform::ReplaceFile.
#undef ReplaceFile

namespace testsupport {

inline std::wstring W(const std::filesystem::path& p) {
    return L"\\\\?\\" + std::filesystem::path(p).make_preferred().wstring();
}

inline void SetAttributes(const std::filesystem::path& p, DWORD attributes) {
    ASSERT_TRUE(SetFileAttributesW(W(p).c_str(), attributes)) << p;
}

} // namespace testsupport
