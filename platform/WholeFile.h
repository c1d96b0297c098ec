#pragma once
// A whole file written to the name a user gave, the way a careful tool on a shared machine writes:
// - a regular file is replaced by a new one, written in the same folder under a private temporary
//   name and renamed over it once on disk, so an interruption leaves the old file or the new one.
//   The new file keeps the old one's mode (and owner and group, where the process may set them);
//   other hard links to the old file keep the old contents.
// - a name that is a symbolic link, a device, or a FIFO is written through the name as it stands:
//   the kernel follows the link or refuses it (protected links in sticky folders; the same rule is
//   applied here where fs.protected_symlinks is off), the link stays
//   a link and the node a node. A link that leads nowhere or to a loop, a socket, a folder and a
//   file the user may not write are refused; so is a FIFO without a reader, when it is written
//   (opening it earlier would end the data for a reader that is there).
// - a missing file is created with mode 0666 less the umask; "-" is standard output.
// The checks that need no writing come first, in CheckWritable, so that a caller can refuse the
// name before long work. Errors are errno values, 0 when all went well.
#include <cstddef>
#include <functional>
#include <string>

namespace platform {

// Writes all the bytes to the descriptor, through short writes and interruptions; 0 or the error.
[[nodiscard]] int WriteAll(int fd, const void* data, size_t size);

// 0 when the name can be written as WriteWholeFile writes it, otherwise why not.
[[nodiscard]] int CheckWritable(const std::string& path);

// Writes the bytes as the whole content of the name; 0 or the error. Signals that end the
// process wait until the file is in place, so that no temporary file is left behind.
[[nodiscard]] int WriteWholeFile(const std::string& path, const void* data, size_t size);
// The same for content that a writer puts into the descriptor it is given (0 or the error), for
// content too large to hold in memory.
using ContentWriter = std::function<int(int fd)>;
[[nodiscard]] int WriteWholeFile(const std::string& path, const ContentWriter& writeContent);
inline int WriteWholeFile(const std::string& path, const std::string& text) {
    return WriteWholeFile(path, text.data(), text.size());
}

}  // namespace platform
