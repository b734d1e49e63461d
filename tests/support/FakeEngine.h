#pragma once

#include <QByteArrayList>
#include <QTemporaryDir>

// Drives the stand-in engine library (FakeEngine.cpp) from a test: what each run
// prints, and what each run was given.
class FakeEngine {
public:
    FakeEngine();
    ~FakeEngine();

    // Loads the stand-in library as the process's engine, once.
    static void Load();

    // The pieces that run `run` prints (run 0: every run without an answer of its own).
    void SetAnswer(const QByteArrayList& pieces, int run = 0);
    void SetResult(int result);
    int RunCount() const;
    // The argument vector of run `run` (from 1), and the runtime image's first line.
    QByteArrayList Arguments(int run) const;
    QByteArray ImageLine(int run) const;
    QString Path(const QString& name) const;

private:
    QTemporaryDir Dir;
};
