// Image operations that have not landed yet: each says so when reached.
#include "front/CxException.h"
#include "image/ImageOps.h"

namespace {
[[noreturn]] void NotAvailable() { throw CxExceptionError("Image operations: not available in this build", 0); }
}  // namespace

void burnImage(const std::string&, int32_t, int32_t, int32_t) { NotAvailable(); }
void fillMemory(uint32_t, uint32_t, int32_t) { NotAvailable(); }
