#pragma once

#include <QSharedMemory>
#include <QString>

// One running copy per key: the program that holds the key's 4-byte
// shared-memory segment runs, every later start under the same key gives up.
class SingleInstanceGuard {
public:
    explicit SingleInstanceGuard(const QString& key);

    // True when this process now holds the segment.
    bool acquire();
    void release();

private:
    QSharedMemory memory;
};

// The two GUI programs' keys: each runs once, and both may run side by side.
inline constexpr const char* kControlPanelInstanceKey = "orvocontrolpanelkey2015";
inline constexpr const char* kBufferSizeInstanceKey = "orvobuffersizepanelkey2015";
