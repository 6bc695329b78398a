#pragma once

#include <QSharedMemory>
#include <QString>

#include <optional>

// One running copy per key and user session: the program that holds the
// key's 4-byte shared-memory segment runs, every later start under the same
// key gives up, whatever its environment says about temporary folders.
class SingleInstanceGuard {
public:
    explicit SingleInstanceGuard(const QString& key);

    // True when this process now holds the segment.
    bool acquire();
    void release();

private:
    bool create();
    QString keyFile;
    std::optional<QSharedMemory> memory;
};

// The user session's folder for the keys' files: $ORVO_SESSION_DIR when set
// (a stand-in session, as for tests), else /run/user/<uid> when it is the
// user's, else ~/.local/state/orvo/session of the account's home.
QString instanceSessionFolder();

// The file whose identity is the key's System V key.
QString instanceKeyFile(const QString& key);

// The two GUI programs' keys: each runs once, and both may run side by side.
inline constexpr const char* kControlPanelInstanceKey = "orvocontrolpanelkey2015";
inline constexpr const char* kBufferSizeInstanceKey = "orvobuffersizepanelkey2015";
