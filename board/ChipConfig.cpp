#include "board/ChipConfig.h"

#include <charconv>

#include "board/DeviceTable.h"

namespace board {
namespace {

bool ParseUnsigned(std::string_view text, uint32_t& out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool ParseSize(std::string_view text, uint32_t& out) {
    if (text == "64k")
        out = 0x10000;
    else if (text == "128k")
        out = 0x20000;
    else if (text == "4m")
        out = 0x400000;
    else
        return ParseUnsigned(text, out);
    return true;
}

bool ApplyField(std::string_view key, std::string_view value, ChipConfig& c) {
    uint32_t number = 0;
    if (key == "family") {
        if (value == "ostral")
            c.family = Family::Ostral;
        else if (value == "marnel")
            c.family = Family::Marnel;
        else
            return false;
        return true;
    }
    if (key == "memory") {
        c.memory = std::string(value);
        return value == "none" || FindDevice(value, 0).has_value();
    }
    if (key == "size") return ParseSize(value, c.size);
    if (key == "uart") {
        c.uart = value == "none" ? std::string() : std::string(value);
        if (value == "none") return true;
        return value.size() > 3 && value.substr(0, 3) == "com" && ParseUnsigned(value.substr(3), number) &&
               number > 0;
    }
    if (key == "image") {
        c.image = std::string(value);
        return !value.empty();
    }
    if (!ParseUnsigned(value, number)) return false;
    if (key == "rev")
        c.revision = number;
    else if (key == "id")
        c.id = number;
    else if (key == "version")
        c.version = number;
    else if (key == "straps")
        c.straps = number;
    else if (key == "mailbox-polls")
        c.mailboxPolls = number;
    else if (key == "busy-polls")
        c.busyPolls = number;
    else
        return false;
    return true;
}

}  // namespace

uint32_t ChipConfig::Id() const {
    if (id) return *id;
    uint32_t sideBit = side == Side::Source ? 1u << 24 : 0;
    uint32_t familyBits = family == Family::Marnel ? 1u << 16 : 0;
    return sideBit | familyBits | (revision & 0x3F);
}

uint32_t ChipConfig::Version() const {
    if (version) return *version;
    return family == Family::Marnel ? 0x39100000 : 0x20000000;
}

uint32_t ChipConfig::Straps() const {
    if (straps) return *straps;
    auto row = FindDevice(memory, size);
    if (!row || row->type == MemoryType::SpiFlash) return 0x80;
    uint32_t sizeBits = row->size > 0x10000 ? 0x80 : 0x40;
    return sizeBits | (row->type == MemoryType::I2cEeprom ? 0x10 : 0);
}

bool ChipConfig::RuvoMailbox() const {
    return (Id() & 0xFEFFFFC0) != 0 && Version() > 0x38CCC000;
}

ChipConfig DefaultChipConfig(Side side) {
    ChipConfig config;
    config.side = side;
    config.uart = side == Side::Source ? "com1" : "com2";
    return config;
}

bool ParseChipSpec(std::string_view setting, ChipConfig& config, std::string& error) {
    while (!setting.empty()) {
        size_t comma = setting.find(',');
        std::string_view field = setting.substr(0, comma);
        setting = comma == std::string_view::npos ? std::string_view() : setting.substr(comma + 1);
        size_t equals = field.find('=');
        if (equals == std::string_view::npos ||
            !ApplyField(field.substr(0, equals), field.substr(equals + 1), config)) {
            error = "bad chip setting '" + std::string(field) + "'";
            return false;
        }
    }
    if (config.memory != "none" && !FindDevice(config.memory, config.size)) {
        error = "no " + config.memory + " of size " + std::to_string(config.size);
        return false;
    }
    return true;
}

}  // namespace board
