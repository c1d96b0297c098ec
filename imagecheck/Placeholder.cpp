// The firmware image check has not landed yet: it says so when reached.
#include "front/CxException.h"
#include "imagecheck/ImageCheck.h"

bool CheckImageFile(const char*) {
    throw CxExceptionError("Firmware image check: not available in this build", 0);
}
