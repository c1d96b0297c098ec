#include "front/CommandLine.h"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chip/ChipFacts.h"
#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "console/Interruption.h"
#include "flash/FlashDriver.h"
#include "front/PortListing.h"
#include "front/RunRecord.h"
#include "image/ImageOps.h"
#include "image/SaveMemory.h"
#include "imagecheck/ImageCheck.h"
#include "link/TargetSession.h"
#include "link/uart/CUartLib.h"
#include "link/uart/PortDiscovery.h"
#include "platform/PortId.h"
#include "platform/Prefix.h"

namespace {

// The usage text around the letters' own lines, which come from the letter table.
constexpr const char* kUsageHead[] = {
    "Usage:\n",
    "1.\tTolvar [src/snk/uasnk/uasrc] [uX/d] [i/s/dm] P|D|E|F|N|B|V filename\n",
    "\tsrc/snk - select src or sink over Norvik (otherwise autodetect, starting with src).\n",
    "\tuasnk/uasrc - select src or snk over UART. Must have exclusive access to the com port.\n",
    "\tuX/d - burn interface uart com X(x=1-9) or default Norvik.\n",
    "\ti/s/dm - protocol selection. (otherwise try autodetect according to configuration reg)\n",
    "\t\ti  - i2c.\n",
    "\t\ts  - spi.\n",
    "\t\tdm - memory device Macronix.\n",
    "\t\tda - memory device Amic.\n",
    "\t\tds - memody device Spansion.\n",
    "\tP|D|E|F|N|B|V - operation selection. Any combination can be used simultaneously\n",
};

constexpr const char* kUsageTail[] = {
    "\tThe file (filename) should be given in iHex format.\n",
    "\te.g. Tolvar uasrc FBV xfilename.iHex\n",
    "\tWill erase the eeprom, and then fast burn and verify file xfilename.iHex\n\n",
    "2.\tTolvar [src/snk] [i/s] FF len data\n",
    "\tFF - Fill eprom with the 32-bit pattern and the given length starting with address 0.\n",
    "\te.g. Tolvar FF 256 0x5A.\n",
    "\twill fill 256 bytes with pattern 0x0000005A.\n\n",
    "3.\tTolvar [src/snk] [i/s] R address len\n",
    "\tR - Read len bytes from address in eprom and print it.\n\n",
    "4.\tTolvar [src/snk/uasnk/uasrc] [i/s] ES address len\n",
    "\tES - Erase 4k-sectors starting from specified address with specified length in bytes.\n",
    "\tAny address within sector is a valid sector address.\n",
    "\te.g. Tolvar uasnk ES 0x1001 14\n",
    "\twill erase 4096 bytes sector at address 0x1000\n\n",
    "5.\tTolvar [src/snk/uasnk/uasrc] [i/s] EB address len\n",
    "\tEB - Erase 64k-blocks starting from specified address with specified length in bytes.\n",
    "\tAny address within block is a valid address of this block.\n",
    "\te.g. Tolvar uasnk EB 0x20fff 79999\n",
    "\twill erase 2*65536 bytes at address 0x20000\n",
    "6.\tTolvar [src/snk/uasnk/uasrc] [i/s] R address len file - save len bytes from address to file "
    "(.hex, .ihex or .bin)\n",
    "7.\tTolvar --list-ports - list the serial ports Tolvar looks at: present or not, the USB adapter, "
    "who holds it\n",
};

constexpr const char* kToolVersion = "1.0.0.45";

constexpr size_t kSideScanLength = 1023;

enum class Command { None, Fill, Read, EraseSectors, EraseBlocks };

// What the link word asked for: the bench server, a port named, or a port to search.
enum class LinkWord { Bench, Port, Search };

constexpr const char* kCommandWork[] = {nullptr, "fill", "read", "sector erase", "block erase"};

// What the run is doing to the memory, for the line of an interrupted run.
struct Work {
    const char* name = nullptr;   // "burn", "verify", ...; null before any memory work began
    const char* memoryLeft = "";  // what the interruption leaves in the memory
    const char* rather = "";      // a shorter way to finish than running the command again
};
Work currentWork;

void BeginWork(const char* name, const char* memoryLeft, const char* rather = "") {
    currentWork = Work{name, memoryLeft, rather};
    Session().controller.workAddress.reset();
}

// One line: the signal, the work and where it stood, what the memory holds, what to run next.
std::string InterruptionLine(int signal) {
    const Work& work = currentWork;
    if (!work.name) {
        return formatText(
            "Interrupted by %s before any memory work: nothing was changed. Run the same command "
            "again.\n",
            SignalName(signal));
    }
    const std::optional<uint32_t> address = Session().controller.workAddress;
    const std::string where = address ? formatText(" at address 0x%x", *address) : std::string();
    return formatText("Interrupted by %s during the %s%s: the memory is %s. Run the same command again%s.\n",
                      SignalName(signal), work.name, where.c_str(), work.memoryLeft, work.rather);
}

// The open memory command is ended (the link still answers: the interruption only stopped the run
// between two exchanges), then the link is closed and the port released.
int EndInterrupted(int signal, std::FILE* out, ReasonNotes& notes) {
    try {
        EndOpenCommand();
    } catch (...) {
        // A link that fails now changes nothing of what is said.
    }
    CloseLink();
    const std::string line = InterruptionLine(signal);
    notes.Conclude(line);
    std::fputs(line.c_str(), out);
    std::fflush(out);
    RestoreTerminalSettings();
    return 128 + signal;
}

bool Is(const char* word, const char* a, const char* b = nullptr) {
    return word && (std::strcmp(word, a) == 0 || (b && std::strcmp(word, b) == 0));
}

bool IsIgnoringCase(const char* word, const char* expected) {
    return word && strcasecmp(word, expected) == 0;
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

const char* SideName(int32_t side) {
    return side == 1 ? "source" : "sink";
}

// strtoul with a 32-bit unsigned long: leading blanks, a sign, the optional 0x of base 16, and
// saturation at 0xFFFFFFFF when the digits do not fit. None unless the whole text is used and holds
// at least one digit.
std::optional<uint32_t> ConvertUnsigned(const char* text, int base) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && HexDigitValue(text[2]) < 16)
        text += 2;
    const char* digits = text;
    uint64_t value = 0;
    for (; HexDigitValue(*text) < static_cast<uint32_t>(base); ++text) {
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(HexDigitValue(*text));
        if (value > 0xFFFFFFFFu) value = 0x100000000u;
    }
    if (text == digits || *text != 0) return std::nullopt;
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
    return negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(value)) : static_cast<uint32_t>(value);
}

// The operation letters the command line asked for.
struct Letters {
    bool debug = false;
    bool noErase = false;
    bool burn = false;
    bool verify = false;
    bool fast = false;
    bool erase = false;
    bool pause = false;
    bool skipImageCheck = false;
    bool update = false;
};

// One invocation: the words, what has been read from them so far, and the console streams.
class CTolvarRun {
  public:
    CTolvarRun(int argc, char** argv, std::FILE* in, std::FILE* out, std::shared_ptr<ReasonNotes> notes)
        : m_argc(argc), m_argv(argv), m_in(in), m_out(out), m_notes(std::move(notes)) {}

    int Run();
    // What the words told and the run found, for the run record.
    void Describe(RunFacts& facts) const;

    // What the operation letters do in their turn, in the order the word gives them.
    void Burn(const char* imagePath);
    void Update(const char* imagePath);
    void Verify(const char* imagePath);
    void Fast(const char* imagePath);
    void Erase(const char* imagePath);

  private:
    void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    const char* Word(int position) const { return position < m_argc ? m_argv[position] : nullptr; }

    void RunWords();
    void ReadSideFromLastWord();
    void ReadSideWord();
    void WarnAndConfirm(const char* file, const char* board);
    void ReadLinkWord();
    [[nodiscard]] platform::PortId PortIn(const char* word);
    std::string PortLabel() const;
    void OpenLink();
    [[nodiscard]] uint32_t NumberIn(const char* word, const char* digits);
    bool SavesToFile(Command command) const;
    void ReadCommandNumbers(Command command);
    void RequireReadableImage();
    bool ReadsImage() const;
    void CheckDetectedSide();
    [[noreturn]] void StopTargetNotFound();
    uint32_t SearchUartPort();
    [[noreturn]] void StopNamingBusyPorts(std::vector<std::string> busy);
    void ReadMemoryAndSizeWords();
    Command CommandWord() const;
    void CheckCount(int expected);
    void RunCommand(Command command);
    void RequireWithinMemory(uint32_t start, uint32_t length);
    void RunOperations();
    void ParseLetters(const char* optionWord);
    void CheckBeforeBurn(const char* imagePath);
    void RequireFastCapableLink();
    void RequireKnownMemory(bool writesOrCompares);
    void RequireI2cIfAsked();
    void EraseCarryingTimeouts(const std::function<bool()>& erase);
    void PauseIfAsked();

    int m_argc;
    char** m_argv;
    std::FILE* m_in;
    std::FILE* m_out;
    std::shared_ptr<ReasonNotes> m_notes;
    int m_position = 1;
    std::optional<Command> m_command;  // once the words up to the command word are read
    bool m_portKnown = false;          // given in the link word or found by the search
    int32_t m_side = -1;
    int32_t m_firstSide = 1;
    LinkWord m_linkWord = LinkWord::Bench;
    platform::PortId m_port = platform::ComPort(0);
    uint32_t m_first = 0;  // the numbers of FF, R, ES and EB
    uint32_t m_second = 0;
    int32_t m_memoryKind = KindUnknownFlash;
    int32_t m_sizeSelection = 0;
    bool m_i2cAsked = false;
    Letters m_letters;
    ConsoleTerminals m_terminals;
};

// One operation letter: the flag it sets, what it does in its turn (nothing for a letter that only
// changes how the others work), whether it writes or compares the memory, whether it reads the
// image, and its usage line (none for a letter the usage does not show). A new letter is one row,
// and its action when it has one.
struct LetterRow {
    char letter;
    bool Letters::*flag;
    void (CTolvarRun::*act)(const char* imagePath);
    bool writes;
    bool readsImage;
    const char* usage;
};

// In the order of the usage text.
const LetterRow kLetters[] = {
    {'P', &Letters::pause, nullptr, false, false,
     "\t\tP - Display message 'Press any key to continue' before successful exit as well.\n"},
    {'D', &Letters::debug, nullptr, false, false, "\t\tD - Debug mode on. Log all operations to console.\n"},
    {'E', &Letters::erase, &CTolvarRun::Erase, true, false, "\t\tE - Fully erase eeprom.\n"},
    {'F', &Letters::fast, &CTolvarRun::Fast, false, false,
     "\t\tF - Fast burn/verify. Invalid for QX100/QX010/QX020 type products. Should appear before 'B'/'V' "
     "option.\n"},
    {'N', &Letters::noErase, nullptr, false, false,
     "\t\tN - 'No erase': Burns the data from filename into eprom without erase. Should appear before 'B' "
     "option.\n"},
    {'B', &Letters::burn, &CTolvarRun::Burn, true, true,
     "\t\tB - Burn the data from filename into eeprom with pre-erasure.\n"},
    {'V', &Letters::verify, &CTolvarRun::Verify, true, true,
     "\t\tV - Read Eprom and verify against expected data from filename.\n"},
    {'U', &Letters::update, &CTolvarRun::Update, true, true,
     "\t\tU - Update: burn only the sectors/pages that differ from filename, erasing only those.\n"},
    {'O', &Letters::skipImageCheck, nullptr, false, false, nullptr},
};

// The row of a letter in either case; null when no row has it.
const LetterRow* FindLetter(char letter) {
    for (const LetterRow& row : kLetters) {
        if (row.letter == AsciiUpper(letter)) return &row;
    }
    return nullptr;
}

void PrintUsage(std::FILE* out) {
    for (const char* line : kUsageHead) std::fputs(line, out);
    for (const LetterRow& row : kLetters) {
        if (row.usage != nullptr) std::fputs(row.usage, out);
    }
    for (const char* line : kUsageTail) std::fputs(line, out);
    std::fflush(out);
}

void CTolvarRun::Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = formatTextV(format, args);
    va_end(args);
    m_notes->Note(text);
    std::fputs(text.c_str(), m_out);
    std::fflush(m_out);
}

int CTolvarRun::Run() {
    m_terminals = DetectTerminals(m_in, m_out);
    ConsoleUi::Operations operations = StandardConsoleOperations(m_in, m_out, m_terminals);
    // Every message may be the reason a failed run gives.
    operations.print = [print = std::move(operations.print), notes = m_notes](const std::string& text) {
        notes->Note(text);
        print(text);
    };
    ConsoleUi::instance().Install(std::move(operations));
    std::fprintf(m_out, "Ver %s\n", kToolVersion);
    for (int i = 0; i < m_argc; ++i) std::fprintf(m_out, "%s ", m_argv[i]);
    std::fputs("\n", m_out);
    std::fflush(m_out);
    if (m_argc < 4) {
        m_notes->Note(kUsageHead[0]);
        usageExit(m_out);
    }
    bool stopped = false;
    try {
        RunWords();
    } catch (const RunInterrupted&) {
        return -1;  // the caller says so
    } catch (...) {
        m_notes->Note(ReportException(m_out));
        stopped = true;
    }
    // The burn's own line already said the memory is in doubt; this is the run's verdict.
    if (!stopped && Session().verdict.imageUnconfirmed) Print("Burn failed.\n");
    PauseIfAsked();
    return stopped || Session().verdict.runFailed || Session().verdict.imageUnconfirmed ? -1 : 0;
}

// Every word is read before the link opens: a word that cannot mean anything stops the run first.
void CTolvarRun::RunWords() {
    Session().controller.LoadDefaults();
    ReadSideFromLastWord();
    ReadSideWord();
    ReadLinkWord();
    ReadMemoryAndSizeWords();
    const Command command = CommandWord();
    m_command = command;
    if (command != Command::None) ReadCommandNumbers(command);
    // An image that cannot be read is said before any board is looked for.
    if (command == Command::None) RequireReadableImage();
    OpenLink();
    if (command == Command::None) {
        RunOperations();
    } else {
        RunCommand(command);
    }
}

void CTolvarRun::ReadSideFromLastWord() {
    // Only the file's own name tells the side, not the folders it lies in.
    const char* word = m_argv[m_argc - 1];
    if (const char* slash = std::strrchr(word, '/')) word = slash + 1;
    std::string last;
    for (const char* c = word; *c && last.size() < kSideScanLength; ++c) last += AsciiLower(*c);
    if (last.find("source") != std::string::npos || last.find("src") != std::string::npos) {
        m_side = 1;
    } else if (last.find("sink") != std::string::npos || last.find("snk") != std::string::npos) {
        m_side = 0;
    } else {
        m_side = -1;
    }
    // A read's output file names where memory goes, not an image for one side.
    if (m_argc >= 5 && Is(m_argv[m_argc - 4], "R", "r")) m_side = -1;
    // "uasnk"/"uasrc" fix the side but stay for the link word.
    if (IsIgnoringCase(m_argv[1], "uasnk")) m_side = 0;
    if (IsIgnoringCase(m_argv[1], "uasrc")) m_side = 1;
}

void CTolvarRun::ReadSideWord() {
    const char* word = m_argv[1];
    // The side word decides, also for a run that ends at the question.
    if (Is(word, "snk")) {
        m_firstSide = 0;
        const bool against = m_side == 1;
        m_side = 0;
        ++m_position;
        if (against) WarnAndConfirm("source file", "sink");
    } else if (Is(word, "src")) {
        m_firstSide = 1;
        const bool against = m_side == 0;
        m_side = 1;
        ++m_position;
        if (against) WarnAndConfirm("sink file", "source");
    } else {
        m_firstSide = 1;
    }
}

void CTolvarRun::WarnAndConfirm(const char* file, const char* board) {
    Print("Important warning: you are trying to burn a %s to a %s board. \n", file, board);
    if (!ConsoleUi::instance().confirm()) throw ProcessExit{-1};
}

// Letters alone after the u ("uov") make the operation word, not a port: the link is then the
// bench server's.
bool IsLettersWord(const char* rest) {
    if (*rest == '\0') return false;
    for (; *rest; ++rest) {
        if (!((*rest >= 'a' && *rest <= 'z') || (*rest >= 'A' && *rest <= 'Z'))) return false;
    }
    return true;
}

void CTolvarRun::ReadLinkWord() {
    const char* word = m_argv[m_position];
    if (word[0] == 'd') ++m_position;
    if (word[0] != 'u') return;
    if (word[1] == 'a') {
        m_linkWord = LinkWord::Search;
    } else if (IsLettersWord(word + 1)) {
        return;
    } else {
        m_linkWord = LinkWord::Port;
        m_port = PortIn(word);
        m_portKnown = true;
    }
    ++m_position;
}

// The rest of a port word: a number (com port), a device path or a port server's URL.
platform::PortId CTolvarRun::PortIn(const char* word) {
    const char* rest = word + 1;
    if (rest[0] != '/' && !platform::LooksLikeUrl(rest)) return platform::ComPort(NumberIn(word, rest));
    if (const std::optional<platform::PortId> port = platform::PortFromText(rest)) return *port;
    Print(
        "Error: '%s' in '%s' is not a port: a network port is socket://HOST:PORT or rfc2217://HOST:PORT "
        "(PORT 1 to 65535).\n",
        rest, word);
    fatalExit();
}

// How the lines name the port: its number for a com port, else its name.
std::string CTolvarRun::PortLabel() const {
    if (m_port.kind == platform::PortKind::Com) return formatText("%d", static_cast<int>(m_port.number));
    return m_port.name;
}

void CTolvarRun::OpenLink() {
    TargetSession& session = Session();
    if (m_linkWord == LinkWord::Bench) {
        session.link.kind = BenchServer;
        OpenBenchLink();
        return;
    }
    if (m_linkWord == LinkWord::Search) m_port = platform::ComPort(SearchUartPort());
    m_portKnown = true;
    session.link.kind = Uart;
    OpenUartLink(m_port);
    if (!session.link.uart->PortInitialized()) StopTargetNotFound();
    if (m_side == 0 || m_side == 1) CheckDetectedSide();
}

// A number word means what it says or stops the run: "1e5" or "65,536" is never read as 1 or 65.
uint32_t CTolvarRun::NumberIn(const char* word, const char* digits) {
    if (const std::optional<uint32_t> value = parseNumber(digits)) return *value;
    if (digits == word) {
        Print("Error: '%s' is not a number (decimal, 0x hexadecimal or b binary).\n", word);
    } else {
        Print("Error: '%s' in '%s' is not a number (decimal, 0x hexadecimal or b binary).\n", digits, word);
        Print(
            "A port word is u followed by a number, a device path (u/dev/ttyACM0) or a network port "
            "(usocket://HOST:PORT, urfc2217://HOST:PORT).\n");
    }
    fatalExit();
}

// Only the letters that read the image need it; a wrong word count is left to the count check.
void CTolvarRun::RequireReadableImage() {
    if (ReadsImage()) requireReadableImage(m_argv[m_position + 1]);
}

// The operation form with its file word, and a letter that reads the image.
bool CTolvarRun::ReadsImage() const {
    const int o = m_position;
    if (m_command != Command::None || m_argc != o + 2) return false;
    for (const char* letter = m_argv[o]; *letter != '\0'; ++letter) {
        const LetterRow* row = FindLetter(*letter);
        if (row != nullptr && row->readsImage) return true;
    }
    return false;
}

void CTolvarRun::Describe(RunFacts& facts) const {
    facts.linkKind = Session().link.kind;
    if (m_portKnown) facts.port = m_port.name;
    facts.side = m_side;
    facts.memoryKind = m_memoryKind;
    if (ReadsImage()) facts.imagePath = m_argv[m_position + 1];
    if (m_command && SavesToFile(*m_command)) facts.savedPath = m_argv[m_position + 3];
}

// The chip on the port tells its own side; a run meant for the other one stops before any write.
void CTolvarRun::CheckDetectedSide() {
    const uint32_t id = TargetReadOn(chip::kIdRegister, chip::kCurrentTarget);
    const int32_t chipSide = chip::SideOfId(id);
    const std::string port = PortLabel();
    Print("Detected %s %s on port %s\n", chip::FamilyName(id), SideName(chipSide), port.c_str());
    if (chipSide == m_side) return;
    Print("Error: The %s was asked for, but the chip on port %s is the %s.\n", SideName(m_side), port.c_str(),
          SideName(chipSide));
    throw ProcessExit{-1};
}

// As the identification stops when the side does not answer: no error pause.
void CTolvarRun::StopTargetNotFound() {
    Print("Error: Could not find target. Please check board connectivity.\n");
    throw ProcessExit{-1};
}

uint32_t CTolvarRun::SearchUartPort() {
    // A board behind a port that another program holds is not "not connected": those ports are named.
    std::vector<std::string> busy;
    if (m_side != -1) {
        uint32_t port = FindUartPort(m_side, &busy);
        if (port == 0) {
            Print("Could not autodetect %s connected to any uart port\n", SideName(m_side));
            StopNamingBusyPorts(busy);
        }
        return port;
    }
    uint32_t port = FindUartPort(m_firstSide, &busy);
    if (port > 0) {
        m_side = m_firstSide;
    } else if ((port = FindUartPort(1 - m_firstSide, &busy)) > 0) {
        m_side = 1 - m_firstSide;
    } else {
        Print("Could not autodetect board connected to any uart port\n");
        StopNamingBusyPorts(busy);
    }
    Print("Found %s on port %d\n", SideName(m_side), static_cast<int>(port));
    return port;
}

void CTolvarRun::StopNamingBusyPorts(std::vector<std::string> busy) {
    std::sort(busy.begin(), busy.end());
    busy.erase(std::unique(busy.begin(), busy.end()), busy.end());
    for (const std::string& line : busy) Print("%s\n", line.c_str());
    fatalExit();
}

void CTolvarRun::ReadMemoryAndSizeWords() {
    const char* word = Word(m_position);
    if (const MemoryKindRow* row = KindForOption(word)) {
        m_memoryKind = row->kind;
        ++m_position;
    } else if (Is(word, "I", "i")) {
        // The family's I2C EEPROM kind comes from the identification, which tells the family.
        m_i2cAsked = true;
        ++m_position;
    }
    word = Word(m_position);
    if (Is(word, "128k")) {
        m_sizeSelection = 2;
        ++m_position;
    } else if (Is(word, "64k")) {
        m_sizeSelection = 1;
        ++m_position;
    }
}

Command CTolvarRun::CommandWord() const {
    const char* word = Word(m_position);
    if (Is(word, "FF", "ff")) return Command::Fill;
    if (Is(word, "R", "r")) return Command::Read;
    if (Is(word, "ES", "es")) return Command::EraseSectors;
    if (Is(word, "EB", "eb")) return Command::EraseBlocks;
    return Command::None;
}

void CTolvarRun::CheckCount(int expected) {
    if (m_argc == expected) return;
    Print("Expected %d number of params, but got %d instead.\n", expected, m_argc);
    usageExit(m_out);
}

// R alone takes an optional output file.
bool CTolvarRun::SavesToFile(Command command) const {
    return command == Command::Read && m_argc > m_position + 3;
}

// With the count wrong the words are not numbers to read; the count check says so once the link is open.
void CTolvarRun::ReadCommandNumbers(Command command) {
    const int c = m_position;
    if (m_argc != (SavesToFile(command) ? c + 4 : c + 3)) return;
    m_first = NumberIn(m_argv[c + 1], m_argv[c + 1]);
    m_second = NumberIn(m_argv[c + 2], m_argv[c + 2]);
}

void CTolvarRun::RunCommand(Command command) {
    int c = m_position;
    const bool save = SavesToFile(command);
    CheckCount(save ? c + 4 : c + 3);
    const uint32_t first = m_first;
    const uint32_t second = m_second;
    if (save) CheckSaveRequest(first, second, m_argv[c + 3]);
    IdentifyMemory(m_memoryKind, m_side, m_sizeSelection);
    RequireI2cIfAsked();
    RequireKnownMemory(command != Command::Read);
    if (command == Command::Fill) {
        RequireWithinMemory(0, first);
    } else {
        RequireWithinMemory(first, second);
    }
    BeginWork(kCommandWork[static_cast<int>(command)], command == Command::Read   ? "unchanged"
                                                       : command == Command::Fill ? "partly filled"
                                                                                  : "partly erased");
    switch (command) {
        case Command::Fill:
            fillMemory(first, second, m_memoryKind);
            break;
        case Command::Read:
            if (save) {
                SaveMemory(first, second, m_argv[c + 3], m_memoryKind);
                break;
            }
            // Printed as they come: nothing is kept.
            ReadMemory(first, static_cast<int32_t>(second / 4), true, nullptr, m_memoryKind);
            break;
        case Command::EraseSectors:
            EraseCarryingTimeouts(
                [&] { return EraseRange(first, kSectorSize, m_memoryKind, second, kSectorEraseWord); });
            break;
        case Command::EraseBlocks:
            EraseCarryingTimeouts(
                [&] { return EraseRange(first, kBlockSize, m_memoryKind, second, kBlockEraseWord); });
            break;
        case Command::None:
            break;
    }
}

// A range past the memory would wrap round to its start (the memory takes the address modulo its
// size): refused before anything is touched.
void CTolvarRun::RequireWithinMemory(uint32_t start, uint32_t length) {
    const uint64_t size = Session().controller.memorySize;
    if (size == 0 || (start < size && uint64_t{start} + length <= size)) return;
    Print("Error: the range of 0x%x bytes at 0x%x runs past the end of the memory (0x%llx bytes).\n", length,
          start, static_cast<unsigned long long>(size));
    fatalExit();
}

void CTolvarRun::RunOperations() {
    int o = m_position;
    CheckCount(o + 2);
    const char* optionWord = m_argv[o];
    const char* imagePath = m_argv[o + 1];
    IdentifyMemory(m_memoryKind, m_side, m_sizeSelection);
    RequireI2cIfAsked();
    if (!TargetIsSide(static_cast<uint8_t>(m_side))) WarnAndConfirm("src/snk", "snk/src");
    ParseLetters(optionWord);
    bool writes = false;
    for (const LetterRow& row : kLetters) writes = writes || (row.writes && m_letters.*row.flag);
    RequireKnownMemory(writes);
    // Before any letter acts: an E before the B of an image that cannot be burned erases for nothing.
    bool readsImage = false;
    for (const LetterRow& row : kLetters) readsImage = readsImage || (row.readsImage && m_letters.*row.flag);
    if (readsImage) requireSoundImage(imagePath);
    if (m_letters.debug) {
        Session().options.debugMode = 1;
        Session().options.progress = false;
    }
    for (const char* letter = optionWord; *letter; ++letter) {
        const LetterRow& row = *FindLetter(*letter);
        if (row.act != nullptr) (this->*row.act)(imagePath);
    }
}

void CTolvarRun::ParseLetters(const char* optionWord) {
    m_letters = Letters{};
    for (const char* letter = optionWord; *letter; ++letter) {
        const LetterRow* row = FindLetter(*letter);
        if (row == nullptr) {
            Print("Unsupported option '%c'\n", *letter);
            usageExit(m_out);
        }
        m_letters.*row->flag = true;
    }
}

void CTolvarRun::Burn(const char* imagePath) {
    Session().options.eraseBeforeBurn = !m_letters.noErase;
    CheckBeforeBurn(imagePath);
    BeginWork("burn", "partly written", ", or with U in place of B to write only what differs");
    burnImage(imagePath, 1, m_memoryKind, m_sizeSelection);
}

// N means nothing here: the update erases exactly what it rewrites.
void CTolvarRun::Update(const char* imagePath) {
    CheckBeforeBurn(imagePath);
    BeginWork("update", "partly written");
    updateImage(imagePath, m_memoryKind, m_sizeSelection);
}

void CTolvarRun::Verify(const char* imagePath) {
    Session().options.eraseBeforeBurn = false;
    BeginWork("verify", "unchanged");
    burnImage(imagePath, 2, m_memoryKind, m_sizeSelection);
}

void CTolvarRun::Fast(const char*) {
    RequireFastCapableLink();
}

void CTolvarRun::Erase(const char*) {
    BeginWork("erase", "partly erased");
    if (KindRow(m_memoryKind).erase == EraseStyle::UpdateMark) {
        EraseUpdateSection(m_sizeSelection, m_memoryKind);
    } else {
        EraseCarryingTimeouts([this] { return EraseChip(m_memoryKind); });
    }
}

void CTolvarRun::CheckBeforeBurn(const char* imagePath) {
    if (!m_letters.skipImageCheck && !CheckImageFile(imagePath)) fatalExit();
    if (IsFastKind(m_memoryKind)) PreBurnRead();
}

void CTolvarRun::RequireFastCapableLink() {
    bool uart = Session().link.kind == Uart;
    if (IsFastKind(m_memoryKind) && uart) {
        Session().options.fast = true;
        Print("Set fast burn\n");
        return;
    }
    if (!IsFastKind(m_memoryKind) && uart) {
        Print("Fast burn is allowed only for Marnel eeproms.\n");
    } else {
        Print("Fast burn is allowed only directly above UART (no Norvik).\n");
    }
    usageExit(m_out);
}

// A flash whose id no row knows has no erase, program or compare of its own: stop before any.
void CTolvarRun::RequireKnownMemory(bool writesOrCompares) {
    if (m_memoryKind != KindUnknownFlash || !writesOrCompares) return;
    ConsoleUi::instance().print(
        "Error: Unrecognized flash device: can't erase, burn, verify or fill it. Nothing was written.\n");
    fatalExit();
}

void CTolvarRun::RequireI2cIfAsked() {
    if (!m_i2cAsked || IsI2c(m_memoryKind)) return;
    ConsoleUi::instance().print(
        "Error: I2C was asked for, but the memory of this board is not an I2C EEPROM.\n");
    fatalExit();
}

// An erase whose wait timed out goes on as designed, but the run then ends with -1.
void CTolvarRun::EraseCarryingTimeouts(const std::function<bool()>& erase) {
    if (!erase()) Session().verdict.runFailed = true;
}

void CTolvarRun::PauseIfAsked() {
    if (!m_letters.pause) return;
    Print("Press any key to continue . . .\n");
    WaitForKey(m_in, m_terminals.input);
}

// "--help"/"-h" and "--version" as the only word answer and end 0, before any other word is read.
bool AnswerInformationRequest(int argc, char** argv, std::FILE* out) {
    if (argc != 2) return false;
    if (Is(argv[1], "--help", "-h")) {
        PrintUsage(out);
        return true;
    }
    if (Is(argv[1], "--version")) {
        std::fprintf(out, "Ver %s\n", kToolVersion);
        std::fflush(out);
        return true;
    }
    return false;
}

}  // namespace

std::optional<uint32_t> parseNumber(const char* word) {
    if (word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) return ConvertUnsigned(word + 2, 16);
    if (word[0] == 'b') return ConvertUnsigned(word + 1, 2);
    return ConvertUnsigned(word, 10);
}

std::string ReportException(std::FILE* out) {
    std::string line;
    try {
        throw;
    } catch (const ProcessExit&) {
        throw;
    } catch (const CxExceptionError& error) {
        line = formatText("Exception: %s\n", error.message.c_str());
    } catch (const char* text) {
        line = formatText("Exception: %s\n", text);
    } catch (const std::exception& error) {
        line = formatText("Exception: %s\n", error.what());
    } catch (...) {
        line =
            "Unknown exception. Please verify that WinPCap "
            "(G:\\sw_work.5.0.0.0\\norviktest\\WinPcap_4_0_2.exe) "
            "is installed correctly.\n";
    }
    std::fputs(line.c_str(), out);
    std::fflush(out);
    return line;
}

void usageExit(std::FILE* out) {
    PrintUsage(out);
    fatalExit();
}

int RunTolvar(int argc, char** argv, std::FILE* in, std::FILE* out) {
    if (AnswerInformationRequest(argc, argv, out)) return 0;
    if (argc == 2 && Is(argv[1], "--list-ports")) return ListPortsCommand(out);
    currentWork = Work{};
    RunFacts facts = StartRunFacts(argc, argv);
    auto notes = std::make_shared<ReasonNotes>();
    CTolvarRun run(argc, argv, in, out, notes);
    int code = -1;
    try {
        code = run.Run();
    } catch (const ProcessExit& exit) {
        std::fflush(out);
        code = exit.code;
    } catch (const platform::PrefixRefused& refused) {
        // Met before the console could start (its lock lives in the prefix).
        std::fprintf(out, "%s\n", refused.what());
        std::fflush(out);
        notes->Note(refused.what());
        code = -1;
    }
    run.Describe(facts);
    // Noted at any point (a pause, a question, an exchange): the run ends as interrupted.
    const int signal = NotedInterruption();
    if (signal != 0) code = EndInterrupted(signal, out, *notes);
    const std::string reportPath = RunRecordPath();
    if (!reportPath.empty()) {
        const RunEnding ending{code, signal, notes->Reason()};
        (void)AppendRunRecord(reportPath, RunRecordLine(facts, ending, kToolVersion));
    }
    return code;
}
