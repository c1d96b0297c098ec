/* Quillan: Intel HEX routines behind a flat interface of plain functions.
 *
 * Every function that reads a file reports a broken file by throwing Quillan::ErrorMessage
 * (derived from std::exception); the same text stays readable through
 * ihex_getLatestErrorMessage(). Catch it by reference. Calls share the latest-error buffer
 * and are not meant to run concurrently. Output pointers may be null. */
#ifndef QUILLAN_H
#define QUILLAN_H

#if defined(__GNUC__)
#define QUILLAN_API __attribute__((visibility("default")))
#define QUILLAN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QUILLAN_API
#define QUILLAN_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
#include <cstdint>
#include <exception>
#else
#include <stdbool.h>
#include <stdint.h>
#endif

#ifdef __cplusplus
namespace Quillan {

/* The library's one error type. Only the library creates it; callers catch it and read what(). */
class QUILLAN_API ErrorMessage : public std::exception {
  public:
    static constexpr int kCapacity = 1000;

    /* printf-style; the text is cut to kCapacity - 1 characters and also becomes the latest error. */
    explicit ErrorMessage(const char* format, ...) QUILLAN_PRINTF(2, 3);
    ~ErrorMessage() override;
    const char* what() const noexcept override;

  private:
    char m_message[kCapacity];
};

}  // namespace Quillan

static_assert(sizeof(bool) == 1, "the interface passes bool as one byte");

extern "C" {
#endif

/* CRC record of Ostral firmware images. */
QUILLAN_API uint32_t ihex_OstralCRC_calculate(const char* fileName);
QUILLAN_API void ihex_OstralCRC_read(const char* fileName, bool* hasCrcRecord, uint32_t* crc);
QUILLAN_API void ihex_OstralCRC_update(const char* fileName);
QUILLAN_API void ihex_OstralCRC_validate(const char* fileName, bool* hasCrcRecord, bool* crcMatches);
QUILLAN_API void ihex_OstralCRC_write(const char* fileName, uint32_t crc);

/* Standard CRC-32; pass 0 to start, or a previous result to continue over the next buffer. */
QUILLAN_API uint32_t ihex_crc32(const uint8_t* data, uint32_t length, uint32_t crc);

/* True when the name's extension is "ihex" (any case): such files hold bytes in image order. */
QUILLAN_API bool ihex_fileHasLittleEndianDataFormat(const char* fileName);

/* Image address <-> full address (image address + 0x50000000) and extended linear address value. */
QUILLAN_API uint32_t ihex_formatExtendedLinearAddr(uint32_t segment);
QUILLAN_API uint32_t ihex_formatFullAddr(uint32_t imageAddress);
QUILLAN_API uint32_t ihex_remapExtendedLinearAddr(uint32_t value);
QUILLAN_API uint32_t ihex_remapFullAddr(uint32_t fullAddress);

/* Text of the most recent error; empty until the first one. Owned by the library. */
QUILLAN_API const char* ihex_getLatestErrorMessage(void);

/* Binary output: the firmware range of a CRC-carrying image, or the whole image from address 0. */
QUILLAN_API void ihex_makeOstralFWImage(const char* hexFileName, const char* binFileName);
QUILLAN_API void ihex_makeImage(const char* hexFileName, const char* binFileName);

/* Intel HEX out of image bytes: building the image of the written file gives the length bytes at
 * imageAddress (which must end by 0x400000). 16-byte data records in the file's data byte order (see
 * ihex_fileHasLittleEndianDataFormat; other files get whole aligned 4-byte groups, bytes around the
 * range 0xFF), an extended linear address record 0x5000 + segment before each segment, an end record.
 * A regular file is written under a temporary name beside it and renamed into place when complete,
 * with the old file's mode: a failure throws and leaves an existing file as it was. A name that is a
 * link, a device or a FIFO is written through (the link and the node stay); a link another user
 * planted in a sticky world-writable folder, a link that leads nowhere and a file the user may not
 * write are refused (thrown); "-" is standard output. The binary outputs above are written the same
 * way, except that a name refused before writing is passed over. */
QUILLAN_API void ihex_writeImage(const char* hexFileName, const uint8_t* image, uint32_t length,
                                 uint32_t imageAddress);

/* Firmware version after the 0x1234FEDC marker, or 0 without one. */
QUILLAN_API uint32_t ihex_readFWVersion(const char* fileName);

/* Little-endian 32-bit word at an image address. */
QUILLAN_API uint32_t ihex_readRegisterFromFile(const char* fileName, uint32_t imageAddress);

#ifdef __cplusplus
}
#endif

#endif /* QUILLAN_H */
