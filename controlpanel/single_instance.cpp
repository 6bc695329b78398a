#include "controlpanel/single_instance.h"

#include <QDir>
#include <QFileInfo>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

QString instanceSessionFolder() {
    const QString stand = qEnvironmentVariable("ORVO_SESSION_DIR");
    if (!stand.isEmpty())
        return stand;
    // Not $XDG_RUNTIME_DIR, $TMPDIR or $HOME: a copy started with other
    // values would find another key file and run beside the first.
    const uid_t uid = ::getuid();
    const QString runtime = QString("/run/user/%1").arg(uid);
    struct stat st {};
    if (::stat(runtime.toLocal8Bit().constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid)
        return runtime;
    const passwd* account = ::getpwuid(uid);
    const QString home = account && account->pw_dir ? QString::fromLocal8Bit(account->pw_dir) : QStringLiteral("/tmp");
    return home + "/.local/state/orvo/session";
}

QString instanceKeyFile(const QString& key) { return instanceSessionFolder() + "/" + key; }

SingleInstanceGuard::SingleInstanceGuard(const QString& key) : keyFile(instanceKeyFile(key)) {
    // Qt makes the key file when it creates the segment, but not its folder.
    QDir().mkpath(instanceSessionFolder());
}

bool SingleInstanceGuard::create() {
    // A fresh object per try: one whose create failed keeps a stale handle.
    memory.emplace();
    memory->setNativeKey(keyFile);
    return memory->create(4, QSharedMemory::ReadWrite);
}

bool SingleInstanceGuard::acquire() {
    if (create())
        return true;
    if (memory->error() != QSharedMemory::AlreadyExists)
        return false;
    // A copy that was killed never detached, and its System V segment
    // outlives it. Attaching and detaching again removes a segment nobody
    // else is attached to, so only a running copy still holds the key.
    {
        QSharedMemory stale;
        stale.setNativeKey(keyFile);
        if (stale.attach())
            stale.detach();
    }
    return create();
}

void SingleInstanceGuard::release() {
    if (memory && memory->isAttached())
        memory->detach();
}
