#include <gtest/gtest.h>

#include "board/DeviceTable.h"

namespace board {
namespace {

TEST(DeviceTable, EveryRowIsConsistent) {
    EXPECT_EQ(SelfTest(), std::vector<std::string>{});
}

TEST(DeviceTable, CheckRowNamesBrokenRows) {
    DeviceRow good = *FindDevice("mx25", 0);
    struct Case {
        const char* what;
        void (*spoil)(DeviceRow&);
    };
    const Case cases[] = {
        {"slow page", [](DeviceRow& r) { r.pageProgramUs = 6000; }},
        {"short chip erase", [](DeviceRow& r) { r.chipEraseUs = 1'000'000; }},
        {"sector not in page units", [](DeviceRow& r) { r.sectorSize = 0x1080; }},
        {"block not tiling", [](DeviceRow& r) { r.blockSize = 0x8000 * 3; }},
        {"odd size", [](DeviceRow& r) { r.size = 3 << 20; }},
        {"no id", [](DeviceRow& r) { r.jedecId = 0xFF; }},
        {"slow sector", [](DeviceRow& r) { r.sectorEraseUs = 4'000'000; }},
    };
    EXPECT_TRUE(CheckRow(good).empty());
    for (const Case& c : cases) {
        DeviceRow row = good;
        c.spoil(row);
        EXPECT_FALSE(CheckRow(row).empty()) << c.what;
    }
    DeviceRow eeprom = *FindDevice("spi-eeprom", 0x20000);
    eeprom.addressBytes = 2;
    EXPECT_FALSE(CheckRow(eeprom).empty());
}

TEST(DeviceTable, FindDeviceBySizeAndName) {
    struct Case {
        const char* name;
        uint32_t size;
        bool found;
        uint32_t gotSize;
    };
    const Case cases[] = {
        {"mx25", 0, true, 0x400000},
        {"mx25", 0x100000, true, 0x100000},
        {"mx25", 0x30000, false, 0},
        {"spi-eeprom", 0, true, 0x10000},
        {"spi-eeprom", 0x20000, true, 0x20000},
        {"i2c-eeprom", 0x20000, true, 0x20000},
        {"i2c-eeprom", 0x400000, false, 0},
        {"nand", 0, false, 0},
    };
    for (const Case& c : cases) {
        auto row = FindDevice(c.name, c.size);
        ASSERT_EQ(row.has_value(), c.found) << c.name << " " << c.size;
        if (row) {
            EXPECT_EQ(row->size, c.gotSize) << c.name;
        }
    }
    EXPECT_EQ(FindDevice("spi-eeprom", 0x20000)->addressBytes, 3u);
    EXPECT_EQ(FindDevice("spi-eeprom", 0x10000)->addressBytes, 2u);
}

}  // namespace
}  // namespace board
