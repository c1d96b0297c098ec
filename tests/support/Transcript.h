#pragma once
// The texts the tool's transcripts are made of.
#include <string>
#include <vector>

namespace testsupport {

inline const std::string kUsageText =
    "Usage:\n"
    "1.\tTolvar [src/snk/uasnk/uasrc] [uX/d] [i/s/dm] P|D|E|F|N|B|V filename\n"
    "\tsrc/snk - select src or sink over Norvik (otherwise autodetect, starting with src).\n"
    "\tuasnk/uasrc - select src or snk over UART. Must have exclusive access to the com port.\n"
    "\tuX/d - burn interface uart com X(x=1-9) or default Norvik.\n"
    "\ti/s/dm - protocol selection. (otherwise try autodetect according to configuration reg)\n"
    "\t\ti  - i2c.\n"
    "\t\ts  - spi.\n"
    "\t\tdm - memory device Macronix.\n"
    "\t\tda - memory device Amic.\n"
    "\t\tds - memody device Spansion.\n"
    "\tP|D|E|F|N|B|V - operation selection. Any combination can be used simultaneously\n"
    "\t\tP - Display message 'Press any key to continue' before successful exit as well.\n"
    "\t\tD - Debug mode on. Log all operations to console.\n"
    "\t\tE - Fully erase eeprom.\n"
    "\t\tF - Fast burn/verify. Invalid for QX100/QX010/QX020 type products. Should appear before 'B'/'V' "
    "option.\n"
    "\t\tN - 'No erase': Burns the data from filename into eprom without erase. Should appear before 'B' "
    "option.\n"
    "\t\tB - Burn the data from filename into eeprom with pre-erasure.\n"
    "\t\tV - Read Eprom and verify against expected data from filename.\n"
    "\t\tU - Update: burn only the sectors/pages that differ from filename, erasing only those.\n"
    "\tThe file (filename) should be given in iHex format.\n"
    "\te.g. Tolvar uasrc FBV xfilename.iHex\n"
    "\tWill erase the eeprom, and then fast burn and verify file xfilename.iHex\n\n"
    "2.\tTolvar [src/snk] [i/s] FF len data\n"
    "\tFF - Fill eprom with the 32-bit pattern and the given length starting with address 0.\n"
    "\te.g. Tolvar FF 256 0x5A.\n"
    "\twill fill 256 bytes with pattern 0x0000005A.\n\n"
    "3.\tTolvar [src/snk] [i/s] R address len\n"
    "\tR - Read len bytes from address in eprom and print it.\n\n"
    "4.\tTolvar [src/snk/uasnk/uasrc] [i/s] ES address len\n"
    "\tES - Erase 4k-sectors starting from specified address with specified length in bytes.\n"
    "\tAny address within sector is a valid sector address.\n"
    "\te.g. Tolvar uasnk ES 0x1001 14\n"
    "\twill erase 4096 bytes sector at address 0x1000\n\n"
    "5.\tTolvar [src/snk/uasnk/uasrc] [i/s] EB address len\n"
    "\tEB - Erase 64k-blocks starting from specified address with specified length in bytes.\n"
    "\tAny address within block is a valid address of this block.\n"
    "\te.g. Tolvar uasnk EB 0x20fff 79999\n"
    "\twill erase 2*65536 bytes at address 0x20000\n"
    "6.\tTolvar [src/snk/uasnk/uasrc] [i/s] R address len file - save len bytes from address to file "
    "(.hex, .ihex or .bin)\n"
    "7.\tTolvar --list-ports - list the serial ports Tolvar looks at: present or not, the USB adapter, "
    "who holds it\n";

inline const std::string kErrorPause = "Error occurred. Press any key to continue . . .\n";
inline const std::string kQuestion = "Do you wish to continue? [enter y to continue]\n";

inline std::string Echo(const std::vector<std::string>& words) {
    std::string text = "Ver 1.0.0.45\nTolvar ";
    for (const std::string& word : words) text += word + " ";
    return text + "\n";
}

inline std::string Warning(const char* file, const char* board) {
    return std::string("Important warning: you are trying to burn a ") + file + " to a " + board +
           " board. \n" + kQuestion;
}

}  // namespace testsupport
