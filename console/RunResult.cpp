#include "console/RunResult.h"

namespace {

bool failed = false;
bool unconfirmed = false;

}  // namespace

void markRunFailed() {
    failed = true;
}

void markImageUnconfirmed() {
    unconfirmed = true;
}

void confirmImage() {
    unconfirmed = false;
}

bool runFailed() {
    return failed || unconfirmed;
}

bool imageUnconfirmed() {
    return unconfirmed;
}

void resetRunResult() {
    failed = false;
    unconfirmed = false;
}
