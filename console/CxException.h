#pragma once
// The error raised by the link layers and the flash map: a finished message and a code.
#include <cstdint>
#include <string>

class CxExceptionBase {
  public:
    CxExceptionBase(std::string message, int32_t code) : message(std::move(message)), code(code) {}
    virtual ~CxExceptionBase() = default;

    std::string message;
    int32_t code;
};

class CxExceptionError : public CxExceptionBase {
  public:
    using CxExceptionBase::CxExceptionBase;
};

// Thrown by fatalExit/usageExit and the other stops so the process ends through one path
// (and in-process tests can observe the exit code). Not derived from any exception class the
// top-level handlers catch.
struct ProcessExit {
    int code;
};
