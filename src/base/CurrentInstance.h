#pragma once

#include <QtGlobal>

namespace shotlark {

// For the app's one-per-run objects that need what the app owns to be built (the desktop
// services): the object created last answers `shared()` until it is destroyed.
template <typename T> class CurrentInstance {
public:
    static T& shared() {
        Q_ASSERT(current());
        // Cast only here: during construction the derived object does not exist yet.
        return static_cast<T&>(*current());
    }

protected:
    CurrentInstance() { current() = this; }
    ~CurrentInstance() {
        if (current() == this)
            current() = nullptr;
    }

private:
    static CurrentInstance*& current() {
        static CurrentInstance* instance = nullptr;
        return instance;
    }
};

} // namespace shotlark
