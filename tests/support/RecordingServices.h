#pragma once
// Stand-ins for the three services: questions answered from a queue and recorded,
// launches recorded, a clock that reads a fixed time and date; and a run host that keeps
// the lines.

#include "common/Services.h"
#include "operations/RunFrame.h"

#include <deque>
#include <string>
#include <vector>

namespace testsupport {

struct AskedQuestion {
    std::string prompt;
    int style = 0;
    std::string title;
};

class RecordingQuestions : public services::Questions {
public:
    // Queued answers are used first; then `fallback` (No unless changed).
    void Answer(int answer) { next_.push_back(answer); }
    int fallback = services::IDNO;
    std::vector<AskedQuestion> asked;

    int Ask(const std::string& prompt, int style, const std::string& title) override {
        asked.push_back(AskedQuestion{prompt, style, title});
        const int answer = next_.empty() ? fallback : next_.front();
        if (!next_.empty()) {
            next_.pop_front();
        }
        return answer;
    }

private:
    std::deque<int> next_;
};

class RecordingLauncher : public services::Launcher {
public:
    std::vector<std::string> urls;
    std::vector<std::string> folders;
    int storeCacheStarts = 0;
    bool storeCacheStartSucceeds = true;

    void OpenUrl(const std::string& url) override { urls.push_back(url); }
    void OpenFolder(const std::string& path) override { folders.push_back(path); }
    bool StartStoreCacheReset() override {
        ++storeCacheStarts;
        return storeCacheStartSucceeds;
    }
};

class FixedClock : public services::Clock {
public:
    std::string TimeOfDay() override { return "14:05:09"; }
    std::string LongDate() override { return "Saturday, 5 December 2026"; }
    // 2026-12-05T140509Z; tests move it on to tell runs apart.
    std::int64_t utc = 1796479509;
    std::int64_t UtcNow() override { return utc; }
};

// The lines a core run writes, as a front end would show them.
class RecordingHost : public operations::RunHost {
public:
    std::vector<std::string> lines;
    void AddLine(const std::string& line, bool) override { lines.push_back(line); }
};

// All three, ready to hand to a window as services::Services.
struct RecordingServices {
    RecordingQuestions questions;
    RecordingLauncher launcher;
    FixedClock clock;
    services::Services Get() { return services::Services{questions, launcher, clock}; }
};

} // namespace testsupport
