#pragma once
// Package names as text that JSON and a command line can carry. The system's names are
// bytes (on Windows WTF-8: UTF-8 that may hold an unpaired UTF-16 unit) that need not be
// valid UTF-8, and a name turned into U+FFFD could lead a script that feeds it back to
// the other folder of a pair that differ in just those bytes.
//
// The escaped form keeps every valid UTF-8 character as it is and writes every other byte,
// and "/" itself, as "/xHH" (two upper-case hex digits). No file name on either system
// holds "/", so a valid name is its own form, a name that needed escaping can never read
// as another real name, and each name has exactly one form.

#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

std::string EscapeName(std::string_view bytes);

// The name `text` is the form of; nullopt for text that is no form EscapeName gives (a
// "/" not followed by two hex digits, "/x41" for "A", lower-case hex digits).
std::optional<std::string> UnescapeName(std::string_view text);

// The escaped form as a QString, for JSON.
QString NameText(std::string_view bytes);

// True when all of `bytes` is valid UTF-8 (no unpaired surrogate, nothing overlong).
bool IsUtf8(std::string_view bytes);

// The program's arguments as the parser takes them: one that is valid UTF-8 as it is (a
// name, or the escaped form of one), any other in escaped form, from its bytes as the
// system gave them (on Windows the UTF-16 command line as WTF-8), where Qt would turn
// them into U+FFFD. So a name typed as it is and its escaped form reach the same app.
QStringList Arguments(int argc, char** argv);

} // namespace cli
