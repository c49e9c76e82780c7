#include "RecordingServices.h"

namespace testsupport {

int RecordingQuestions::Ask(const std::string& prompt, int style, const std::string& title) {
    asked.push_back(AskedQuestion{prompt, style, title});
    if (next_.empty()) {
        return fallback;
    }
    const int answer = next_.front();
    next_.pop_front();
    return answer;
}

} // namespace testsupport
