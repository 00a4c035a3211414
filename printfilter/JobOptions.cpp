#include "printfilter/JobOptions.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>
#include <unistd.h>

// The PPD interface of libcups is marked deprecated in favour of the IPP destination API, but a
// PPD-driven CUPS filter reads its queue's PPD through exactly these calls.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <cups/cups.h>
#include <cups/ppd.h>

namespace tbx {

std::string usageLine(const char* program) {
    return std::string("Usage: ") + (program && *program ? program : "printfilter-tamberlyx") +
           " job-id user title copies options [file]";
}

int decimalValue(const char* text) {
    if (!text)
        return 0;
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT_MAX)
            return negative ? INT_MIN : INT_MAX;
    }
    return static_cast<int>(negative ? -value : value);
}

std::optional<int> parseCopies(const char* text) {
    if (!text || !*text)
        return std::nullopt;
    int value = 0;
    for (const char* c = text; *c; ++c) {
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return std::nullopt;
        value = value * 10 + (*c - '0');
        if (value > kMaxCopies)
            return std::nullopt;
    }
    if (value < 1)
        return std::nullopt;
    return value;
}

std::optional<int> parseJobId(const char* text) {
    if (!text || !*text)
        return std::nullopt;
    long long value = 0;
    for (const char* c = text; *c; ++c) {
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return std::nullopt;
        value = value * 10 + (*c - '0');
        if (value > std::numeric_limits<int>::max())
            return std::nullopt;
    }
    if (value < 1)
        return std::nullopt;
    return static_cast<int>(value);
}

JobOptions parseJobArguments(int argc, const char* const* argv) {
    JobOptions job;
    job.PrinterName = argv[0] ? argv[0] : "";
    job.jobIdText = argv[1] ? argv[1] : "";
    job.JobId = parseJobId(argv[1]).value_or(0);
    job.jobName = argv[3] ? argv[3] : "";
    job.jobCopies = argv[4] ? argv[4] : "";
    job.copies = decimalValue(argv[4]);
    if (argc > 5 && argv[5])
        job.optionText = argv[5];
    if (argc > 6 && argv[6])
        job.rasterFile = argv[6];
    return job;
}

namespace {

struct ChoiceValue {
    std::string_view name;
    int value;
};

// First exact (case-sensitive) match of name in the table, else fallback.
template <std::size_t N>
int lookUp(const ChoiceValue (&table)[N], std::string_view name, int fallback) {
    for (const auto& entry : table)
        if (entry.name == name)
            return entry.value;
    return fallback;
}

constexpr ChoiceValue mediaTypes[] = {{"Plain", 0}, {"Thick", 1}, {"Thin", 2}, {"Card", 3}, {"Envelope", 4}};
constexpr ChoiceValue inputSlots[] = {{"AUTO", 0}, {"MPTRAY", 1}, {"TRAY1", 2}, {"TRAY2", 3}, {"TRAY3", 4}};
constexpr ChoiceValue duplexModes[] = {{"DuplexTumble", 1}, {"DuplexNoTumble", 2}};
constexpr ChoiceValue darknessLevels[] = {{"darkness0", 0}, {"darkness1", 1}, {"darkness2", 2},
                                          {"darkness3", 3}, {"darkness4", 4}, {"darkness5", 5}};

struct ScaleValue {
    std::string_view name;
    double ratio;
};
constexpr ScaleValue scales[] = {{"25%", 0.25}, {"50%", 0.5},  {"80%", 0.8},  {"90%", 0.9},
                                 {"100%", 1.0}, {"110%", 1.1}, {"120%", 1.2}, {"150%", 1.5}};

const std::string* findChoice(const std::vector<MarkedChoice>& marked, std::string_view keyword) {
    for (const auto& m : marked)
        if (m.keyword == keyword)
            return &m.choice;
    return nullptr;
}

constexpr const char* keywords[] = {"MediaType", "PageSize", "InputSlot",    "Duplex",
                                    "Collate",   "QvScale",  "GammaDarkness"};

std::string customSizeName(ppd_file_t* ppd, int count, cups_option_t* options) {
    for (const char* name : {"PageSize", "media", "PageRegion"}) {
        const char* value = cupsGetOption(name, count, options);
        if (value && std::strncmp(value, "Custom.", 7) == 0)
            return std::string(value, std::strcspn(value, ",")); // "media" may list more after a comma
    }
    if (ppd_size_t* size = ppdPageSize(ppd, nullptr)) {
        char name[96];
        std::snprintf(name, sizeof name, "Custom.%.2fx%.2f", static_cast<double>(size->width),
                      static_cast<double>(size->length));
        return name;
    }
    return "Custom";
}

} // namespace

void applyMarkedChoices(JobOptions& job, const std::vector<MarkedChoice>& marked) {
    if (const auto* c = findChoice(marked, "MediaType")) {
        job.isMediaType = lookUp(mediaTypes, *c, -1);
        if (job.isMediaType < 0) {
            std::fprintf(stderr, "DEBUG:[Tamberlyx]media_type =%s\n", c->c_str());
            job.isMediaType = 0;
        }
        std::fprintf(stderr, "DEBUG:[Tamberlyx]media_type=%s\n", c->c_str());
    }
    if (const auto* c = findChoice(marked, "PageSize"))
        job.pageSize = *c;
    std::fprintf(stderr, "DEBUG:[Tamberlyx]pageSize =%s\n", job.pageSize.c_str());
    if (const auto* c = findChoice(marked, "InputSlot"))
        job.isInputSlot = lookUp(inputSlots, *c, 0);
    std::fprintf(stderr, "DEBUG:[Tamberlyx]isInputSlot =%d\n", job.isInputSlot);
    if (const auto* c = findChoice(marked, "Duplex")) {
        job.isDuplex = lookUp(duplexModes, *c, 0);
        std::fprintf(stderr, "DEBUG:[Tamberlyx]Duplex =%s\n", c->c_str());
    }
    if (const auto* c = findChoice(marked, "Collate"))
        job.collate = *c != "False";
    std::fprintf(stderr, "DEBUG:[Tamberlyx]collate =%d\n", job.collate ? 1 : 0);
    if (const auto* c = findChoice(marked, "QvScale")) {
        job.scaleRatio = 1.0;
        for (const auto& s : scales)
            if (s.name == *c) {
                job.scaleRatio = s.ratio;
                break;
            }
        std::fprintf(stderr, "DEBUG:[Tamberlyx]QvScale: =%s and ratio = %f\n", c->c_str(), job.scaleRatio);
    }
    if (const auto* c = findChoice(marked, "GammaDarkness"))
        job.imageDarkness_type = lookUp(darknessLevels, *c, job.imageDarkness_type);
    std::fprintf(stderr, "DEBUG:[Tamberlyx]imageDarkness=%d, 0 = off ,1->5 = ligth->dark\n",
                 job.imageDarkness_type);
}

std::optional<std::vector<MarkedChoice>> readMarkedChoices(const char* ppdPath,
                                                           const std::string& optionText) {
    cups_option_t* options = nullptr;
    int count = 0;
    if (!optionText.empty()) {
        count = cupsParseOptions(optionText.c_str(), 0, &options);
        if (count < 0)
            return std::nullopt;
    }
    ppd_file_t* ppd = ppdPath && *ppdPath ? ppdOpenFile(ppdPath) : nullptr;
    if (!ppd && ppdPath && *ppdPath) {
        std::string why;
        if (::access(ppdPath, R_OK) != 0) {
            why = std::strerror(errno);
        } else {
            int line = 0;
            why = ppdErrorString(ppdLastError(&line));
            if (line > 0)
                why += " on line " + std::to_string(line);
        }
        std::fprintf(
            stderr,
            "WARNING: [Tamberlyx] cannot read the PPD file %s (%s); printing with the default settings\n",
            ppdPath, why.c_str());
    }
    std::vector<MarkedChoice> marked;
    if (ppd) {
        ppdMarkDefaults(ppd);
        cupsMarkOptions(ppd, count, options);
        for (const char* keyword : keywords)
            if (ppd_choice_t* choice = ppdFindMarkedChoice(ppd, keyword))
                marked.push_back({keyword, choice->choice});
        // A custom size marks the choice "Custom"; its full name "Custom.<w>x<h>" is what the
        // job asked for.
        for (auto& m : marked)
            if (m.keyword == "PageSize" && m.choice == "Custom")
                m.choice = customSizeName(ppd, count, options);
        ppdClose(ppd);
    }
    cupsFreeOptions(count, options);
    return marked;
}

} // namespace tbx

#pragma GCC diagnostic pop
