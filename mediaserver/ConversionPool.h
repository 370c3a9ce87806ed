#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace slkserver {

// A fixed number of threads for conversions with a bounded queue, so that conversions never
// take the threads that answer other requests and a burst of them is refused, not piled up.
class ConversionPool {
public:
    ConversionPool(int workers, int queueLimit);
    ~ConversionPool();

    // Queues `work` for a pool thread and returns at once; false when the pool is full.
    bool submit(std::function<void()> work);

private:
    void loop();

    const size_t queueLimit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    size_t idle_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace slkserver
