#include "logging/Logbook.h"

#include "platform/dispatch/Dispatch.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace tbx {

namespace {

using DestinationSet = std::vector<DestinationPtr>;

// The destination set, replaced as a whole by every change and guarded by the
// concurrent "destination queue": changes are barrier items, reads plain ones.
struct Registry {
    dispatch::Queue queue = dispatch::Queue::concurrent("destination queue");
    std::shared_ptr<const DestinationSet> set = std::make_shared<DestinationSet>();

    std::shared_ptr<const DestinationSet> snapshot() {
        std::shared_ptr<const DestinationSet> copy;
        queue.sync([&] { copy = set; });
        return copy;
    }
};

Registry& registry() {
    // Lives for the whole process: threads may still log while it ends.
    static auto* instance = new Registry;
    return *instance;
}

struct CoreSlot {
    std::mutex mutex;
    std::vector<std::shared_ptr<Logbook::Core>> installed; // every core stays alive
    std::atomic<Logbook::Core*> current{nullptr};
};

CoreSlot& coreSlot() {
    static auto* slot = [] {
        auto* s = new CoreSlot;
        s->installed.push_back(std::make_shared<Logbook::Core>());
        s->current.store(s->installed.back().get());
        return s;
    }();
    return *slot;
}

} // namespace

void Logbook::setCore(std::shared_ptr<Core> core) {
    if (!core) {
        core = std::make_shared<Core>();
    }
    auto& slot = coreSlot();
    std::lock_guard lock(slot.mutex);
    slot.installed.push_back(core);
    slot.current.store(core.get());
}

Logbook::Core& Logbook::core() {
    return *coreSlot().current.load(std::memory_order_acquire);
}

std::vector<DestinationPtr> Logbook::destinations() {
    return *registry().snapshot();
}

bool Logbook::Core::addDestination(DestinationPtr destination) {
    if (!destination) {
        return false;
    }
    auto& r = registry();
    bool added = false;
    r.queue.syncBarrier([&] {
        if (std::find(r.set->begin(), r.set->end(), destination) != r.set->end()) {
            return;
        }
        auto next = std::make_shared<DestinationSet>(*r.set);
        next->push_back(std::move(destination));
        r.set = std::move(next);
        added = true;
    });
    return added;
}

bool Logbook::Core::removeDestination(const DestinationPtr& destination) {
    auto& r = registry();
    bool removed = false;
    r.queue.syncBarrier([&] {
        const auto it = std::find(r.set->begin(), r.set->end(), destination);
        if (it == r.set->end()) {
            return;
        }
        auto next = std::make_shared<DestinationSet>(*r.set);
        next->erase(next->begin() + (it - r.set->begin()));
        r.set = std::move(next);
        removed = true;
    });
    return removed;
}

void Logbook::Core::removeAllDestinations() {
    auto& r = registry();
    r.queue.syncBarrier([&] { r.set = std::make_shared<DestinationSet>(); });
}

std::int64_t Logbook::Core::countDestinations() {
    auto& r = registry();
    std::int64_t count = 0;
    r.queue.sync([&] { count = std::int64_t(r.set->size()); });
    return count;
}

std::string Logbook::Core::threadName() {
    if (dispatch::isMainThread()) {
        return "";
    }
    std::string label = dispatch::currentQueueLabel();
    if (!label.empty() && text::isValidUtf8(label)) {
        return label;
    }
    char name[64] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::string description = "<Thread: " + std::to_string(::gettid()) + ">";
    if (name[0] != '\0') {
        description += "{name = " + std::string(name) + "}";
    }
    return description;
}

void Logbook::Core::verbose(const MessageProducer& message, std::string_view file, std::string_view function,
                            std::int64_t line, const LogContext& context) {
    custom(Level::verbose, message, file, function, line, context);
}
void Logbook::Core::debug(const MessageProducer& message, std::string_view file, std::string_view function,
                          std::int64_t line, const LogContext& context) {
    custom(Level::debug, message, file, function, line, context);
}
void Logbook::Core::info(const MessageProducer& message, std::string_view file, std::string_view function,
                         std::int64_t line, const LogContext& context) {
    custom(Level::info, message, file, function, line, context);
}
void Logbook::Core::warning(const MessageProducer& message, std::string_view file, std::string_view function,
                            std::int64_t line, const LogContext& context) {
    custom(Level::warning, message, file, function, line, context);
}
void Logbook::Core::error(const MessageProducer& message, std::string_view file, std::string_view function,
                          std::int64_t line, const LogContext& context) {
    custom(Level::error, message, file, function, line, context);
}

void Logbook::Core::custom(Level level, const MessageProducer& message, std::string_view file,
                           std::string_view function, std::int64_t line, const LogContext& context) {
    dispatch_send(level, message, threadName(), file, function, line, context);
}

void Logbook::Core::dispatch_send(Level level, const MessageProducer& message, const std::string& thread,
                                  std::string_view file, std::string_view function, std::int64_t line,
                                  const LogContext& context) {
    const auto snapshot = registry().snapshot();
    std::optional<std::string> resolved;
    for (const auto& destination : *snapshot) {
        // The settings this message is decided and handed off by.
        BaseDestination::SettingsPin pin(*destination);
        const auto queue = destination->queue();
        if (!queue) {
            continue;
        }
        if (!resolved && destination->hasMessageFilters()) {
            resolved = message();
        }
        const auto seen = resolved ? std::optional<std::string_view>(*resolved) : std::nullopt;
        if (!destination->shouldLevelBeLogged(level, file, function, seen)) {
            continue;
        }
        auto work = [destination, level, msg = resolved ? *resolved : message(), thread,
                     file = std::string(file), function = stripParams(function), line,
                     context] { destination->send(level, msg, thread, file, function, line, context); };
        if (destination->asynchronously()) {
            queue->async(std::move(work));
        } else {
            // Inline when the caller already runs on this queue, instead of waiting on itself.
            queue->sync(work);
        }
    }
}

bool Logbook::Core::flush(std::int64_t secondTimeout) {
    const dispatch::Group group;
    const auto snapshot = registry().snapshot();
    for (const auto& destination : *snapshot) {
        const auto queue = destination->queue();
        if (!queue) {
            continue;
        }
        group.enter();
        // The item owns the destination and the group's state: it may run long
        // after this call gave up waiting.
        auto work = [destination, group] {
            destination->flush();
            group.leave();
        };
        if (destination->asynchronously()) {
            queue->async(std::move(work));
        } else {
            queue->sync(work);
        }
    }
    const auto seconds = std::clamp<std::int64_t>(secondTimeout, 0, 100'000'000);
    return group.wait(dispatch::Seconds(double(seconds)));
}

std::string Logbook::Core::stripParams(std::string_view function) {
    const auto paren = text::find(function, '(');
    std::string result(paren ? function.substr(0, *paren) : function);
    result += "()";
    return result;
}

} // namespace tbx
