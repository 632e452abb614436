#pragma once

#include <QString>
#include <QVector>

#include <cstdio>

// Where one target's upload stands.
enum class UploadPhase { Connecting, Reading, Writing, Verifying, Succeeded, Failed };

QString phaseText(UploadPhase phase);

// One line of the live display: the target, what it is doing, a bar and the
// percentage, cut to `width` characters.
QString progressLine(const QString &label, UploadPhase phase, double fraction, int width);
// A line without a bar: the target, its state and a note, cut to `width`.
QString finishedLine(const QString &label, UploadPhase phase, const QString &note, int width);

// The live progress of many uploads. On a terminal every target keeps one
// line that is drawn again in place; elsewhere plain lines are printed when
// a target moves on by a quarter or changes phase; silent prints nothing.
class ProgressView
{
public:
    enum class Mode { Terminal, Plain, Silent };

    // Plain mode prints a line each time a target passes one of these steps.
    static constexpr int kPlainSteps = 4;

    ProgressView(Mode mode, std::FILE *out, int width);

    void start(const QVector<QString> &labels);
    void update(int index, UploadPhase phase, double fraction);
    // The target is done; `note` is shown after its state.
    void finish(int index, bool succeeded, const QString &note);
    // Terminal: draws the lines again if anything changed since the last time.
    void redraw();

private:
    struct Line
    {
        QString label;
        UploadPhase phase = UploadPhase::Connecting;
        double fraction = 0.0;
        QString note;
        int plainStep = 0;
        UploadPhase plainPhase = UploadPhase::Connecting;
    };

    void print(const QString &text);

    Mode mode;
    std::FILE *out;
    int width;
    QVector<Line> lines;
    bool drawn = false;
    bool dirty = false;
};
