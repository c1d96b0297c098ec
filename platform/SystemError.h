#pragma once
#include <string>

namespace platform {

// The system's text for an errno value, followed by "\n".
std::string SystemErrorText(int error);

}  // namespace platform
