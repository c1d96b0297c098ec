#pragma once
// Running the tool in process: a fresh prefix and start values for each test, the tool's command
// line run on scripted input with its output captured.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace testsupport {

struct Outcome {
    int code;
    std::string out;
};

// Runs the tool's command line ("Tolvar" and the words) on the input; with endSession the target
// session ends before the output is taken.
Outcome RunInProcess(const std::vector<std::string>& words, const std::string& input = "",
                     bool endSession = false);

// A fresh prefix and start values for each test.
class FreshSession : public ::testing::Test {
  protected:
    FreshSession();
    ~FreshSession() override;
    // Ports whose dosdevices entries point at a device that does not exist.
    void DeadPorts(std::initializer_list<int> ports);

    std::string m_prefix;
};

// The tool's command line in process; ports 3, 5 and 16 name devices that do not exist.
class CommandLineTest : public FreshSession {
  protected:
    CommandLineTest() { DeadPorts({3, 5, 16}); }
    // Runs the command line, then ends the target session.
    Outcome Run(const std::vector<std::string>& words, const std::string& input = "");
};

}  // namespace testsupport
