#pragma once

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <optional>
#include <type_traits>

namespace shotlark {

// Runs blocking `work` on the global thread pool and resumes the awaiting coroutine on its own
// thread with the result; an exception thrown by `work` is rethrown there unchanged (QFuture
// alone would only carry QException subclasses).
template <typename Work> QCoro::Task<std::invoke_result_t<Work>> onWorker(Work work) {
    using Result = std::invoke_result_t<Work>;
    struct Outcome {
        std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> value{};
        std::exception_ptr error;
    };
    // Bound to a name before co_await: g++ 12 double-destroys a temporary lambda there.
    auto job = [work = std::move(work)]() mutable {
        Outcome outcome;
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
    QFuture<Outcome> future = QtConcurrent::run(std::move(job));
    Outcome outcome = co_await future;
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<Result>)
        co_return std::move(*outcome.value);
}

} // namespace shotlark
