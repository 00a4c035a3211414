// The process-wide logger. Its class-level operations fan every message out to
// the attached destinations; each destination decides on the calling thread
// whether it takes the message and writes it on its own serial queue. The
// message is a deferred producer: it runs only when some destination needs the
// text, so a message that no destination takes costs a snapshot of the
// destination set and the level decisions, nothing more.
//
// The operations are the virtual members of Logbook::Core; a subclass may
// override any of them and be installed with Logbook::setCore, and calls among
// them (level operation -> custom -> threadName, dispatch_send -> stripParams)
// reach the override.
#pragma once

#include "logging/BaseDestination.h"
#include "logging/LogLevel.h"
#include "logging/Text.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tbx {

using MessageProducer = std::function<std::string()>;

class Logbook {
public:
    using Level = LogLevel;
    static constexpr std::string_view version = "2.0.0";
    static constexpr std::int64_t build = 2000;

    Logbook() = default; // holds nothing: all state is class-level

    class Core {
    public:
        virtual ~Core() = default;
        virtual bool addDestination(DestinationPtr destination);
        virtual bool removeDestination(const DestinationPtr& destination);
        virtual void removeAllDestinations();
        virtual std::int64_t countDestinations();
        virtual std::string threadName();
        virtual void verbose(const MessageProducer& message, std::string_view file, std::string_view function,
                             std::int64_t line, const LogContext& context);
        virtual void debug(const MessageProducer& message, std::string_view file, std::string_view function,
                           std::int64_t line, const LogContext& context);
        virtual void info(const MessageProducer& message, std::string_view file, std::string_view function,
                          std::int64_t line, const LogContext& context);
        virtual void warning(const MessageProducer& message, std::string_view file, std::string_view function,
                             std::int64_t line, const LogContext& context);
        virtual void error(const MessageProducer& message, std::string_view file, std::string_view function,
                           std::int64_t line, const LogContext& context);
        virtual void custom(Level level, const MessageProducer& message, std::string_view file,
                            std::string_view function, std::int64_t line, const LogContext& context);
        virtual void dispatch_send(Level level, const MessageProducer& message, const std::string& thread,
                                   std::string_view file, std::string_view function, std::int64_t line,
                                   const LogContext& context);
        virtual bool flush(std::int64_t secondTimeout);
        virtual std::string stripParams(std::string_view function);
    };

    // Installs the logger behaviour (kept alive for the rest of the process).
    static void setCore(std::shared_ptr<Core> core);
    static Core& core();

    static bool addDestination(DestinationPtr destination) {
        return core().addDestination(std::move(destination));
    }
    static bool removeDestination(const DestinationPtr& destination) {
        return core().removeDestination(destination);
    }
    static void removeAllDestinations() { core().removeAllDestinations(); }
    static std::int64_t countDestinations() { return core().countDestinations(); }
    // A copy of the attached destinations.
    static std::vector<DestinationPtr> destinations();
    static std::string threadName() { return core().threadName(); }

    // `message` is a callable whose value is the message (a text as it is, any
    // other value by its description), or a plain value.
    template <class M>
    static void verbose(M&& message, std::string_view file, std::string_view function, std::int64_t line,
                        const LogContext& context = std::nullopt) {
        core().verbose(producer(std::forward<M>(message)), file, function, line, context);
    }
    template <class M>
    static void debug(M&& message, std::string_view file, std::string_view function, std::int64_t line,
                      const LogContext& context = std::nullopt) {
        core().debug(producer(std::forward<M>(message)), file, function, line, context);
    }
    template <class M>
    static void info(M&& message, std::string_view file, std::string_view function, std::int64_t line,
                     const LogContext& context = std::nullopt) {
        core().info(producer(std::forward<M>(message)), file, function, line, context);
    }
    template <class M>
    static void warning(M&& message, std::string_view file, std::string_view function, std::int64_t line,
                        const LogContext& context = std::nullopt) {
        core().warning(producer(std::forward<M>(message)), file, function, line, context);
    }
    template <class M>
    static void error(M&& message, std::string_view file, std::string_view function, std::int64_t line,
                      const LogContext& context = std::nullopt) {
        core().error(producer(std::forward<M>(message)), file, function, line, context);
    }
    template <class M>
    static void custom(Level level, M&& message, std::string_view file, std::string_view function,
                       std::int64_t line, const LogContext& context = std::nullopt) {
        core().custom(level, producer(std::forward<M>(message)), file, function, line, context);
    }

    // Waits until every destination has written what it was given; false when
    // `secondTimeout` seconds passed first.
    static bool flush(std::int64_t secondTimeout) { return core().flush(secondTimeout); }
    static std::string stripParams(std::string_view function) { return core().stripParams(function); }

    template <class M>
    static MessageProducer producer(M&& message) {
        using V = std::decay_t<M>;
        if constexpr (std::is_invocable_v<V&>) {
            return [f = V(std::forward<M>(message))]() mutable { return text::describe(f()); };
        } else {
            return [v = V(std::forward<M>(message))] { return text::describe(v); };
        }
    }
};

} // namespace tbx

// Log with the caller's file, function and line; `message` is evaluated only
// when a destination needs its text.
#define TBX_LOG(level, message)                                                                              \
    ::tbx::Logbook::custom(                                                                                  \
        level, [&] { return (message); }, __FILE__, __func__, __LINE__)
#define TBX_LOG_VERBOSE(message) TBX_LOG(::tbx::LogLevel::verbose, message)
#define TBX_LOG_DEBUG(message) TBX_LOG(::tbx::LogLevel::debug, message)
#define TBX_LOG_INFO(message) TBX_LOG(::tbx::LogLevel::info, message)
#define TBX_LOG_WARNING(message) TBX_LOG(::tbx::LogLevel::warning, message)
#define TBX_LOG_ERROR(message) TBX_LOG(::tbx::LogLevel::error, message)
