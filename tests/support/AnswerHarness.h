#pragma once
// Feeds arbitrary firmware output to one register exchange and classifies the outcome. Shared by
// the randomised test and the fuzz target.
//
// Input: byte 0 picks the exchange; then records of one length byte and that many bytes, each
// record one chunk the port delivers (length 0: a silent read, lengths above 50 are cut).
#include <cstddef>
#include <cstdint>
#include <string>

namespace testsupport {

enum class AnswerOutcome { Value, DefinedError, UnknownError };

struct AnswerResult {
    AnswerOutcome outcome;
    std::string error;
};

// Runs with its own virtual clock and port opener; the caller provides a prefix and a console.
AnswerResult RunAnswerExchange(const uint8_t* data, size_t size);

}  // namespace testsupport
