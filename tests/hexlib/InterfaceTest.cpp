// The library as a shared object: its exported names, and its exception caught across the boundary.
#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <string>

#include "HexFiles.h"

namespace hextest {
namespace {

std::set<std::string> ExportedNames() {
    std::set<std::string> names;
    std::FILE* pipe = popen("nm -D --defined-only " QUILLAN_LIBRARY_PATH, "r");
    if (pipe == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        const size_t space = text.find_last_of(' ');
        names.insert(text.substr(space + 1, text.find_last_not_of('\n') - space));
    }
    pclose(pipe);
    return names;
}

TEST(Interface, ExportsTheSeventeenFunctionsAndTheErrorTypeOnly) {
    const std::set<std::string> expected = {
        "ihex_OstralCRC_calculate", "ihex_OstralCRC_read", "ihex_OstralCRC_update", "ihex_OstralCRC_validate",
        "ihex_OstralCRC_write", "ihex_crc32", "ihex_fileHasLittleEndianDataFormat",
        "ihex_formatExtendedLinearAddr", "ihex_formatFullAddr", "ihex_getLatestErrorMessage",
        "ihex_makeOstralFWImage", "ihex_makeImage", "ihex_readFWVersion", "ihex_readRegisterFromFile",
        "ihex_remapExtendedLinearAddr", "ihex_remapFullAddr", "ihex_writeImage",
        // type information, so that callers can catch Quillan::ErrorMessage by type
        "_ZTIN7Quillan12ErrorMessageE", "_ZTSN7Quillan12ErrorMessageE"};
    EXPECT_EQ(ExportedNames(), expected);
}

class Boundary : public ScratchDir {};

TEST_F(Boundary, LatestErrorIsEmptyWhenTheLibraryIsLoaded) {
    // A private copy gets its own state, whatever this process already made the shared one do.
    const std::string copy = Path("libquillan-copy.so");
    std::filesystem::copy_file(QUILLAN_LIBRARY_PATH, copy);
    void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const auto latest = reinterpret_cast<const char* (*)()>(dlsym(handle, "ihex_getLatestErrorMessage"));
    ASSERT_NE(latest, nullptr);
    EXPECT_STREQ(latest(), "");
    dlclose(handle);
}

TEST_F(Boundary, CallersCatchTheErrorByItsTypeOrAsAStandardException) {
    const std::string path = Write("bad.hex", "junk\n");
    const std::string expected =
        "Error during parsing iHex file: '" + path +
        "', line: 1\nInvalid iHex record: 'junk'\nThe first character is expected to be: "
        "':',  but got: 'j'";
    bool hasCrcRecord = true;
    bool crcMatches = true;
    try {
        ihex_OstralCRC_validate(path.c_str(), &hasCrcRecord, &crcMatches);
        ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_NE(dynamic_cast<const Quillan::ErrorMessage*>(&e), nullptr);
        EXPECT_EQ(e.what(), expected);
    }
    // A thrown error leaves the caller's flags as they were.
    EXPECT_TRUE(hasCrcRecord);
    EXPECT_TRUE(crcMatches);
    EXPECT_EQ(ihex_getLatestErrorMessage(), expected);
}

}  // namespace
}  // namespace hextest
