#include "RecordingServices.h"

namespace testsupport {

int RecordingQuestions::Ask(const std::string& prompt, int style, const std::string& title) {
    asked.push_back(AskedQuestion{prompt, style, title});
    const int answer = next_.empty() ? fallback : next_.front();
    if (!next_.empty()) {
        next_.pop_front();
    }
    return answer;
}

} // namespace testsupport
