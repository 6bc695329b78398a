#include "controlpanel/single_instance.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

namespace {

// The System V keys derive from files in the temporary folder, so a folder
// of the test's own keeps these runs away from a running program.
class Holder {
public:
    Holder(const QString& key, const QString& tmp) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmp);
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

}  // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT
private slots:
    void secondCopyExitsWithMinusOne();
    void programsDoNotCollide();
    void killedCopyDoesNotBlock();
    void cleanExitFreesTheKey();

private:
    QTemporaryDir tmp;
};

void SingleInstanceTest::secondCopyExitsWithMinusOne() {
    Holder first(kControlPanelInstanceKey, tmp.path());
    QVERIFY(first.held());
    Holder second(kControlPanelInstanceKey, tmp.path());
    QCOMPARE(second.refusedWith(), 255);  // -1 as a process exit status
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

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "single_instance_test.moc"
