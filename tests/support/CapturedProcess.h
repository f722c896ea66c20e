#ifndef ZORV_TEST_CAPTUREDPROCESS_H
#define ZORV_TEST_CAPTUREDPROCESS_H

#include <string>
#include <vector>

namespace zorvtest {

// What a child process printed, kept apart by stream, and how it ended.
struct CapturedProcess {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
    long peakKb = 0; // peak resident memory
};

// Runs argv[0] (PATH searched) with the given text on its standard input and
// waits for it. The streams go through temporary files rather than pipes, so
// a child that writes much to both can never block on us.
CapturedProcess runCaptured(const std::vector<std::string>& argv, const std::string& input = "");

} // namespace zorvtest

#endif
