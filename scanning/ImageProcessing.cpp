#include "scanning/ImageProcessing.h"

#include "platform/foundation/Print.h"
#include "scanning/ReceiveFolder.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numbers>
#include <unistd.h>

namespace tbx {

using appkit::CGBitmapContext;
using appkit::CGColor;
using appkit::CGImage;
using appkit::CGRect;
using appkit::CGSize;
using appkit::NSImage;

namespace {

constexpr double jpegCompressionFactor = 0.2;
const std::string saveSuccessfully = "saveSuccessfully";
const std::string saveImageError = "saveImageError";

ResultPair failed() {
    return {false, saveImageError};
}

// Shortest text that reads back as the same number, with ".0" for a whole one
// (2432.0, 1702.4).
template <typename F>
std::string decimal(F value) {
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    std::string s(text, ec == std::errc() ? end : text);
    if (s.find_first_of(".en") == std::string::npos)
        s += ".0";
    return s;
}

void append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// The JPEG steps of both JPEG writers: the bitmap, its pixel size line, the
// encoding at compression factor 0.2 with the scan's resolution as the file's
// density. Nothing after a "save image error" line.
std::optional<std::vector<std::uint8_t>> encodeJPEG(const NSImage& image, const std::string& linePrefix,
                                                    const ScanParam& param) {
    auto rep = image.bitmapRepresentation();
    if (!rep) {
        print("save image error = the image has no bitmap");
        return std::nullopt;
    }
    print(linePrefix + std::to_string(rep->pixelsWide()) +
          " and pixelsHigh =" + std::to_string(rep->pixelsHigh()));
    const auto [dpiX, dpiY] = scanResolution(param);
    auto jpeg = rep->jpegRepresentation(jpegCompressionFactor, dpiX, dpiY);
    if (!jpeg || jpeg->empty()) {
        print("save image error = JPEG encoding gave no data");
        return std::nullopt;
    }
    return jpeg;
}

ResultPair writeJPEG(const NSImage& image, const std::string& linePrefix, const std::string& name,
                     const ScanParam& param) {
    auto jpeg = encodeJPEG(image, linePrefix, param);
    if (!jpeg)
        return failed();
    if (auto error = writeFileWhole(name, *jpeg)) {
        print("save image error = " + *error);
        return failed();
    }
    return {true, saveSuccessfully};
}

void printNominalSize(CGSize size) {
    print("image.size.width is " + decimal(static_cast<float>(size.width)) + " image.size.height is " +
          decimal(static_cast<float>(size.height)));
}

std::optional<CGImage> bitmapOfFile(const std::string& name) {
    return NSImage::byReferencingFile(name).cgImage();
}

} // namespace

std::optional<std::string> writeFileWhole(const std::string& path, std::span<const std::uint8_t> bytes) {
    TemporaryFile file;
    if (auto error = file.write(path, bytes))
        return error;
    return file.commit(path);
}

std::pair<int, int> scanResolution(const ScanParam& param) {
    const std::string& text = param.resolution;
    const auto comma = text.find(',');
    auto number = [](const char* first, const char* last) {
        int value = 0;
        const auto [end, error] = std::from_chars(first, last, value);
        return error == std::errc() && end == last && first != last && *first != '-' && value > 0 ? value : 0;
    };
    if (comma != std::string::npos) {
        const int x = number(text.data(), text.data() + comma);
        const int y = number(text.data() + comma + 1, text.data() + text.size());
        if (x > 0 && y > 0)
            return {x, y};
    }
    return {72, 72};
}

std::string pageFileName(const std::string& filePath, std::int64_t pageNo, const std::string& extension) {
    char number[32];
    std::snprintf(number, sizeof number, "-%04lld", static_cast<long long>(pageNo));
    return filePath + number + extension;
}

std::optional<std::vector<std::uint8_t>> getBWBMPHeader(const ScanParam& param) {
    constexpr std::int64_t limit = std::numeric_limits<std::uint32_t>::max();
    const std::int64_t rowBytes = param.w / 8;
    // S + 62 must fit the 32-bit size field; checked without overflowing.
    if (param.w < 0 || param.h < 0 || param.w > limit || param.h > limit ||
        (rowBytes > 0 && param.h > (limit - 62) / rowBytes)) {
        print("BMP header refused: w = " + std::to_string(param.w) + " h = " + std::to_string(param.h) +
              " do not fit its 32-bit fields");
        return std::nullopt;
    }
    const auto S = static_cast<std::uint32_t>(rowBytes * param.h);
    std::vector<std::uint8_t> header{0x42, 0x4D};
    append(header, byteArray<std::uint32_t>(S + 62));
    append(header, {0, 0, 0, 0, 0x3E, 0, 0, 0, 0x28, 0, 0, 0});
    append(header, byteArray(static_cast<std::uint32_t>(param.w)));
    append(header, byteArray(static_cast<std::uint32_t>(param.h)));
    append(header, {1, 0, 1, 0, 0, 0, 0, 0});
    append(header, byteArray<std::uint32_t>(S));
    append(header, {0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0});
    append(header, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0});
    std::string line = "[";
    for (std::size_t i = 0; i < header.size(); ++i)
        line += (i ? ", " : "") + std::to_string(header[i]);
    print(line + "]");
    return header;
}

ResultPair saveImages(const ScanParam& param, std::int64_t pageNo, std::span<const std::uint8_t> data) {
    if (param.mode != "TEXT")
        return save2JPEG(param, pageNo, data);

    auto header = getBWBMPHeader(param);
    if (!header)
        return failed();
    const auto rowBytes = static_cast<std::size_t>(param.w / 8);
    const auto rows = static_cast<std::size_t>(param.h);
    const std::size_t imageBytes = rowBytes * rows;
    if (data.size() < imageBytes)
        print("page data holds " + std::to_string(data.size()) + " of " + std::to_string(imageBytes) +
              " bytes, the missing rows are filled with white");

    std::vector<std::uint8_t> file = std::move(*header);
    file.reserve(file.size() + imageBytes);
    // Bottom row first; bytes past the end of a short page are white (set bits).
    for (std::size_t i = 0; i < rows; ++i) {
        const std::size_t from = (rows - 1 - i) * rowBytes;
        const std::size_t present = from >= data.size() ? 0 : std::min(rowBytes, data.size() - from);
        file.insert(file.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                    data.begin() + static_cast<std::ptrdiff_t>(from + present));
        file.insert(file.end(), rowBytes - present, 0xFF);
    }

    if (param.fileType == "BMP") {
        const std::string name = pageFileName(param.filePath, pageNo, ".bmp");
        if (auto error = writeFileWhole(name, file)) {
            print("save image error = " + *error);
            return failed();
        }
        return {true, saveSuccessfully};
    }
    return save2JPEG(param, pageNo, file);
}

ResultPair save2JPEG(const ScanParam& param, std::int64_t pageNo, std::span<const std::uint8_t> data) {
    const std::string name = pageFileName(param.filePath, pageNo, ".jpg");
    std::optional<NSImage> image = NSImage::fromData(data);
    if (!image) {
        print("save image error = the page data is not a readable image");
        return failed();
    }
    float W = static_cast<float>(image->size().width);
    float H = static_cast<float>(image->size().height);
    printNominalSize({W, H});

    if (param.combineType == "CombinHorizontal") {
        image = imageRotate(0, image, 0.7);
    } else if (param.combineType == "CombinVertical") {
        image = imageRotate(180, image, 0.7);
    } else if (param.combineType != "IDCard" && param.rotateAngle != 0) {
        // An ID-card sheet holds its pages upright: the rotation setting is
        // ignored there, as in the other combine modes.
        image = imageRotate(static_cast<double>(param.rotateAngle), image, 1.0);
        if (param.rotateAngle == 90)
            std::swap(W, H);
        if (image) {
            auto bitmap = image->cgImage(CGRect{0, 0, std::trunc(W), std::trunc(H)});
            image = bitmap ? std::optional<NSImage>(NSImage(*bitmap, CGSize{W, H})) : std::nullopt;
        }
    }
    if (!image) {
        print("save image error = the page could not be turned or scaled");
        return failed();
    }
    printNominalSize(image->size());
    return writeJPEG(*image, "pixelsWide = ", name, param);
}

ResultPair save2Images(const NSImage& image, std::int64_t pageNo, const ScanParam& param) {
    const std::string name = pageFileName(param.filePath, pageNo, ".jpg");
    print("save 2 image path = " + name);
    return writeJPEG(image, "save2Images pixelsWide = ", name, param);
}

std::optional<NSImage> imageRotate(double degree, const std::optional<NSImage>& image, double ratio) {
    if (!image)
        return std::nullopt;
    auto source = image->cgImage();
    auto rep = image->bitmapRepresentation();
    if (!source || !rep)
        return std::nullopt;
    const double angle = degree * std::numbers::pi / 180.0;
    const auto w = static_cast<std::int64_t>(rep->pixelsWide() * ratio);
    const auto h = static_cast<std::int64_t>(rep->pixelsHigh() * ratio);
    double CW = static_cast<double>(w), CH = static_cast<double>(h);
    if (degree == 90)
        std::swap(CW, CH);
    print("rotate size w = " + decimal(CW) + " and h = " + decimal(CH) + " and w = " + std::to_string(w) +
          " and h = " + std::to_string(h));
    print("the cgimage.bitPerComponent is " + std::to_string(source->bitsPerComponent()));
    print("the cgimage.bitsPerPixel is " + std::to_string(source->bitsPerPixel()));

    const auto space = source->colorSpace();
    if (!space)
        return std::nullopt;
    auto canvas = CGBitmapContext::create(static_cast<std::int64_t>(CW), static_cast<std::int64_t>(CH),
                                          source->bitsPerComponent(), *space, source->bitmapInfo());
    if (!canvas)
        return std::nullopt;
    canvas->translateCTM(CW / 2, CH / 2);
    canvas->rotateCTM(angle);
    canvas->draw(*source, CGRect{static_cast<double>(-(w / 2)), static_cast<double>(-(h / 2)),
                                 static_cast<double>(w), static_cast<double>(h)});
    auto result = canvas->makeImage();
    if (!result)
        return std::nullopt;
    return NSImage(*result, CGSize{CW, CH});
}

ResultPair combineImage(std::int64_t pages, std::int64_t oriation, const ScanParam& param) {
    if (oriation != 0 && oriation != 1)
        return failed();
    const std::int64_t W = oriation == 0 ? param.h : param.w;
    const std::int64_t H = oriation == 0 ? param.w : param.h;
    print("combine image w = " + std::to_string(W) + " h = " + std::to_string(H));
    if (pages < 1)
        return {true, saveSuccessfully};

    const std::string first = pageFileName(param.filePath, 1, ".jpg");
    print("read odd image = " + first);
    std::optional<CGImage> bitmap = bitmapOfFile(first);
    if (!bitmap) {
        print("comImage to cgImage error");
        return failed();
    }
    const auto space = bitmap->colorSpace();
    if (!space)
        return failed();
    auto canvas = CGBitmapContext::create(W, H, bitmap->bitsPerComponent(), *space, bitmap->bitmapInfo());
    if (!canvas)
        return failed();
    canvas->setFillColor(CGColor::white());
    const CGRect whole{0, 0, double(W), double(H)};
    canvas->fillRect(whole);
    const CGRect firstHalf =
        oriation == 0 ? CGRect{0, 0, double(W / 2), double(H)} : CGRect{0, 0, double(W), double(H / 2)};
    const CGRect secondHalf = oriation == 0 ? CGRect{double(W / 2), 0, double(W / 2), double(H)}
                                            : CGRect{0, double(H / 2), double(W), double(H / 2)};

    // Every sheet goes to disk under a temporary name first; the page files are
    // replaced or removed only once all of them are there, so a failure leaves
    // the pages exactly as they were.
    std::vector<TemporaryFile> sheets;
    auto writeSheet = [&](std::int64_t sheetNo) {
        auto snapshot = canvas->makeImage();
        if (!snapshot)
            return false;
        const std::string name = pageFileName(param.filePath, sheetNo, ".jpg");
        print("save 2 image path = " + name);
        auto jpeg =
            encodeJPEG(NSImage(*snapshot, CGSize{double(W), double(H)}), "save2Images pixelsWide = ", param);
        if (!jpeg)
            return false;
        TemporaryFile sheet;
        if (auto error = sheet.write(name, *jpeg)) {
            print("save image error = " + *error);
            return false;
        }
        sheets.push_back(std::move(sheet));
        return true;
    };

    for (std::int64_t i = 1; i <= pages; ++i) {
        if (i > 1)
            bitmap = bitmapOfFile(pageFileName(param.filePath, i, ".jpg"));
        if (!bitmap)
            return failed();
        if (i % 2 == 1) {
            canvas->fillRect(whole);
            canvas->draw(*bitmap, firstHalf);
            if (i == pages && !writeSheet(i / 2 + 1))
                return failed();
        } else {
            canvas->draw(*bitmap, secondHalf);
            if (!writeSheet(i / 2))
                return failed();
        }
        bitmap.reset();
    }

    // Sheet k takes the name of page k, whose content is already in sheet
    // (k + 1) / 2; the pages past the last sheet are removed.
    for (std::size_t k = 0; k < sheets.size(); ++k) {
        const std::string name = pageFileName(param.filePath, static_cast<std::int64_t>(k + 1), ".jpg");
        if (auto error = sheets[k].commit(name)) {
            print("save image error = " + *error);
            return failed();
        }
    }
    for (auto i = static_cast<std::int64_t>(sheets.size()) + 1; i <= pages; ++i) {
        const std::string name = pageFileName(param.filePath, i, ".jpg");
        if (::unlink(name.c_str()) != 0)
            print("delete even image error : " + systemError("cannot remove", name, errno));
    }
    return {true, saveSuccessfully};
}

CGSize pdfPageBox(const ScanParam& param, const std::string& pageSize) {
    CGSize box{595, 842};
    if (pageSize == "A5")
        box = {420, 595};
    else if (pageSize == "B5(JIS)")
        box = {516, 729}; // 182 x 257 mm
    else if (pageSize == "Letter")
        box = {612, 792}; // 8.5 x 11 in
    const bool landscape = (param.rotateAngle == 90 && param.combineType != "IDCard") ||
                           param.combineType == "CombinHorizontal" || param.combineType == "CombinVertical";
    if (landscape)
        std::swap(box.width, box.height);
    return box;
}

std::optional<std::vector<std::uint8_t>> makePDF(const ScanParam& param, std::int64_t pages,
                                                 const std::string& pageSize) {
    if (pages < 0)
        return std::nullopt;
    const CGSize box = pdfPageBox(param, pageSize);
    const CGRect mediaBox{0, 0, box.width, box.height};
    appkit::CGPDFContext pdf(mediaBox);
    for (std::int64_t i = 0; i < pages; ++i) {
        const std::string name = pageFileName(param.filePath, i + 1, ".jpg");
        auto bitmap = bitmapOfFile(name);
        pdf.beginPage(mediaBox);
        if (!bitmap || !pdf.draw(*bitmap, mediaBox)) {
            print("pdf page error = " + name + " is not a readable image");
            return std::nullopt;
        }
        pdf.endPage();
    }
    pdf.close();
    return pdf.data();
}

ResultPair save2PDF(const ScanParam& param, std::int64_t pages, const std::string& pdfDir,
                    const std::string& pageSize) {
    auto document = makePDF(param, pages, pageSize);
    if (!document)
        return failed();
    const std::string stamp = scanTimestamp(std::chrono::system_clock::now());
    auto path = writeNewFile(pdfDir, stamp, ".pdf", *document);
    if (!path) {
        print("save pdf error = cannot write " + pdfDir + "/" + stamp + ".pdf");
        return failed();
    }
    print("save pdf path = " + *path);
    return {true, saveSuccessfully};
}

} // namespace tbx
