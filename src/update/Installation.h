#pragma once

#include <QString>

// Where this copy of Shotlark lives, and the operations on an unpacked bundle: the desktop entry
// that points at it, the atomic swap with a newer one, and what an interrupted swap leaves.
namespace shotlark::installation {

enum class Kind {
    Bundle,  // an unpacked Shotlark.app/ (with its MANIFEST): the updater can replace it
    Package, // installed by the system's package manager, which also updates it
    Build,   // run from a build directory
};

struct Where {
    Kind kind = Kind::Build;
    QString root; // the bundle's directory (Bundle only)
};

Where current();

// The per-user desktop entry for shotlark:// links and "Open With", pointing at the bundle in
// `root`, and the link handler registered in mimeapps.list. Empty on success, else the reason.
QString installDesktopEntry(const QString& root);
// Whether the per-user desktop entry already starts the bundle in `root`.
bool desktopEntryPointsAt(const QString& root);

// The sibling a new bundle is copied to before the swap, and where the old one goes when the
// file system can't exchange two directories in one step.
QString nextPathOf(const QString& root);
QString oldPathOf(const QString& root);

// Exchanges the bundle this program runs from (which must be nextPathOf(target)) with `target`,
// in one rename where the file system allows it. Returns a process exit code.
int swapInto(const QString& target);

// One update at a time for the bundle in `root`: the replacement script holds this lock (a file
// beside the bundle) while it works, and nothing else touches the bundle's siblings without it.
class UpdateLock {
public:
    explicit UpdateLock(const QString& root); // tries once, never waits
    ~UpdateLock();
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;
    bool isHeld() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

QString lockPathOf(const QString& root);

// Removes what an interrupted update left beside the bundle in `root`, unless an update is
// being installed right now. Blocking.
void sweepAfterUpdate(const QString& root);

// The shell script that waits for process `pid` to end, swaps the bundle given as $1 with the
// verified new one given as $2, and starts the result (paths only as arguments).
QString replacementScript(qint64 pid);

} // namespace shotlark::installation
