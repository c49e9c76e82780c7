#pragma once
// Shared by the Windows files of the platform layer (and the command line's names): the
// one place where text crosses between the program (UTF-8) and the system (UTF-16). The
// definitions are in win/Text.cpp.
//
// Inside the program a name is WTF-8: UTF-8 that may also encode an unpaired UTF-16 unit,
// which the file system allows in names. Narrow() and Wide() convert both ways without
// loss, so a package name reaches every call exactly as the folder listing gave it.

#include <optional>
#include <string>
#include <string_view>

namespace platform::win {

std::string Narrow(std::wstring_view wide);

// nullopt for bytes that are not WTF-8, and for a NUL, which would silently cut a name.
std::optional<std::wstring> Wide(std::string_view text);

// The form every file call gets: absolute, with the \\?\ prefix so paths longer than
// MAX_PATH work. Paths the program built (drive or network paths with "\" only) keep every
// character, so a name ending in a dot or a blank stays that name; anything else is made
// absolute by the system first. nullopt when it cannot be converted.
std::optional<std::wstring> SystemPath(const std::string& path);

// `folder` + "\" + `name`, without doubling a separator `folder` already ends in.
std::wstring Join(const std::wstring& folder, std::wstring_view name);

// The errno-style number for a system error code (EIO when there is no closer one). The
// code is remembered on this thread, for ErrorText.
int ErrnoOf(unsigned long error);

// Forgets the codes remembered so far on this thread, so the words ErrorText gives belong
// to the operation that starts now.
void ForgetErrors();

} // namespace platform::win
