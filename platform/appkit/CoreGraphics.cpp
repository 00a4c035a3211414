#include "platform/appkit/CoreGraphics.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>
#include <QTransform>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace tbx::appkit {

namespace {

// Page bitmaps of large scans exceed Qt's default 128 MB decoding limit (an A4
// colour page at 1200 dpi decodes to 535 MB).
constexpr int decodeLimitMegabytes = 2048;

bool allGrey(const QImage& image) {
    if (image.format() == QImage::Format_Grayscale8)
        return true;
    if (image.format() == QImage::Format_Mono || image.format() == QImage::Format_MonoLSB ||
        image.format() == QImage::Format_Indexed8) {
        for (QRgb c : image.colorTable())
            if (qRed(c) != qGreen(c) || qGreen(c) != qBlue(c))
                return false;
        return true;
    }
    return false;
}

QImage normalised(const QImage& pixels) {
    if (pixels.isNull())
        return {};
    if (pixels.format() == QImage::Format_Grayscale8 || pixels.format() == QImage::Format_RGB32)
        return pixels;
    return pixels.convertToFormat(allGrey(pixels) ? QImage::Format_Grayscale8 : QImage::Format_RGB32);
}

QImage decode(const std::vector<std::uint8_t>& bytes) {
    QImageReader::setAllocationLimit(decodeLimitMegabytes);
    QByteArray view = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&view);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    QImage image = reader.read();
    return normalised(image);
}

bool near(double value, double target) {
    return std::abs(value - target) < 1e-9;
}

bool nearInteger(double value) {
    return std::abs(value - std::round(value)) < 1e-6;
}

// The whole-pixel position for `start` (whole or half): of the two nearest,
// the one that keeps more of `size` pixels on a canvas side of `extent`.
int snapped(double start, int size, int extent) {
    if (nearInteger(start))
        return static_cast<int>(std::lround(start));
    const int low = static_cast<int>(std::floor(start));
    auto kept = [&](int at) { return std::min(at + size, extent) - std::max(at, 0); };
    return kept(low + 1) >= kept(low) ? low + 1 : low;
}

} // namespace

struct CGImage::State {
    int width = 0;
    int height = 0;
    bool grey = false;
    std::shared_ptr<const std::vector<std::uint8_t>> jpeg;
    std::once_flag decoded;
    QImage pixels;
};

CGImage::CGImage(std::shared_ptr<State> state) : state_(std::move(state)) {}

std::optional<CGImage> CGImage::fromPixels(const QImage& pixels) {
    QImage image = normalised(pixels);
    if (image.isNull())
        return std::nullopt;
    auto state = std::make_shared<State>();
    state->width = image.width();
    state->height = image.height();
    state->grey = image.format() == QImage::Format_Grayscale8;
    std::call_once(state->decoded, [&] { state->pixels = image; });
    return CGImage(std::move(state));
}

std::optional<CGImage> CGImage::fromJPEGData(std::shared_ptr<const std::vector<std::uint8_t>> jpeg) {
    // A complete JPEG file starts with SOI and ends with EOI; a file cut short
    // would otherwise decode with its missing part filled in grey.
    if (!jpeg || jpeg->size() < 4 || (*jpeg)[0] != 0xFF || (*jpeg)[1] != 0xD8 ||
        (*jpeg)[jpeg->size() - 2] != 0xFF || (*jpeg)[jpeg->size() - 1] != 0xD9)
        return std::nullopt;
    QByteArray view = QByteArray::fromRawData(reinterpret_cast<const char*>(jpeg->data()),
                                              static_cast<qsizetype>(jpeg->size()));
    QBuffer buffer(&view);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "jpeg");
    const QSize size = reader.size();
    const QImage::Format format = reader.imageFormat();
    if (!size.isValid() || size.isEmpty() || format == QImage::Format_Invalid)
        return std::nullopt;
    auto state = std::make_shared<State>();
    state->width = size.width();
    state->height = size.height();
    state->grey = format == QImage::Format_Grayscale8;
    state->jpeg = std::move(jpeg);
    return CGImage(std::move(state));
}

int CGImage::width() const {
    return state_->width;
}
int CGImage::height() const {
    return state_->height;
}
int CGImage::bitsPerPixel() const {
    return state_->grey ? 8 : 32;
}

std::optional<CGColorSpace> CGImage::colorSpace() const {
    return state_->grey ? CGColorSpace::deviceGray : CGColorSpace::deviceRGB;
}

CGBitmapInfo CGImage::bitmapInfo() const {
    return state_->grey ? CGBitmapInfo::alphaNone : CGBitmapInfo::alphaNoneSkipFirst;
}

QImage CGImage::pixels() const {
    std::call_once(state_->decoded, [this] {
        QImage image = decode(*state_->jpeg);
        if (image.width() == state_->width && image.height() == state_->height) {
            // Keep the format announced from the header.
            state_->pixels =
                image.convertToFormat(state_->grey ? QImage::Format_Grayscale8 : QImage::Format_RGB32);
        }
    });
    return state_->pixels;
}

const std::shared_ptr<const std::vector<std::uint8_t>>& CGImage::jpegData() const {
    return state_->jpeg;
}

// ---------------------------------------------------------------------------

std::optional<CGBitmapContext> CGBitmapContext::create(std::int64_t width, std::int64_t height,
                                                       int bitsPerComponent, CGColorSpace space,
                                                       CGBitmapInfo info) {
    if (width < 1 || height < 1 || width > 1'000'000 || height > 1'000'000 || bitsPerComponent != 8)
        return std::nullopt;
    QImage::Format format;
    if (space == CGColorSpace::deviceGray && info == CGBitmapInfo::alphaNone)
        format = QImage::Format_Grayscale8;
    else if (space == CGColorSpace::deviceRGB && info == CGBitmapInfo::alphaNoneSkipFirst)
        format = QImage::Format_RGB32;
    else
        return std::nullopt;
    QImage canvas(static_cast<int>(width), static_cast<int>(height), format);
    if (canvas.isNull())
        return std::nullopt;
    // A fresh canvas is transparent black in CoreGraphics; opaque black here.
    canvas.fill(0);
    if (format == QImage::Format_RGB32)
        canvas.fill(qRgb(0, 0, 0));
    return CGBitmapContext(std::move(canvas));
}

void CGBitmapContext::translateCTM(double tx, double ty) {
    ctm_[4] += ctm_[0] * tx + ctm_[2] * ty;
    ctm_[5] += ctm_[1] * tx + ctm_[3] * ty;
}

void CGBitmapContext::rotateCTM(double radians) {
    const double c = std::cos(radians);
    const double s = std::sin(radians);
    const double a = ctm_[0], b = ctm_[1], cc = ctm_[2], d = ctm_[3];
    ctm_[0] = c * a + s * cc;
    ctm_[1] = c * b + s * d;
    ctm_[2] = -s * a + c * cc;
    ctm_[3] = -s * b + c * d;
}

QTransform CGBitmapContext::deviceTransform() const {
    // x' = a x + c y + tx, y' = b x + d y + ty, then flipped: y'' = H - y'.
    const double h = canvas_.height();
    return QTransform(ctm_[0], -ctm_[1], ctm_[2], -ctm_[3], ctm_[4], h - ctm_[5]);
}

void CGBitmapContext::fillRect(CGRect rect) {
    const QColor colour = QColor::fromRgbF(static_cast<float>(fill_.red), static_cast<float>(fill_.green),
                                           static_cast<float>(fill_.blue));
    const QTransform t = deviceTransform();
    const QRectF user(rect.x, rect.y, rect.width, rect.height);
    if (t.type() <= QTransform::TxScale) {
        const QRectF device = t.mapRect(user);
        if (nearInteger(device.left()) && nearInteger(device.top()) && nearInteger(device.right()) &&
            nearInteger(device.bottom())) {
            const QRect whole = device.toRect().intersected(canvas_.rect());
            if (whole == canvas_.rect()) {
                canvas_.fill(colour);
                return;
            }
        }
    }
    QPainter painter(&canvas_);
    painter.setTransform(t);
    painter.fillRect(user, colour);
}

bool CGBitmapContext::drawAxisAligned(const QImage& source, const QTransform& toDevice) {
    // Only quarter turns without mirroring land pixels exactly on pixels.
    const double m11 = toDevice.m11(), m12 = toDevice.m12(), m21 = toDevice.m21(), m22 = toDevice.m22();
    int quarter; // turns clockwise as displayed (y down)
    if (near(m12, 0) && near(m21, 0) && m11 > 0 && m22 > 0)
        quarter = 0;
    else if (near(m11, 0) && near(m22, 0) && m12 > 0 && m21 < 0)
        quarter = 1;
    else if (near(m12, 0) && near(m21, 0) && m11 < 0 && m22 < 0)
        quarter = 2;
    else if (near(m11, 0) && near(m22, 0) && m12 < 0 && m21 > 0)
        quarter = 3;
    else
        return false;
    const QRectF target = toDevice.mapRect(QRectF(0, 0, source.width(), source.height()));
    // Odd sizes turned about the centre land half a pixel off the grid; such a
    // placement is snapped so that the turn stays a pure pixel permutation.
    if (!nearInteger(2 * target.left()) || !nearInteger(2 * target.top()) || !nearInteger(target.width()) ||
        !nearInteger(target.height()))
        return false;
    const int tw = static_cast<int>(std::lround(target.width()));
    const int th = static_cast<int>(std::lround(target.height()));
    if (tw < 1 || th < 1)
        return true; // nothing to draw

    QImage turned = source;
    if (quarter != 0)
        turned = source.transformed(QTransform().rotate(90.0 * quarter));
    if (turned.width() != tw || turned.height() != th)
        turned = turned.scaled(tw, th, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (turned.format() != canvas_.format())
        turned = turned.convertToFormat(canvas_.format());
    if (turned.isNull())
        return true;

    const int left = snapped(target.left(), tw, canvas_.width());
    const int top = snapped(target.top(), th, canvas_.height());
    const QRect placed = QRect(left, top, tw, th).intersected(canvas_.rect());
    if (placed.isEmpty())
        return true;
    const int bytesPerPixel = canvas_.depth() / 8;
    const std::size_t rowBytes = static_cast<std::size_t>(placed.width()) * bytesPerPixel;
    for (int y = placed.top(); y <= placed.bottom(); ++y) {
        const uchar* from =
            turned.constScanLine(y - top) + static_cast<std::size_t>(placed.left() - left) * bytesPerPixel;
        uchar* to = canvas_.scanLine(y) + static_cast<std::size_t>(placed.left()) * bytesPerPixel;
        std::memcpy(to, from, rowBytes);
    }
    return true;
}

void CGBitmapContext::draw(const CGImage& image, CGRect rect) {
    const QImage source = image.pixels();
    if (source.isNull() || source.width() < 1 || source.height() < 1)
        return;
    // Image pixels (v down) to user space: the image's top row at the rect's top.
    const QTransform toUser(rect.width / source.width(), 0, 0, -rect.height / source.height(), rect.x,
                            rect.y + rect.height);
    const QTransform toDevice = toUser * deviceTransform();
    if (drawAxisAligned(source, toDevice))
        return;
    QPainter painter(&canvas_);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.setTransform(toDevice);
    painter.drawImage(QPointF(0, 0), source);
}

std::optional<CGImage> CGBitmapContext::makeImage() const {
    QImage copy = canvas_.copy();
    if (copy.isNull())
        return std::nullopt;
    return CGImage::fromPixels(copy);
}

// ---------------------------------------------------------------------------

namespace {

std::string number(double value) {
    if (nearInteger(value))
        return std::to_string(static_cast<long long>(std::llround(value)));
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

std::string boxText(CGRect box) {
    return "[" + number(box.x) + " " + number(box.y) + " " + number(box.x + box.width) + " " +
           number(box.y + box.height) + "]";
}

} // namespace

CGPDFContext::CGPDFContext(CGRect defaultMediaBox) : defaultBox_(defaultMediaBox) {
    append("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
    offsets_.push_back(0); // object 1: the page tree, written at close
    pagesObject_ = 1;
}

void CGPDFContext::append(const std::string& text) {
    out_.insert(out_.end(), text.begin(), text.end());
}

int CGPDFContext::addObject(const std::string& head, const std::vector<std::uint8_t>* stream,
                            const QByteArray* qstream) {
    offsets_.push_back(out_.size());
    const int n = static_cast<int>(offsets_.size());
    append(std::to_string(n) + " 0 obj\n" + head);
    if (stream || qstream) {
        append("\nstream\n");
        if (stream)
            out_.insert(out_.end(), stream->begin(), stream->end());
        else
            out_.insert(out_.end(), qstream->begin(), qstream->end());
        append("\nendstream");
    }
    append("\nendobj\n");
    return n;
}

void CGPDFContext::beginPage(std::optional<CGRect> mediaBox) {
    if (page_)
        endPage();
    page_ = Page{mediaBox.value_or(defaultBox_), {}, {}};
}

bool CGPDFContext::draw(const CGImage& image, CGRect rect) {
    if (!page_ || closed_)
        return false;
    const int w = image.width(), h = image.height();
    const bool grey = image.colorSpace() == CGColorSpace::deviceGray;
    const std::string dict = "<< /Type /XObject /Subtype /Image /Width " + std::to_string(w) + " /Height " +
                             std::to_string(h) + " /ColorSpace " + (grey ? "/DeviceGray" : "/DeviceRGB") +
                             " /BitsPerComponent 8";
    int object;
    if (const auto& jpeg = image.jpegData()) {
        object = addObject(dict + " /Filter /DCTDecode /Length " + std::to_string(jpeg->size()) + " >>",
                           jpeg.get());
    } else {
        QImage pixels = image.pixels();
        if (pixels.isNull())
            return false;
        pixels = pixels.convertToFormat(grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
        QByteArray raw;
        const int rowBytes = w * (grey ? 1 : 3);
        raw.reserve(static_cast<qsizetype>(rowBytes) * h);
        for (int y = 0; y < h; ++y)
            raw.append(reinterpret_cast<const char*>(pixels.constScanLine(y)), rowBytes);
        // qCompress gives a zlib stream after a 4-byte length: the FlateDecode format.
        const QByteArray packed = qCompress(raw, 6).mid(4);
        object = addObject(dict + " /Filter /FlateDecode /Length " + std::to_string(packed.size()) + " >>",
                           nullptr, &packed);
    }
    page_->images.push_back(object);
    page_->content += "q " + number(rect.width) + " 0 0 " + number(rect.height) + " " + number(rect.x) + " " +
                      number(rect.y) + " cm /Im" + std::to_string(page_->images.size()) + " Do Q\n";
    return true;
}

void CGPDFContext::endPage() {
    if (!page_)
        return;
    std::vector<std::uint8_t> content(page_->content.begin(), page_->content.end());
    const int contents = addObject("<< /Length " + std::to_string(content.size()) + " >>", &content);
    std::string resources = "<< /XObject << ";
    for (std::size_t i = 0; i < page_->images.size(); ++i)
        resources += "/Im" + std::to_string(i + 1) + " " + std::to_string(page_->images[i]) + " 0 R ";
    resources += ">> >>";
    pageObjects_.push_back(addObject("<< /Type /Page /Parent " + std::to_string(pagesObject_) +
                                     " 0 R /MediaBox " + boxText(page_->mediaBox) + " /Resources " +
                                     resources + " /Contents " + std::to_string(contents) + " 0 R >>"));
    page_.reset();
}

void CGPDFContext::close() {
    if (closed_)
        return;
    endPage();
    std::string kids;
    for (int p : pageObjects_)
        kids += std::to_string(p) + " 0 R ";
    offsets_[0] = out_.size();
    append("1 0 obj\n<< /Type /Pages /Kids [ " + kids + "] /Count " + std::to_string(pageObjects_.size()) +
           " >>\nendobj\n");
    const int catalog = addObject("<< /Type /Catalog /Pages 1 0 R >>");
    const std::size_t xref = out_.size();
    append("xref\n0 " + std::to_string(offsets_.size() + 1) + "\n0000000000 65535 f \n");
    for (std::size_t offset : offsets_) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        append(line);
    }
    append("trailer\n<< /Size " + std::to_string(offsets_.size() + 1) + " /Root " + std::to_string(catalog) +
           " 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n");
    closed_ = true;
}

} // namespace tbx::appkit
