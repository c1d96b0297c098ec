#include "image/SaveMemory.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/ConsoleUi.h"
#include "flash/FlashDriver.h"
#include "image/Progress.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"
#include "platform/SystemError.h"
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

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A name that is a link is written where the link leads, so the link stays.
std::string WrittenPath(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string target = resolved;
    std::free(resolved);
    return target;
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

// Signals that would end the process wait while the file is written and renamed, so an
// interruption leaves either the old file or the new one, and no temporary file.
class HeldSignals {
  public:
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, signal);
        sigprocmask(SIG_BLOCK, &held, &m_previous);
    }
    ~HeldSignals() { sigprocmask(SIG_SETMASK, &m_previous, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

  private:
    sigset_t m_previous;
};

// The bytes under a temporary name beside the file, renamed into place once they are all on disk.
// Returns the failure text, empty on success.
std::string WriteBinary(const std::string& path, const std::vector<uint8_t>& bytes) {
    const std::string target = WrittenPath(path);
    std::string temporary = target + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return CannotWriteText(path, errno);
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    bool ok = written == bytes.size() && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && std::rename(temporary.c_str(), target.c_str()) == 0) return "";
    if (ok) error = errno;
    unlink(temporary.c_str());
    return CannotWriteText(path, error);
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
std::string WriteFile(const std::string& path, const std::vector<uint32_t>& words, uint32_t address) {
    HeldSignals held;
    if (FormatOf(path) == SaveFormat::IntelHex) return WriteIntelHex(path, words, address);
    std::vector<uint8_t> bytes;
    bytes.reserve(words.size() * 4);
    for (const uint32_t word : words)
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(word >> shift));
    return WriteBinary(path, bytes);
}

}  // namespace

void CheckSaveRequest(uint32_t address, uint32_t length, const std::string& path) {
    if (FormatOf(path) == SaveFormat::Unknown) {
        Refuse("Can't save to file " + path + ": the name must end in .hex, .ihex or .bin.\n");
    }
    if (address % 4 != 0 || length % 4 != 0) {
        Refuse("Can't save to file " + path + ": address and length must be multiples of 4.\n");
    }
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) CannotWrite(path, EISDIR);
    if (access(FolderOf(WrittenPath(path)).c_str(), W_OK | X_OK) != 0) CannotWrite(path, errno);
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
    // Reported once the signals held while writing are let through again.
    const std::string failure = WriteFile(path, words, address);
    if (!failure.empty()) Refuse(failure);
    console.progress(100);
    const float seconds = static_cast<float>(platform::CurrentClock().TickMs() - startMs) / 1000.0f;
    console.print(formatText("\nTotal bytes: %d. Total time: %f seconds\n", static_cast<int32_t>(length),
                             static_cast<double>(seconds)));
    console.print("Save succeeded.\n\n");
}
