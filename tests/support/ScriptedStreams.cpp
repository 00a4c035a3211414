#include "tests/support/ScriptedStreams.h"

#include <algorithm>
#include <cstring>

namespace tbx::test {

using cfnetwork::StreamStatus;

void ScriptedInputStream::pushBytes(std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    const long count = long(bytes.size());
    steps_.push_back({std::move(bytes), count});
}

void ScriptedInputStream::pushText(std::string_view text) {
    pushBytes(std::vector<std::uint8_t>(text.begin(), text.end()));
}

void ScriptedInputStream::pushEnd() {
    std::lock_guard lock(mutex_);
    steps_.push_back({{}, 0});
}

void ScriptedInputStream::pushFailure(int error) {
    std::lock_guard lock(mutex_);
    steps_.push_back({{}, -1, error});
}

int ScriptedInputStream::streamError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void ScriptedInputStream::setResultWhenExhausted(long result) {
    std::lock_guard lock(mutex_);
    exhausted_ = result;
}

std::vector<std::size_t> ScriptedInputStream::askedLengths() const {
    std::lock_guard lock(mutex_);
    return asked_;
}

int ScriptedInputStream::reads() const {
    std::lock_guard lock(mutex_);
    return int(asked_.size());
}

bool ScriptedInputStream::opened() const {
    std::lock_guard lock(mutex_);
    return status_ != StreamStatus::notOpen;
}

bool ScriptedInputStream::closedCalled() const {
    std::lock_guard lock(mutex_);
    return status_ == StreamStatus::closed;
}

void ScriptedInputStream::open() {
    std::lock_guard lock(mutex_);
    status_ = StreamStatus::open;
}

void ScriptedInputStream::close() {
    std::lock_guard lock(mutex_);
    status_ = StreamStatus::closed;
}

StreamStatus ScriptedInputStream::streamStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

long ScriptedInputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
    std::lock_guard lock(mutex_);
    asked_.push_back(maxLength);
    if (steps_.empty()) {
        return exhausted_;
    }
    Step& step = steps_.front();
    if (step.result <= 0) {
        const long result = step.result;
        error_ = step.error;
        steps_.pop_front();
        return result;
    }
    const std::size_t count = std::min(maxLength, step.bytes.size());
    std::memcpy(buffer, step.bytes.data(), count);
    if (count == step.bytes.size()) {
        steps_.pop_front();
    } else {
        step.bytes.erase(step.bytes.begin(), step.bytes.begin() + long(count));
        step.result = long(step.bytes.size());
    }
    return long(count);
}

void ScriptedOutputStream::failWritesWith(long result) {
    std::lock_guard lock(mutex_);
    forced_ = result;
}

std::vector<std::uint8_t> ScriptedOutputStream::written() const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> all;
    for (const auto& write : writes_) {
        all.insert(all.end(), write.begin(), write.end());
    }
    return all;
}

std::string ScriptedOutputStream::writtenText() const {
    const auto bytes = written();
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::vector<std::uint8_t>> ScriptedOutputStream::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

void ScriptedOutputStream::open() {
    std::lock_guard lock(mutex_);
    status_ = StreamStatus::open;
}

void ScriptedOutputStream::close() {
    std::lock_guard lock(mutex_);
    status_ = StreamStatus::closed;
}

StreamStatus ScriptedOutputStream::streamStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

long ScriptedOutputStream::write(const std::uint8_t* buffer, std::size_t length) {
    std::lock_guard lock(mutex_);
    if (forced_) {
        return *forced_;
    }
    writes_.emplace_back(buffer, buffer + length);
    return long(length);
}

} // namespace tbx::test
