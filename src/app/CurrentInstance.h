#pragma once

#include <QtGlobal>

namespace shotlark {

// For the app's one-per-run objects that need what the app owns to be built (the desktop
// services): the object created last answers `shared()` until it is destroyed.
template <typename T> class CurrentInstance {
public:
    static T& shared() {
        Q_ASSERT(current());
        return *current();
    }

protected:
    CurrentInstance() { current() = static_cast<T*>(this); }
    ~CurrentInstance() {
        if (current() == static_cast<T*>(this))
            current() = nullptr;
    }

private:
    static T*& current() {
        static T* instance = nullptr;
        return instance;
    }
};

} // namespace shotlark
