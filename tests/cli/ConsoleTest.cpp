// The Windows console as the command line sees it, through the real Win32 calls under
// Wine: a command that changes app data asks only someone typing at a console.
#include "cli/Console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

namespace {

// Makes `fd` the program's standard input, for the C run-time and for the system alike.
void InputFrom(int fd) {
    ASSERT_GE(fd, 0);
    ASSERT_EQ(_dup2(fd, 0), 0);
    _close(fd);
    SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(0)));
}

} // namespace

// Catches: a check by the kind of device (_isatty), which takes the null device for a
// console: `< NUL` in a scheduled task would then wait for an answer nobody gives.
TEST(Console, NeitherTheNullDeviceNorAFileNorAPipeIsATerminal) {
    InputFrom(_open("NUL", _O_RDONLY));
    EXPECT_FALSE(console::InputIsTerminal()) << "NUL";
    InputFrom(_open("console-test-input.txt", _O_RDWR | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE));
    EXPECT_FALSE(console::InputIsTerminal()) << "a file";
    int ends[2] = {-1, -1};
    ASSERT_EQ(_pipe(ends, 256, _O_BINARY), 0);
    InputFrom(ends[0]);
    EXPECT_FALSE(console::InputIsTerminal()) << "a pipe";
    _close(ends[1]);
    _unlink("console-test-input.txt");
}
