#include "cli/progressview.h"

#include "cli/output.h"

#include <cmath>

namespace {
constexpr int kBarWidth = 24;
constexpr double kPercent = 100.0;
constexpr int kLabelWidth = 28;
constexpr int kPhaseWidth = 10;
constexpr int kMinimumWidth = 20;
// On a narrow terminal the bar shrinks to this before the label is cut, and
// goes once the label would be cut below its own least.
constexpr int kMinimumBarWidth = 8;
constexpr int kMinimumLabelWidth = 12;
// "[" and "] " around the bar.
constexpr int kBarFrame = 3;

const char kCursorUp[] = "\x1b[%1A";
const char kClearLine[] = "\r\x1b[2K";

int percentOf(double fraction)
{
    return static_cast<int>(std::floor(qBound(0.0, fraction, 1.0) * kPercent));
}
} // namespace

QString phaseText(UploadPhase phase)
{
    switch (phase) {
    case UploadPhase::Connecting:
        return QStringLiteral("connecting");
    case UploadPhase::Writing:
        return QStringLiteral("writing");
    case UploadPhase::Reading:
        return QStringLiteral("reading");
    case UploadPhase::Verifying:
        return QStringLiteral("verifying");
    case UploadPhase::Succeeded:
        return QStringLiteral("done");
    case UploadPhase::Failed:
        return QStringLiteral("FAILED");
    }
    return QString();
}

QString progressLine(const QString &label, UploadPhase phase, double fraction, int width)
{
    const double bounded = qBound(0.0, fraction, 1.0);
    const int shown = qMax(width, kMinimumWidth);
    const QString phaseColumn
        = QLatin1Char(' ') + phaseText(phase).leftJustified(kPhaseWidth) + QLatin1Char(' ');
    const QString percent
        = QString::number(percentOf(bounded)).rightJustified(3) + QLatin1Char('%');
    // The phase and the percentage always show; the label and the bar share
    // the rest, the bar giving way first.
    const int room = shown - phaseColumn.size() - percent.size();
    const int labelWanted = qMax(label.size(), kLabelWidth);
    int barWidth = qMax(qMin(kBarWidth, room - kBarFrame - labelWanted), kMinimumBarWidth);
    if (room - kBarFrame - barWidth < kMinimumLabelWidth)
        barWidth = 0;
    const int labelColumn
        = qMax(0, qMin(labelWanted, room - (barWidth > 0 ? barWidth + kBarFrame : 0)));
    QString bar;
    if (barWidth > 0) {
        const int filled = static_cast<int>(std::floor(bounded * barWidth));
        bar = QLatin1Char('[') + QString(filled, QLatin1Char('#'))
            + QString(barWidth - filled, QLatin1Char('-')) + QStringLiteral("] ");
    }
    // Built by concatenation: a module's name may hold anything, "%1" too.
    return label.left(labelColumn).leftJustified(labelColumn) + phaseColumn + bar + percent;
}

QString finishedLine(const QString &label, UploadPhase phase, const QString &note, int width)
{
    const QString line = label.leftJustified(kLabelWidth) + QLatin1Char(' ')
        + phaseText(phase).leftJustified(kPhaseWidth) + QLatin1Char(' ') + note;
    return line.left(qMax(width, kMinimumWidth));
}

ProgressView::ProgressView(Mode mode, std::FILE *out, int width)
    : mode(mode)
    , out(out)
    , width(width)
{
}

void ProgressView::start(const QVector<QString> &labels)
{
    lines.clear();
    for (const QString &label : labels) {
        Line line;
        // Labels hold announced names, notes a module's words.
        line.label = printable(label);
        lines.append(line);
    }
    if (mode == Mode::Plain) {
        for (const Line &line : lines)
            print(line.label + QStringLiteral(": ") + phaseText(line.phase) + QLatin1Char('\n'));
    }
    dirty = true;
    redraw();
}

void ProgressView::update(int index, UploadPhase phase, double fraction)
{
    if (index < 0 || index >= lines.size())
        return;
    Line &line = lines[index];
    line.phase = phase;
    line.fraction = fraction;
    dirty = true;
    if (mode != Mode::Plain)
        return;
    // A quarter passed, or a new phase begun: worth a line.
    const int step = static_cast<int>(std::floor(qBound(0.0, fraction, 1.0) * kPlainSteps));
    if (phase != line.plainPhase) {
        line.plainPhase = phase;
        line.plainStep = 0;
    }
    if (step > line.plainStep) {
        line.plainStep = step;
        print(line.label + QStringLiteral(": ") + phaseText(phase) + QLatin1Char(' ')
              + QString::number(percentOf(fraction)) + QStringLiteral("%\n"));
    }
}

void ProgressView::finish(int index, bool succeeded, const QString &note)
{
    if (index < 0 || index >= lines.size())
        return;
    Line &line = lines[index];
    line.phase = succeeded ? UploadPhase::Succeeded : UploadPhase::Failed;
    if (succeeded)
        line.fraction = 1.0;
    line.note = printable(note);
    dirty = true;
    if (mode == Mode::Plain)
        print(line.label + QStringLiteral(": ") + phaseText(line.phase) + QLatin1Char(' ')
              + line.note + QLatin1Char('\n'));
}

void ProgressView::redraw()
{
    if (mode != Mode::Terminal || !dirty)
        return;
    QString text;
    if (drawn && !lines.isEmpty())
        text += QString::fromLatin1(kCursorUp).arg(lines.size());
    for (const Line &line : lines) {
        // A failed target shows why instead of a bar that stopped somewhere.
        const QString shown = line.phase == UploadPhase::Failed
            ? finishedLine(line.label, line.phase, line.note, width - 1)
            : (progressLine(line.label, line.phase, line.fraction, width - 1)
               + (line.note.isEmpty() ? QString() : QLatin1Char(' ') + line.note))
                  .left(qMax(width - 1, kMinimumWidth));
        text += QLatin1String(kClearLine) + shown + QLatin1Char('\n');
    }
    print(text);
    drawn = true;
    dirty = false;
}

void ProgressView::print(const QString &text)
{
    if (mode == Mode::Silent)
        return;
    printText(out, text);
}
