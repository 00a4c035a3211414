// The whole printing path with CUPS's own tools: a PDF is turned into 8-bit grey CUPS raster by
// Debian's cupsfilter with the queue's PPD, our filter turns the raster into the printer's job
// stream, every page's JBIG data is decoded by JBIG-KIT's jbgtopbm, and each bitmap is compared
// with the same page rendered independently by pdftoppm at the same resolution and area. Also two
// filters running at once on different jobs in one temporary folder.

#include "PageTestSupport.h"
#include "printfilter/Halftone.h"
#include "tests/printfilter/support/FilterPeer.h"
#include "tests/printfilter/support/JobStreamDecoder.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tbx::test {
namespace {

bool haveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

int sh(const std::string& cmd) {
    return std::system(cmd.c_str());
}

// A 3-page A4 document: a text page, a photo-like page (a smooth grey image) and a second text
// page laid out differently. Every page is asymmetric, so a turned or swapped page shows.
const char* documentPostScript = R"PS(%!PS
<< /PageSize [595 842] >> setpagedevice
/Helvetica-Bold findfont 48 scalefont setfont
72 740 moveto (Tamberlyx page 1) show
/Helvetica findfont 13 scalefont setfont
0 1 32 { 18 mul 700 exch sub 72 exch moveto (The quick brown fox jumps over the lazy dog, 0123456789.) show } for
showpage
/Helvetica-Bold findfont 36 scalefont setfont
72 760 moveto (Photo page 2) show
gsave 72 330 translate 420 400 scale
/w 200 def /row w string def /y 0 def
w w 8 [w 0 0 w neg 0 w]
{ 0 1 w 1 sub { /x exch def row x
    x 4 mul sin y 3 mul cos mul 90 mul 128 add x y add 3 div 40 sub add
    dup 0 lt { pop 0 } if dup 255 gt { pop 255 } if cvi put } for
  /y y 1 add def row } image
grestore
showpage
/Helvetica-Bold findfont 60 scalefont setfont
200 300 moveto (Page 3) show
/Helvetica findfont 16 scalefont setfont
0 1 8 { 20 mul 250 exch sub 200 exch moveto (Lower half text only) show } for
0 setgray 400 60 120 60 rectfill
showpage
)PS";

struct Bitmap {
    int width = 0, height = 0;
    std::vector<std::uint8_t> grey; // greymaps: 0 black .. 255 white
    std::vector<std::uint8_t> bits; // bitmaps: 1 black, MSB first
    bool black(int x, int y) const {
        return (bits[static_cast<std::size_t>(y) * ((width + 7) / 8) + x / 8] >> (7 - x % 8)) & 1;
    }
};

// Reads a raw PGM (P5) or PBM (P4) file.
std::optional<Bitmap> readNetpbm(const std::string& path) {
    const std::string s = readFile(path);
    char magic[3] = {};
    int w = 0, h = 0, maxval = 1, consumed = 0;
    if (std::sscanf(s.c_str(), "%2s %d %d%n", magic, &w, &h, &consumed) != 3 || w <= 0 || h <= 0)
        return std::nullopt;
    const bool pgm = std::string(magic) == "P5";
    if (pgm) {
        int more = 0;
        if (std::sscanf(s.c_str() + consumed, "%d%n", &maxval, &more) != 1)
            return std::nullopt;
        consumed += more;
    }
    ++consumed; // the single white space before the data
    Bitmap b;
    b.width = w;
    b.height = h;
    const std::size_t size =
        pgm ? static_cast<std::size_t>(w) * h : static_cast<std::size_t>((w + 7) / 8) * h;
    if (s.size() < consumed + size)
        return std::nullopt;
    (pgm ? b.grey : b.bits).assign(s.begin() + consumed, s.begin() + consumed + static_cast<long>(size));
    return b;
}

// Agreement of a printed bitmap with the rendered page, cell by cell (32 × 32 pixels): a white
// cell of the page must print (nearly) no ink, a dark cell must print ink. The result is the share
// of such cells that agree; turned says the bitmap is compared turned by 180 degrees.
double agreement(const Bitmap& printed, const Bitmap& page, bool turned) {
    const int cell = 32;
    int judged = 0, agreed = 0;
    for (int cy = 0; cy + cell <= page.height; cy += cell)
        for (int cx = 0; cx + cell <= page.width; cx += cell) {
            long sum = 0;
            int ink = 0;
            for (int y = cy; y < cy + cell; ++y)
                for (int x = cx; x < cx + cell; ++x) {
                    sum += page.grey[static_cast<std::size_t>(y) * page.width + x];
                    ink +=
                        turned ? printed.black(page.width - 1 - x, page.height - 1 - y) : printed.black(x, y);
                }
            const double mean = static_cast<double>(sum) / (cell * cell);
            const double coverage = static_cast<double>(ink) / (cell * cell);
            if (mean >= 250) {
                ++judged;
                agreed += coverage <= 0.03;
            } else if (mean <= 180) {
                ++judged;
                agreed += coverage >= 0.1;
            }
        }
    return judged ? static_cast<double>(agreed) / judged : 0;
}

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"gs", "cupsfilter", "pdftoppm", "jbgtopbm"})
            if (!haveTool(tool))
                missing_ = tool;
        if (!missing_.empty())
            return;
        dir_ = new TempDir;
        const std::string d = dir_->path();
        writeFile(d + "/doc.ps", documentPostScript);
        ASSERT_EQ(sh("gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -sOutputFile=" + d + "/doc.pdf " + d +
                     "/doc.ps"),
                  0);
        // Debian's own converters: PDF to 8-bit grey CUPS raster for the queue's PPD.
        ASSERT_EQ(sh("cupsfilter -p " TBX_FILTER_PPD " -m application/vnd.cups-raster " + d + "/doc.pdf > " +
                     d + "/doc.ras 2> " + d + "/cupsfilter.log"),
                  0)
            << readFile(d + "/cupsfilter.log");
        raster_ = new std::string(readFile(d + "/doc.ras"));

        // The raster covers the PPD's imageable area; render the same area of each page.
        const int fd = ::open((d + "/doc.ras").c_str(), O_RDONLY);
        cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
        cups_page_header2_t h;
        ASSERT_TRUE(ras && cupsRasterReadHeader2(ras, &h));
        cupsRasterClose(ras);
        ::close(fd);
        ASSERT_EQ(h.cupsBitsPerPixel, 8u);
        ASSERT_EQ(h.HWResolution[0], 600u);
        const int left = static_cast<int>(h.ImagingBoundingBox[0] * 600 / 72.0 + 0.5);
        const int top = static_cast<int>((h.PageSize[1] - h.ImagingBoundingBox[3]) * 600 / 72.0 + 0.5);
        ASSERT_EQ(sh("pdftoppm -r 600 -gray -x " + std::to_string(left) + " -y " + std::to_string(top) +
                     " -W " + std::to_string(h.cupsWidth) + " -H " + std::to_string(h.cupsHeight) + " " + d +
                     "/doc.pdf " + d + "/ref"),
                  0);
        pages_ = new std::vector<Bitmap>;
        for (int n = 1; n <= 3; ++n) {
            auto ref = readNetpbm(d + "/ref-" + std::to_string(n) + ".pgm");
            ASSERT_TRUE(ref) << "page " << n;
            pages_->push_back(std::move(*ref));
        }
    }
    static void TearDownTestSuite() {
        delete pages_;
        delete raster_;
        delete dir_;
        pages_ = nullptr;
        raster_ = nullptr;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (!missing_.empty())
            GTEST_SKIP() << missing_ << " is not installed";
        ASSERT_TRUE(pages_ && pages_->size() == 3);
    }

    // Runs our filter on the document's raster and returns every printed page as a bitmap decoded
    // by jbgtopbm, checking each page header's size against its bitmap.
    std::vector<Bitmap> print(const std::string& options) {
        FilterPeer peer(TBX_FILTER_PROGRAM);
        peer.setArguments({"tbxqueue", "42", "alice", "e2e", "1", options});
        peer.addEnvironment(std::string("PPD=") + TBX_FILTER_PPD);
        peer.setInput(*raster_);
        const FilterRun run = peer.run(std::chrono::seconds(120));
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        const DecodedJob job = decodeJobStream(run.out);
        EXPECT_TRUE(job.ok()) << job.error;
        EXPECT_TRUE(job.endOfJob);
        std::vector<Bitmap> printed;
        for (std::size_t i = 0; i < job.pages.size(); ++i) {
            const std::string jbg = dir_->path() + "/printed.jbg", pbm = dir_->path() + "/printed.pbm";
            writeFile(jbg, job.pages[i].data);
            EXPECT_EQ(sh("jbgtopbm " + jbg + " " + pbm), 0);
            auto b = readNetpbm(pbm);
            EXPECT_TRUE(b) << "page " << i;
            if (!b)
                return {};
            EXPECT_EQ(job.pages[i].width(), (b->width + 7) / 8 * 8);
            EXPECT_EQ(job.pages[i].height(), b->height);
            printed.push_back(std::move(*b));
        }
        return printed;
    }

    // The rendered page (1-based) a printed bitmap shows, upright or turned; 0 when none fits.
    static int pageShown(const Bitmap& printed, bool turned, double* score = nullptr) {
        int best = 0;
        double bestScore = 0;
        for (int n = 1; n <= 3; ++n) {
            const Bitmap& page = (*pages_)[n - 1];
            if (printed.width != page.width || printed.height != page.height)
                continue;
            const double s = agreement(printed, page, turned);
            if (s > bestScore)
                bestScore = s, best = n;
        }
        if (score)
            *score = bestScore;
        return bestScore >= 0.97 ? best : 0;
    }

    static bool blank(const Bitmap& b) {
        return std::all_of(b.bits.begin(), b.bits.end(), [](std::uint8_t v) { return v == 0; });
    }

    static inline std::string missing_;
    static inline TempDir* dir_ = nullptr;
    static inline std::string* raster_ = nullptr;
    static inline std::vector<Bitmap>* pages_ = nullptr;
};

TEST_F(EndToEnd, OneSidedTextAndPhotoPagesPrintAsRendered) {
    const std::vector<Bitmap> printed = print("");
    ASSERT_EQ(printed.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(printed[i].width, (*pages_)[i].width) << "same size as the rendered page";
        EXPECT_EQ(printed[i].height, (*pages_)[i].height);
        double upright = 0, turned = 0;
        EXPECT_EQ(pageShown(printed[i], false, &upright), i + 1)
            << "page " << i + 1 << " agreement " << upright;
        pageShown(printed[i], true, &turned);
        // The comparison must tell the orientation apart, whatever the page margins.
        EXPECT_LT(turned, upright - 0.05) << "page " << i + 1 << " would also fit turned";
    }
}

TEST_F(EndToEnd, TwoSidedLongEdgeSendsBackSidesFirstTurnedWithABlankLastBackSide) {
    const std::vector<Bitmap> printed = print("Duplex=DuplexNoTumble");
    ASSERT_EQ(printed.size(), 4u);
    // Sheet 1: page 2 (back side, turned for the long-edge flip), then page 1; sheet 2: the blank
    // back side, then page 3.
    EXPECT_EQ(pageShown(printed[0], true), 2);
    EXPECT_EQ(pageShown(printed[1], false), 1);
    EXPECT_TRUE(blank(printed[2]));
    EXPECT_EQ(printed[2].width, printed[3].width);
    EXPECT_EQ(pageShown(printed[3], false), 3);
}

TEST_F(EndToEnd, TwoSidedShortEdgeIsNotTurned) {
    const std::vector<Bitmap> printed = print("Duplex=DuplexTumble");
    ASSERT_EQ(printed.size(), 4u);
    EXPECT_EQ(pageShown(printed[0], false), 2);
    EXPECT_EQ(pageShown(printed[1], false), 1);
    EXPECT_TRUE(blank(printed[2]));
    EXPECT_EQ(pageShown(printed[3], false), 3);
}

// Two jobs at once in one temporary folder: each stream carries its own pages, and no spool file
// of either job stays behind.
TEST(ConcurrentJobs, TwoFiltersAtOnceProduceTwoCorrectStreams) {
    TempDir dir;
    const std::string d = dir.path();
    ::mkdir((d + "/tmp").c_str(), 0700);
    std::vector<GrayPage> a, b;
    for (int n = 0; n < 4; ++n) {
        a.push_back(noisePage(1200 + n, 1700, 10 + n));
        b.push_back(
            makePage(1000, 1500 + n, [n](int x, int y) { return (x / (n + 3) + y / 7) % 2 ? 255 : 40; }));
    }
    writeFile(d + "/a.ras", makeRaster(a));
    writeFile(d + "/b.ras", makeRaster(b));
    auto command = [&](const std::string& job) {
        return "TMPDIR=" + d + "/tmp PPD=" TBX_FILTER_PPD " " TBX_FILTER_PROGRAM " 7 u " + job + " 1 '' < " +
               d + "/" + job + ".ras > " + d + "/" + job + ".out 2> " + d + "/" + job + ".log";
    };
    // Both filters start together and each runs a few pages, so their pages interleave.
    ASSERT_EQ(sh("(" + command("a") + ") & (" + command("b") + ") & wait"), 0);

    const struct {
        const char* job;
        const std::vector<GrayPage>* pages;
    } jobs[] = {{"a", &a}, {"b", &b}};
    for (const auto& j : jobs) {
        const DecodedJob job = decodeJobStream(readFile(d + "/" + j.job + ".out"));
        ASSERT_TRUE(job.ok()) << j.job << ": " << job.error << readFile(d + "/" + j.job + ".log");
        ASSERT_EQ(job.pages.size(), 4u) << j.job;
        for (int n = 0; n < 4; ++n) {
            const auto decoded = decodeJbig(job.pages[n].data);
            ASSERT_TRUE(decoded) << j.job << " page " << n + 1;
            const PackedPage expected = halftone((*j.pages)[n], 3); // the PPD's default darkness
            EXPECT_EQ(decoded->width, expected.width) << j.job << " page " << n + 1;
            EXPECT_EQ(decoded->height, expected.height);
            EXPECT_TRUE(decoded->bits == expected.bits)
                << j.job << " page " << n + 1 << " carries other bits";
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(d + "/tmp")) << "spool files left behind";
}

// The job's spool files go when the job ends, when it is cancelled and when its raster is refused.
TEST(SpoolFiles, NothingStaysAfterAnEndedCancelledOrFailedJob) {
    std::vector<GrayPage> pages;
    for (int n = 0; n < 5; ++n)
        pages.push_back(noisePage(300, 400, 20 + n));
    const std::string raster = makeRaster(pages);
    auto peerFor = [&](const std::string& input) {
        FilterPeer peer(TBX_FILTER_PROGRAM);
        peer.setArguments({"tbxqueue", "7", "alice", "spool", "2", ""});
        peer.addEnvironment(std::string("PPD=") + TBX_FILTER_PPD);
        peer.addEnvironment("LANG=en_US.UTF-8");
        peer.setInput(input);
        return peer;
    };
    {
        FilterPeer peer = peerFor(raster);
        const FilterRun run = peer.run();
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(decodeJobStream(run.out).pages.size(), 10u); // two collated copies from the spool files
        EXPECT_FALSE(spoolFolderLeft(peer.folder()));
    }
    {
        // Cancelled while page 3 is read.
        FilterPeer peer = peerFor("");
        const std::size_t pageThree = makeRaster({pages[0], pages[1]}).size();
        const std::size_t cut =
            pageThree + (makeRaster({pages[0], pages[1], pages[2]}).size() - pageThree) / 2;
        peer.feedInSteps(
            {{raster.substr(0, cut), "", 0, false}, {raster.substr(cut), "Event=EndOfPage;", 2, true}});
        const FilterRun run = peer.run();
        EXPECT_TRUE(decodeJobStream(run.out).cancelled) << run.err;
        EXPECT_FALSE(spoolFolderLeft(peer.folder()));
    }
    {
        std::string mixed = makeRaster({pages[0]});
        mixed += makeRaster({pages[1]}, {CUPS_CSPACE_RGB, 8, 24, 0}).substr(4);
        FilterPeer peer = peerFor(mixed);
        const FilterRun run = peer.run();
        EXPECT_NE(run.err.find("ERROR:"), std::string::npos);
        EXPECT_FALSE(spoolFolderLeft(peer.folder()));
    }
}

} // namespace
} // namespace tbx::test
