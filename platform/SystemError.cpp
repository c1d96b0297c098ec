#include "platform/SystemError.h"

#include <cstring>

namespace platform {

std::string SystemErrorText(int error) {
    return std::string(std::strerror(error)) + "\n";
}

}  // namespace platform
