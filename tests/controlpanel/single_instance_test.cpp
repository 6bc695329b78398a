#include "controlpanel/single_instance.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

namespace {

// The keys live in the user session's folder; a session folder of the
// test's own keeps these runs away from a running program. tmp: the copy's
// temporary folder, which has no say.
class Holder {
public:
    Holder(const QString& key, const QString& session, const QString& tmp = QString()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORVO_SESSION_DIR", session);
        env.insert("TMPDIR", tmp.isEmpty() ? session : tmp);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(ORVO_INSTANCE_HOLDER), {key});
    }
    ~Holder() {
        if (process.state() != QProcess::NotRunning) {
            process.closeWriteChannel();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }
    bool held() {
        while (!process.canReadLine())
            if (!process.waitForReadyRead(10000))
                return false;
        return process.readLine().trimmed() == "held";
    }
    int refusedWith() {
        if (!process.waitForFinished(10000))
            return 1000;
        return process.exitCode();
    }
    void killHard() {
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        process.waitForFinished(5000);
    }
    void end() {
        process.closeWriteChannel();
        process.waitForFinished(5000);
    }

private:
    QProcess process;
};

// The control panel itself, on the offscreen platform with no MIDI back end.
class ControlPanelRun {
public:
    ControlPanelRun(const QString& tmp, const QString& registry) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ORVO_SESSION_DIR", tmp);
        env.insert("TMPDIR", tmp);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("ORVO_MIDI_API", "dummy");
        env.insert("ORVO_REGISTRY_ROOT", registry);
        env.insert("XDG_RUNTIME_DIR", registry);  // else Qt says it made one
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(ORVO_CONTROL_PANEL), QStringList{});
    }
    ~ControlPanelRun() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // The key is held once another process can attach to its segment.
    static bool keyHeld(const QString& tmp) {
        const QByteArray saved = qgetenv("ORVO_SESSION_DIR");
        qputenv("ORVO_SESSION_DIR", tmp.toUtf8());
        QSharedMemory probe;
        probe.setNativeKey(instanceKeyFile(kControlPanelInstanceKey));
        const bool held = probe.attach(QSharedMemory::ReadOnly);
        qputenv("ORVO_SESSION_DIR", saved);
        return held;
    }
    bool running() { return !process.waitForFinished(1500); }
    int exitCode() {
        process.waitForFinished(10000);
        return process.exitCode();
    }
    QByteArray output() { return process.readAllStandardOutput() + process.readAllStandardError(); }
    void killHard() {
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        process.waitForFinished(5000);
    }

private:
    QProcess process;
};

}  // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT
private slots:
    void secondCopyExitsWithMinusOne();
    void secondCopyWithOtherTmpdirIsRefused();
    void programsDoNotCollide();
    void killedCopyDoesNotBlock();
    void cleanExitFreesTheKey();
    void controlPanelRunsOnce();
    void killedControlPanelDoesNotBlock();

private:
    QTemporaryDir tmp;
};

void SingleInstanceTest::secondCopyExitsWithMinusOne() {
    Holder first(kControlPanelInstanceKey, tmp.path());
    QVERIFY(first.held());
    Holder second(kControlPanelInstanceKey, tmp.path());
    QCOMPARE(second.refusedWith(), 255);  // -1 as a process exit status
}

void SingleInstanceTest::secondCopyWithOtherTmpdirIsRefused() {
    QTemporaryDir firstTmp, secondTmp;
    Holder first(kControlPanelInstanceKey, tmp.path(), firstTmp.path());
    QVERIFY(first.held());
    Holder second(kControlPanelInstanceKey, tmp.path(), secondTmp.path());
    QCOMPARE(second.refusedWith(), 255);
}

void SingleInstanceTest::programsDoNotCollide() {
    Holder panel(kControlPanelInstanceKey, tmp.path());
    QVERIFY(panel.held());
    Holder bufferSize(kBufferSizeInstanceKey, tmp.path());
    QVERIFY(bufferSize.held());
}

void SingleInstanceTest::killedCopyDoesNotBlock() {
    {
        Holder killed(kControlPanelInstanceKey, tmp.path());
        QVERIFY(killed.held());
        killed.killHard();
    }
    Holder next(kControlPanelInstanceKey, tmp.path());
    QVERIFY(next.held());
    // And the stale segment's removal did not let a third copy in.
    Holder third(kControlPanelInstanceKey, tmp.path());
    QCOMPARE(third.refusedWith(), 255);
}

void SingleInstanceTest::cleanExitFreesTheKey() {
    Holder first(kControlPanelInstanceKey, tmp.path());
    QVERIFY(first.held());
    first.end();
    Holder next(kControlPanelInstanceKey, tmp.path());
    QVERIFY(next.held());
}

void SingleInstanceTest::controlPanelRunsOnce() {
    QTemporaryDir registry;
    ControlPanelRun first(tmp.path(), registry.path());
    QVERIFY(QTest::qWaitFor([&] { return ControlPanelRun::keyHeld(tmp.path()); }, 10000));
    ControlPanelRun second(tmp.path(), registry.path());
    QCOMPARE(second.exitCode(), 255);  // -1, silently
    QCOMPARE(second.output(), QByteArray());
    QVERIFY(first.running());
}

void SingleInstanceTest::killedControlPanelDoesNotBlock() {
    QTemporaryDir registry;
    {
        ControlPanelRun killed(tmp.path(), registry.path());
        QVERIFY(QTest::qWaitFor([&] { return ControlPanelRun::keyHeld(tmp.path()); }, 10000));
        killed.killHard();
    }
    ControlPanelRun next(tmp.path(), registry.path());
    QVERIFY(next.running());
    QVERIFY(ControlPanelRun::keyHeld(tmp.path()));
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "single_instance_test.moc"
