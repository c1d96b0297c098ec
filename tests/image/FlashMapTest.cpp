#include <gtest/gtest.h>

#include <functional>

#include "console/CxException.h"
#include "image/FlashMap.h"

namespace {

TEST(FlashMap, MarksOnlyWithinFourMiBAboveTheBase) {
    FlashMap map;
    map.clear(0x100000);
    EXPECT_FALSE(map.markAddressSelected(0x0FFFFF));  // below the base
    EXPECT_FALSE(map.markAddressSelected(0x500000));
    EXPECT_TRUE(map.markAddressSelected(0x100000));
    EXPECT_TRUE(map.markAddressSelected(0x4FFFFF));
    EXPECT_TRUE(map.isSectorSelected(0, 0));
    EXPECT_TRUE(map.isSectorSelected(63, 15));
    EXPECT_FALSE(map.isSectorSelected(0, 1));
    map.clear(0);
    EXPECT_FALSE(map.isSectorSelected(0, 0));
}

TEST(FlashMap, ABlockIsSelectedOnlyWithAllItsSectors) {
    FlashMap map;
    map.clear(0);
    for (uint32_t s = 0; s < 15; ++s) map.markAddressSelected(0x10000 + s * 0x1000 + 0xFFF);
    EXPECT_FALSE(map.isBlockSelected(1));
    map.markAddressSelected(0x1F000);
    EXPECT_TRUE(map.isBlockSelected(1));
    EXPECT_FALSE(map.isBlockSelected(0));
    EXPECT_FALSE(map.isBlockSelected(2));
}

TEST(FlashMap, BadIndicesRaiseTheAssertionText) {
    FlashMap map;
    map.clear(0);
    struct Case {
        std::function<void()> call;
        std::string condition;
        std::string function;
    };
    const Case cases[] = {
        {[&] { map.isBlockSelected(64); }, "blockNum < countof(map.block)", "FlashMap::isBlockSelected"},
        {[&] { map.isSectorSelected(64, 0); }, "blockNum < countof(map.block)", "FlashMap::isSectorSelected"},
        {[&] { map.isSectorSelected(0, 16); }, "sectorRelativeToBlock < countof(map.block[0].sectors)",
         "FlashMap::isSectorSelected"},
    };
    for (const Case& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.function << " did not raise";
        } catch (const CxExceptionError& error) {
            EXPECT_EQ(error.code, -1);
            const std::string prefix = "Assertion '" + c.condition + "' failed at ";
            const std::string suffix = " in function " + c.function;
            EXPECT_EQ(error.message.rfind(prefix, 0), 0u) << error.message;
            ASSERT_GE(error.message.size(), suffix.size());
            EXPECT_EQ(error.message.substr(error.message.size() - suffix.size()), suffix) << error.message;
            EXPECT_NE(error.message.find("FlashMap.cpp:"), std::string::npos) << error.message;
        }
    }
}

}  // namespace
