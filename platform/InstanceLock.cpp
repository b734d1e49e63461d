#include "InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QString InstanceLockPath(const QString& name) {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
        return runtime + u'/' + name + QStringLiteral(".lock");
    const QString temp = qEnvironmentVariable("TMPDIR");
    const QString folder = QDir::isAbsolutePath(temp) ? temp : QStringLiteral("/tmp");
    return folder + u'/' + name + u'-' + QString::number(getuid()) + QStringLiteral(".lock");
}

bool CreateInstanceLock(const QString& name) {
    const QByteArray path = QFile::encodeName(InstanceLockPath(name));
    // Never closed: the lock lives exactly as long as the process.
    const int fd = open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    return true;
}
