#include "ConversionPool.h"

#include <algorithm>

namespace slkserver {

ConversionPool::ConversionPool(int workers, int queueLimit)
    : queueLimit_(static_cast<size_t>(std::max(0, queueLimit))) {
    for (int i = 0; i < std::max(1, workers); ++i)
        threads_.emplace_back([this] { loop(); });
}

ConversionPool::~ConversionPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

bool ConversionPool::submit(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= queueLimit_ + idle_)
            return false;
        queue_.push_back(std::move(work));
    }
    wake_.notify_one();
    return true;
}

void ConversionPool::loop() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            ++idle_;
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            --idle_;
            if (queue_.empty())
                return;
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        work();
    }
}

} // namespace slkserver
