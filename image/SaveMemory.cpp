#include "image/SaveMemory.h"

#include <algorithm>
#include <string>
#include <vector>

#include "console/ConsoleUi.h"
#include "flash/FlashDriver.h"
#include "image/Progress.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"
#include "platform/SystemError.h"
#include "platform/WholeFile.h"
#include "quillan.h"

namespace {

constexpr uint32_t kLockWaitMs = 3000;

enum class SaveFormat { Unknown, IntelHex, Binary };

SaveFormat FormatOf(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return SaveFormat::Unknown;
    std::string extension;
    for (const char c : path.substr(dot + 1))
        extension += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (extension == "hex" || extension == "ihex") return SaveFormat::IntelHex;
    if (extension == "bin") return SaveFormat::Binary;
    return SaveFormat::Unknown;
}

[[noreturn]] void Refuse(const std::string& text) {
    ConsoleUi::instance().print(text);
    fatalExit();
}

std::string CannotWriteText(const std::string& path, int error) {
    return "Can't write file: " + path + "\n" + platform::SystemErrorText(error);
}

[[noreturn]] void CannotWrite(const std::string& path, int error) {
    Refuse(CannotWriteText(path, error));
}

std::vector<uint32_t> ReadWords(uint32_t address, uint32_t length, int32_t kind) {
    std::vector<uint32_t> words;
    words.reserve(length / 4);
    if (Session().options.progress) {
        ConsoleUi::instance().print("\n");
        ConsoleUi::instance().progress(0);
    }
    ThrottledProgress progress(length);
    // Words most significant byte first at the lowest address.
    ReadWordRange(address, length / 4, kind, [&](uint32_t index, uint32_t word) {
        words.push_back(word);
        progress.Done(uint64_t{index + 1} * 4);
    });
    return words;
}

std::string WriteIntelHex(const std::string& path, const std::vector<uint32_t>& words, uint32_t address) {
    // The library's image holds each memory word little-endian; its byte order for the file name
    // is the one the burn reads, so B of the file gives back the same memory.
    std::vector<uint8_t> image;
    image.reserve(words.size() * 4);
    for (const uint32_t word : words)
        for (int shift = 0; shift < 32; shift += 8) image.push_back(static_cast<uint8_t>(word >> shift));
    try {
        ihex_writeImage(path.c_str(), image.data(), static_cast<uint32_t>(image.size()), address);
    } catch (const Quillan::ErrorMessage& error) {
        return std::string(error.what()) + "\n";
    }
    return "";
}

// Returns the failure text, empty on success.
// The file is written in one step that holds the ending signals while it puts a file in place.
std::string WriteFile(const std::string& path, const std::vector<uint32_t>& words, uint32_t address) {
    if (FormatOf(path) == SaveFormat::IntelHex) return WriteIntelHex(path, words, address);
    std::vector<uint8_t> bytes;
    bytes.reserve(words.size() * 4);
    for (const uint32_t word : words)
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(word >> shift));
    const int error = platform::WriteWholeFile(path, bytes.data(), bytes.size());
    return error == 0 ? "" : CannotWriteText(path, error);
}

}  // namespace

void CheckSaveRequest(uint32_t address, uint32_t length, const std::string& path) {
    if (FormatOf(path) == SaveFormat::Unknown) {
        Refuse("Can't save to file " + path + ": the name must end in .hex, .ihex or .bin.\n");
    }
    if (address % 4 != 0 || length % 4 != 0) {
        Refuse("Can't save to file " + path + ": address and length must be multiples of 4.\n");
    }
    if (const int error = platform::CheckWritable(path); error != 0) CannotWrite(path, error);
}

void SaveMemory(uint32_t address, uint32_t length, const std::string& path, int32_t memoryKind) {
    TargetSession& s = Session();
    ConsoleUi& console = ConsoleUi::instance();
    s.controller.flashMutex.Wait(kLockWaitMs);
    PrepareMemory(memoryKind);
    console.print(
        formatText("Saving %u bytes from address 0x%x to file %s\n", length, address, path.c_str()));
    const uint32_t startMs = platform::CurrentClock().TickMs();
    const std::vector<uint32_t> words = ReadWords(address, length, memoryKind);
    s.controller.flashMutex.Release();
    const std::string failure = WriteFile(path, words, address);
    // On a line of its own, after the progress line.
    if (!failure.empty()) Refuse(s.options.progress ? "\n" + failure : failure);
    console.progress(100);
    const float seconds = static_cast<float>(platform::CurrentClock().TickMs() - startMs) / 1000.0f;
    console.print(formatText("\nTotal bytes: %d. Total time: %f seconds\n", static_cast<int32_t>(length),
                             static_cast<double>(seconds)));
    console.print("Save succeeded.\n\n");
}
