#pragma once

#include <QString>

// A named lock for the user's session, held until the process ends (the kernel
// drops it then, also after a crash): a `flock` on "<name>.lock" in
// $XDG_RUNTIME_DIR, or on "<name>-<uid>.lock" in the temporary folder when the
// session has no runtime folder. The descriptor is close-on-exec, so child
// processes never keep the lock alive.
QString InstanceLockPath(const QString& name);

// Takes the lock; false when another process holds it or it cannot be made.
bool CreateInstanceLock(const QString& name);
