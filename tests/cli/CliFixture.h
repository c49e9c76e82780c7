#pragma once
// The real command-line program on a temporary profile and program folder, as the cli
// tests run it: its stdout, its stderr and its exit status.
#include "Fixtures.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>

namespace testsupport {

class CliTest : public ::testing::Test {
protected:
    ProfileFixture profile;
    std::string out;
    std::string err;

    void SetUp() override {
        // Beside its program file is where it keeps Backup and Data, as the window does.
        fs::copy_file(fs::read_symlink("/proc/self/exe").parent_path() / DITTOLY_CLI,
                      profile.program() / "dittoly-ua-cli");
    }
    fs::path OutFile() const { return profile.base().path().string() + ".out"; }
    // The shell command that runs it with `args`, stdout into OutFile; `prefix` may set
    // the environment or run it as another user.
    std::string Line(const std::string& args, const std::string& prefix = {}) const {
        return "HOME='" + profile.profile().string() + "' " + prefix + " '" +
               (profile.program() / "dittoly-ua-cli").string() + "' " + args + " >'" +
               OutFile().string() + "'";
    }
    // The exit status; stdout in `out`, stderr in `err`.
    int Finish(int status) {
        out = ReadText(OutFile());
        err = ReadText(OutFile().string() + ".err");
        fs::remove(OutFile());
        fs::remove(OutFile().string() + ".err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Runs it with stdin not a terminal, or on a pseudo-terminal that answers "n", whose
    // transcript (what stderr showed) goes into `err`. script(1) runs the line with $SHELL,
    // which for a system user may be nologin: it gets a shell that runs it.
    int Cli(const std::string& args, const std::string& prefix = {}, bool terminal = false) {
        const std::string errFile = "'" + OutFile().string() + ".err'";
        const std::string line = Line(args, prefix);
        return Finish(std::system((terminal ? "printf 'n\\n' | SHELL=/bin/sh script -qec \"" +
                                                  line + "\" /dev/null >" + errFile + " 2>&1"
                                            : line + " </dev/null 2>" + errFile)
                                      .c_str()));
    }
};

} // namespace testsupport
