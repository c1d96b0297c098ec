#include <gtest/gtest.h>

#include <fstream>

#include "platform/Prefix.h"
#include "platform/Registry.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::TempPrefix;

constexpr const char* kStartup = "Software\\VB and VBA Program Settings\\Talmer\\Startup";

class RegistryTest : public ::testing::Test {
  protected:
    void Write(const std::string& text) { std::ofstream(platform::UserRegPath(), std::ios::binary) << text; }
    TempPrefix m_prefix;
};

TEST_F(RegistryTest, MissingFileReadsAsNotFound) {
    EXPECT_FALSE(platform::ReadUserRegistryString(kStartup, "SelectedInterface"));
}

TEST_F(RegistryTest, StringValuesOfTheMatchingKeyOnly) {
    Write(
        "REGEDIT4\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
        "\"comPort2\"=\"1\"\r\n"
        "\r\n"
        "[hkey_current_user\\software\\vb and vba program settings\\talmer\\STARTUP]\r\n"
        "\"SelectedInterface\"=\"0\"\r\n"
        "\"comPort2\"=\"7\"\r\n"
        "\"Path\"=\"C:\\\\bench\\\\\\\"x\\\"\"\r\n"
        "\"Number\"=dword:00000001\r\n"
        "\"Open\"=\"never closed\r\n"
        "@=\"default\"\r\n"
        "garbage line\r\n"
        "[HKEY_CURRENT_USER\\Software\\Later]\r\n"
        "\"Late\"=\"x\"\r\n");
    struct Case {
        const char* value;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"SelectedInterface", "0"}, {"comport2", "7"},         {"Path", "C:\\bench\\\"x\""},
        {"Number", std::nullopt},   {"Open", std::nullopt},    {"", "default"},
        {"Late", std::nullopt},     {"Missing", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::ReadUserRegistryString(kStartup, c.value), c.expected) << c.value;
    EXPECT_FALSE(platform::ReadUserRegistryString("Software\\Nowhere", "comPort2"));
}

}  // namespace
