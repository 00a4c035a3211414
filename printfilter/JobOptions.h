#pragma once

// The job's settings: the CUPS filter arguments (queue, job id, title, copies, options, raster
// file) and the choices the queue's PPD marks for the job (media type, page size, input slot,
// duplex, collate, scale, darkness), read through libcups.

#include <optional>
#include <string>
#include <vector>

namespace tbx {

struct JobOptions {
    std::string PrinterName; // queue name, argv[0]: used to cancel the job with the scheduler
    int JobId = 0;           // argv[1] when it is a positive decimal number (parseJobId), else 0
    std::string jobIdText;   // argv[1] as given
    std::string jobName;     // job title, argv[3]
    std::string jobCopies;   // Copies value of the job header: argv[4], or "1" when the filter collates
    int copies = 0;          // decimal value of argv[4] (0 when it is not a number)
    std::string optionText;  // argv[5], CUPS option text (empty when absent)
    std::string rasterFile;  // argv[6]: the raster comes from this file; empty: standard input

    int isMediaType = 0; // 0 plain, 1 thick, 2 thin, 3 card, 4 envelope
    std::string pageSize = "A4";
    int isInputSlot = 0; // 0 AUTO, 1 MPTRAY, 2 TRAY1, 3 TRAY2, 4 TRAY3
    int isDuplex = 0;    // 0 one-sided, 1 "DuplexTumble" (short edge), 2 "DuplexNoTumble" (long edge)
    bool collate = true; // the filter makes the copies itself, collated
    double scaleRatio = 1.0;
    int imageDarkness_type = 0; // 0 = 4x4 matrix, 1..5 = fine screen light..dark
};

// The usage line printed when the filter gets fewer than six arguments.
std::string usageLine(const char* program);

// Takes the CUPS filter arguments (argc of at least 6). Copies and job id are read as decimal
// numbers the way the scheduler writes them; text that is no number counts as 0.
JobOptions parseJobArguments(int argc, const char* const* argv);

// The job id the scheduler passes: a positive whole number (at most INT_MAX) written in decimal
// digits alone; nothing for any other text. Only such an id may reach the scheduler's cancel,
// where 0 stands for the queue's current job and -1 for every job of the queue.
std::optional<int> parseJobId(const char* text);

// The number of copies the scheduler passes: a whole number from 1 to kMaxCopies written in decimal
// digits alone; nothing for any other text.
inline constexpr int kMaxCopies = 9999;
std::optional<int> parseCopies(const char* text);

// Decimal value of a leading number in text ("3", " 12abc"); 0 when there is none. Saturates
// instead of overflowing.
int decimalValue(const char* text);

// One marked PPD choice: the option keyword and the choice name.
struct MarkedChoice {
    std::string keyword;
    std::string choice;
};

// Applies the marked choices to the job's settings, keyword by keyword in the fixed order
// MediaType, PageSize, InputSlot, Duplex, Collate, QvScale, GammaDarkness; a keyword without a
// marked choice keeps its default. Writes the DEBUG lines of each outcome to standard error.
void applyMarkedChoices(JobOptions& job, const std::vector<MarkedChoice>& marked);

// Opens the PPD file (may be null or unreadable: then no choice is marked, and a named file that
// cannot be read gets a "WARNING:" line), marks its defaults and the job's options, and returns
// the marked choices of the keywords the filter reads. Returns nothing when the option text
// cannot be parsed.
std::optional<std::vector<MarkedChoice>> readMarkedChoices(const char* ppdPath,
                                                           const std::string& optionText);

} // namespace tbx
