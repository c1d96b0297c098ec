#pragma once
// The run record: with TOLVAR_REPORT naming a file, every run appends one JSON object on one line
// saying when it ran, on which port, board, chip and memory, with which words and image, what it
// wrote and compared, and how it ended. Without the variable nothing of this happens.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the command line knows of the run; the session adds the chip, the memory and the counts.
struct RunFacts {
    std::vector<std::string> words;   // the command words, the program's path not among them
    int64_t startWallMs = 0;          // wall clock, milliseconds since 1970 (UTC)
    uint32_t startTick = 0;           // the Clock's tick at the start
    int32_t linkKind = 0;             // LinkKind; 0 before the link word was read
    std::optional<std::string> port;  // the port as the words gave it or the search found it ("com3")
    int32_t side = -1;
    int32_t memoryKind = 0;                // as identification left it (the session tells whether it ran)
    std::optional<std::string> imagePath;  // the image the operation letters read
    std::optional<std::string> savedPath;  // the file a read saved into
};

// The messages a failure's reason comes from: the first message the run printed that starts with
// "Error" or "Exception", else the last message before the run ended; a concluding message (the
// line of an interruption) wins over both.
class ReasonNotes {
  public:
    void Note(std::string_view message);
    void Conclude(std::string_view message);
    std::string Reason() const;

  private:
    std::string m_firstError;
    std::string m_last;
    std::string m_conclusion;
};

// How the run ended.
struct RunEnding {
    int code = 0;    // as the run returns it (-1 after a stop)
    int signal = 0;  // the interrupting signal, 0 for none
    std::string reason;
};

// The facts known at the start: the words and the two clocks.
RunFacts StartRunFacts(int argc, char** argv);

// The file TOLVAR_REPORT names; empty when it is unset or empty.
std::string RunRecordPath();

// The record as one line of JSON, newline included; reads the session for what identification and
// the image operations found, and the files for their size and fingerprint.
std::string RunRecordLine(const RunFacts& facts, const RunEnding& ending, const char* toolVersion);

// Appends the line to the file in one write (O_APPEND), so that runs side by side never mix their
// lines. A file that cannot be written gets one warning on standard error; false then.
bool AppendRunRecord(const std::string& path, const std::string& line);

// The text as a JSON string, quotes included: quotes, backslashes and control characters escaped,
// and every byte that is not part of valid UTF-8 given as U+FFFD.
std::string JsonString(std::string_view text);
