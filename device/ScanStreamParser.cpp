#include "device/ScanStreamParser.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace tbx {

namespace {

using Kind = ScanStreamStep::Kind;

ScanStreamStep stepOf(Kind kind, std::vector<std::uint8_t> data = {}) {
    ScanStreamStep step;
    step.kind = kind;
    step.data = std::move(data);
    return step;
}

ScanStreamStep broken(std::string problem) {
    ScanStreamStep step = stepOf(Kind::broken);
    step.problem = std::move(problem);
    return step;
}

ScanStreamStep readFailed() {
    ScanStreamStep step = broken("a read of the scan stream failed");
    step.readFailed = true;
    return step;
}

ScanStreamStep tooLarge(std::uint64_t pageBytes, std::uint64_t bound) {
    ScanStreamStep step = stepOf(Kind::tooLarge);
    step.problem = "a page of more than " + std::to_string(bound) + " bytes (its blocks announce " +
                   std::to_string(pageBytes) + ")";
    return step;
}

std::size_t littleEndian16(const std::uint8_t* bytes) {
    return std::size_t(bytes[0]) | (std::size_t(bytes[1]) << 8);
}

} // namespace

ScanStreamParser::ScanStreamParser(ScanByteSource& source, std::uint64_t maxPageBytes,
                                   ScanStreamObserver* observer, std::size_t pageReserve)
    : source_(source), maxPageBytes_(maxPageBytes), observer_(observer),
      pageReserve_(std::size_t(std::min<std::uint64_t>(pageReserve, maxPageBytes))) {
    pending_.reserve(kReadSize);
}

void ScanStreamParser::growTo(std::vector<std::uint8_t>& page, std::size_t size) const {
    if (size <= page.capacity()) {
        return;
    }
    // Doubling while that stays within half the bound, then the bound itself:
    // the copy a growth makes is never larger than half the bound.
    const auto bound = std::size_t(std::min<std::uint64_t>(maxPageBytes_, SIZE_MAX));
    const std::size_t doubled = std::max(size, 2 * page.capacity());
    page.reserve(doubled <= bound / 2 ? doubled : std::max(size, bound));
}

void ScanStreamParser::consume(std::size_t count) {
    pendingStart_ += count;
    if (pendingStart_ == pending_.size()) {
        pending_.clear();
        pendingStart_ = 0;
    }
}

ScanStreamStep ScanStreamParser::unitCutShort(Fill filled, std::vector<std::uint8_t> page) {
    return filled == Fill::failed ? readFailed() : stepOf(Kind::cutShort, std::move(page));
}

ScanStreamStep ScanStreamParser::end(ScanStreamStep step) {
    over_ = true;
    return step;
}

long ScanStreamParser::readUnitStart() {
    // Only an empty `pending_` is read into here, so the read starts the unit.
    const std::size_t ask = source_.readsWholeUnits() ? kReadSize : kHeaderSize;
    pending_.resize(ask);
    const long n = source_.read(pending_.data(), ask);
    pending_.resize(std::size_t(std::clamp<long>(n, 0, long(ask))));
    pendingStart_ = 0;
    std::copy_n(pending_.begin(), std::min(pending_.size(), kHeaderSize), view_.begin());
    if (observer_ != nullptr) {
        observer_->unitRead(view_, n);
    }
    return n;
}

ScanStreamParser::Fill ScanStreamParser::fill(std::size_t count) {
    while (pending_.size() - pendingStart_ < count) {
        pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(pendingStart_));
        pendingStart_ = 0;
        const std::size_t had = pending_.size();
        const std::size_t ask = count - had;
        pending_.resize(count);
        const long n = source_.read(pending_.data() + had, ask);
        pending_.resize(had + std::size_t(std::clamp<long>(n, 0, long(ask))));
        std::copy_n(pending_.begin(), std::min(pending_.size(), kHeaderSize), view_.begin());
        if (observer_ != nullptr) {
            observer_->unitRead(view_, n);
        }
        if (n < 0) {
            return Fill::failed;
        }
        if (n == 0) {
            return Fill::ended;
        }
    }
    return Fill::complete;
}

std::string ScanStreamParser::wholeUnitProblem() const {
    const std::size_t n = pending_.size() - pendingStart_;
    const std::uint8_t* read = pending_.data() + pendingStart_;
    if (n == 1) {
        return {};
    }
    const std::string transfer = "scan stream transfer of " + std::to_string(n) + " bytes";
    if (n < kHeaderSize) {
        return transfer + " is no block";
    }
    const std::size_t length = littleEndian16(read + 10);
    if (n == kHeaderSize + length ||
        (n == kHeaderSize + length + kTrailerSize && read[kHeaderSize + length] == kTrailerMark)) {
        return {};
    }
    return transfer + " does not match its block length " + std::to_string(length);
}

void ScanStreamParser::recycle(std::vector<std::uint8_t> page) {
    spare_ = std::move(page);
}

ScanStreamStep ScanStreamParser::next() {
    if (over_) {
        return stepOf(Kind::ended);
    }
    std::vector<std::uint8_t> page = std::exchange(spare_, {});
    page.clear();
    page.reserve(pageReserve_);
    std::uint64_t pageBytes = 0;
    bool insidePage = false;
    long pageNo = -1;
    for (;;) {
        bool wholeRead = false; // this unit begins a read of a whole-unit source
        if (pending_.size() == pendingStart_) {
            const long n = readUnitStart();
            if (n < 0) {
                return end(readFailed());
            }
            if (n == 0) {
                return end(stepOf(insidePage ? Kind::cutShort : Kind::ended, std::move(page)));
            }
            if (source_.readsWholeUnits()) {
                if (std::string problem = wholeUnitProblem(); !problem.empty()) {
                    return end(broken(std::move(problem)));
                }
                wholeRead = true;
            }
        }
        const std::uint8_t first = pending_[pendingStart_];
        const bool isStatus = wholeRead ? pending_.size() == 1 : (first & 0x80) != 0 && first != kTrailerMark;
        const bool isTrailer = !wholeRead && first == kTrailerMark;
        const bool withTrailer = std::exchange(withTrailer_, false);

        if (isStatus) {
            consume(1);
            if (observer_ != nullptr) {
                observer_->status(first, withTrailer);
            }
            ScanStreamStep step =
                stepOf(first == kJobFinished ? Kind::finished : Kind::status, std::move(page));
            step.status = first;
            return end(std::move(step));
        }

        if (isTrailer) {
            if (const Fill filled = fill(kTrailerSize); filled != Fill::complete) {
                return end(unitCutShort(filled, std::move(page)));
            }
            if (!insidePage) {
                return end(broken("a page trailer without any block before it"));
            }
            if (observer_ != nullptr) {
                observer_->trailer(std::span(pending_).subspan(pendingStart_, kTrailerSize), view_,
                                   pageBytes);
            }
            consume(kTrailerSize);
            withTrailer_ = pending_.size() != pendingStart_;
            ScanStreamStep step = stepOf(Kind::page, std::move(page));
            step.pageNo = pageNo;
            return step;
        }

        if (const Fill filled = fill(kHeaderSize); filled != Fill::complete) {
            return end(unitCutShort(filled, std::move(page)));
        }
        const std::uint8_t* header = pending_.data() + pendingStart_;
        pageNo = long(littleEndian16(header + 3));
        const std::size_t length = littleEndian16(header + 10);
        consume(kHeaderSize);
        insidePage = true;
        pageBytes += length;
        if (pageBytes > maxPageBytes_) {
            return end(tooLarge(pageBytes, maxPageBytes_)); // the page's memory goes with it
        }
        growTo(page, page.size() + length);

        // The payload: first what an earlier read brought along, then reads of
        // at most kReadSize bytes straight into the page.
        const std::size_t carried = std::min(length, pending_.size() - pendingStart_);
        page.insert(page.end(), pending_.begin() + std::ptrdiff_t(pendingStart_),
                    pending_.begin() + std::ptrdiff_t(pendingStart_ + carried));
        consume(carried);
        for (std::size_t remaining = length - carried; remaining > 0;) {
            const std::size_t ask = std::min(remaining, kReadSize);
            const std::size_t had = page.size();
            page.resize(had + ask);
            const long n = source_.read(page.data() + had, ask);
            page.resize(had + std::size_t(std::clamp<long>(n, 0, long(ask))));
            if (observer_ != nullptr) {
                observer_->payloadRead(n, ask);
            }
            if (n < 0) {
                return end(readFailed());
            }
            if (n == 0) {
                return end(stepOf(Kind::cutShort, std::move(page)));
            }
            remaining -= std::min(remaining, std::size_t(n));
        }
    }
}

} // namespace tbx
