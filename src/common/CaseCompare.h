#pragma once
// The one comparison ignoring case that both the sorted package list and the
// exact-match lookup use, so sorting and de-duplication always agree.
// Case is folded for ASCII letters only; other bytes compare as they stand.

#include <string_view>

namespace modGlobal {

// Negative, zero or positive, as for strcmp, with ASCII letters folded to lower case.
int CompareIgnoringCase(std::string_view a, std::string_view b);

inline bool LessIgnoringCase(std::string_view a, std::string_view b) {
    return CompareIgnoringCase(a, b) < 0;
}
inline bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareIgnoringCase(a, b) == 0;
}

} // namespace modGlobal
