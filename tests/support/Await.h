#pragma once

#include "base/Errors.h"
#include "support/Prelude.h"

#include <QCoro/QCoroTask>
#include <QEventLoop>

#include <exception>
#include <optional>
#include <type_traits>

namespace shotlark::test {

// What a coroutine ended with: its value, or the error it threw.
template <typename T> struct Outcome {
    std::conditional_t<std::is_void_v<T>, bool, std::optional<T>> value{};
    std::exception_ptr error;
    bool finished = false;

    // The message of the thrown `Error` of type E; empty with a test failure otherwise.
    template <typename E = Error> QString message() const {
        if (!error) {
            ADD_FAILURE() << "the operation did not fail";
            return QString();
        }
        try {
            std::rethrow_exception(error);
        } catch (const E& e) {
            return e.message();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "unexpected error type: " << e.what();
        }
        return QString();
    }
};

namespace detail {
template <typename T>
QCoro::Task<> capture(QCoro::Task<T> task, Outcome<T>& outcome, QEventLoop& loop) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome.value = true;
        } else {
            outcome.value = co_await std::move(task);
        }
    } catch (...) {
        outcome.error = std::current_exception();
    }
    outcome.finished = true;
    loop.quit();
}
} // namespace detail

// Runs the event loop until `task` ends (at most `ms`), and returns how it ended.
template <typename T> Outcome<T> await(QCoro::Task<T> task, int ms = 30000) {
    Outcome<T> outcome;
    QEventLoop loop;
    auto running = detail::capture(std::move(task), outcome, loop);
    if (!outcome.finished) {
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    EXPECT_TRUE(outcome.finished) << "the operation did not end in time";
    return outcome;
}

} // namespace shotlark::test
