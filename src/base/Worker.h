#pragma once

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>
#include <QObject>
#include <QPromise>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <optional>
#include <type_traits>

namespace shotlark {

// Runs blocking `work` on the global thread pool and resumes the awaiting coroutine on its own
// thread with the result; an exception thrown by `work` is rethrown there unchanged (QFuture
// alone would only carry QException subclasses).
namespace detail {

template <typename Result> struct WorkOutcome {
    std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> value{};
    std::exception_ptr error;
};

// `work` wrapped so that its result or its exception travel back as a value.
template <typename Work> auto capturing(Work work) {
    using Result = std::invoke_result_t<Work>;
    return [work = std::move(work)]() mutable {
        WorkOutcome<Result> outcome;
        try {
            if constexpr (std::is_void_v<Result>)
                work();
            else
                outcome.value = work();
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    };
}

} // namespace detail

template <typename Work> QCoro::Task<std::invoke_result_t<Work>> onWorker(Work work) {
    using Result = std::invoke_result_t<Work>;
    using Outcome = detail::WorkOutcome<Result>;
    // Bound to a name before co_await: g++ 12 double-destroys a temporary lambda there.
    auto job = detail::capturing(std::move(work));
    QFuture<Outcome> future = QtConcurrent::run(std::move(job));
    Outcome outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<Result>)
        co_return std::move(*outcome.value);
}

// Runs `work` on the thread of `context` (a worker thread with its own event loop, which must
// keep running until the work is done) and resumes the awaiting coroutine with its result.
template <typename Work>
QCoro::Task<std::invoke_result_t<Work>> onThreadOf(QObject* context, Work work) {
    using Result = std::invoke_result_t<Work>;
    using Outcome = detail::WorkOutcome<Result>;
    auto promise = std::make_shared<QPromise<Outcome>>();
    QFuture<Outcome> future = promise->future();
    promise->start();
    auto job = detail::capturing(std::move(work));
    QMetaObject::invokeMethod(
        context,
        [promise, job = std::move(job)]() mutable {
            promise->addResult(job());
            promise->finish();
        },
        Qt::QueuedConnection);
    Outcome outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<Result>)
        co_return std::move(*outcome.value);
}

} // namespace shotlark
