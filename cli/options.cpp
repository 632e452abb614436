#include "cli/options.h"

#include "upload/boards.h"

#include <cmath>

namespace {
constexpr int kMaxPortDigits = 5;

struct EndingName
{
    const char *name;
    const char *bytes;
};
const EndingName kEndings[]
    = { { "lf", "\n" }, { "crlf", "\r\n" }, { "cr", "\r" }, { "none", "" } };

} // namespace

QString bracketedAddress(const QString &address)
{
    return address.contains(QLatin1Char(':')) ? QLatin1Char('[') + address + QLatin1Char(']')
                                              : address;
}

QString Target::text() const
{
    return QStringLiteral("%1:%2:%3").arg(bracketedAddress(address)).arg(dataPort).arg(atPort);
}

std::optional<quint16> parsePort(const QString &text)
{
    if (text.isEmpty() || text.size() > kMaxPortDigits)
        return std::nullopt;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const int value = text.toInt(nullptr, 10);
    if (value < 1 || value > kMaxPort)
        return std::nullopt;
    return static_cast<quint16>(value);
}

QString badPortMessage(const char *which, const QString &text)
{
    return QStringLiteral("bad %1 port '%2': a port is a number from 1 to %3")
        .arg(QLatin1String(which), text)
        .arg(kMaxPort);
}

std::optional<Target> parseTarget(const QString &text, QString *error)
{
    const auto fail = [&](const QString &why) {
        *error = QStringLiteral("bad target '%1': %2").arg(text, why);
        return std::nullopt;
    };
    const int atColon = text.lastIndexOf(QLatin1Char(':'));
    const int dataColon = atColon > 0 ? text.lastIndexOf(QLatin1Char(':'), atColon - 1) : -1;
    if (dataColon <= 0)
        return fail(QStringLiteral("expected IP:DATAPORT:ATPORT"));
    QString addressText = text.left(dataColon);
    if (addressText.startsWith(QLatin1Char('[')) && addressText.endsWith(QLatin1Char(']')))
        addressText = addressText.mid(1, addressText.size() - 2);
    const QHostAddress address(addressText);
    if (address.isNull())
        return fail(QStringLiteral("'%1' is not an IP address").arg(addressText));
    const QString dataText = text.mid(dataColon + 1, atColon - dataColon - 1);
    const QString atText = text.mid(atColon + 1);
    const std::optional<quint16> dataPort = parsePort(dataText);
    if (!dataPort)
        return fail(badPortMessage("data", dataText));
    const std::optional<quint16> atPort = parsePort(atText);
    if (!atPort)
        return fail(badPortMessage("AT", atText));
    Target target;
    target.address = address.toString();
    target.dataPort = *dataPort;
    target.atPort = *atPort;
    return target;
}

QString Options::boardName() const
{
    return board ? QString::fromLatin1(board->name) : QString();
}

QStringList boardNames()
{
    QStringList names;
    for (const Board &board : boards())
        names << QString::fromLatin1(board.name);
    return names;
}

std::optional<double> parseSeconds(const QString &text, double limit)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value <= 0.0 || value > limit)
        return std::nullopt;
    return value;
}

std::optional<QByteArray> lineEnding(const QString &name)
{
    for (const EndingName &ending : kEndings) {
        if (name.compare(QLatin1String(ending.name), Qt::CaseInsensitive) == 0)
            return QByteArray(ending.bytes);
    }
    return std::nullopt;
}

std::optional<Target> parseMonitorTarget(const QString &text, QString *error)
{
    QString ignored;
    std::optional<Target> target = parseTarget(text, &ignored);
    if (target)
        return target;
    // Without the AT port: any valid port stands in for it and is dropped.
    target = parseTarget(text + QStringLiteral(":1"), &ignored);
    if (target) {
        target->atPort = 0;
        return target;
    }
    *error = QStringLiteral("bad target '%1': expected IP:DATAPORT or IP:DATAPORT:ATPORT, an IP "
                            "address and ports from 1 to %2")
                 .arg(text)
                 .arg(kMaxPort);
    return std::nullopt;
}

std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString &text)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return std::nullopt;
    QString addressText = text.left(colon);
    if (addressText.startsWith(QLatin1Char('[')) && addressText.endsWith(QLatin1Char(']')))
        addressText = addressText.mid(1, addressText.size() - 2);
    const QHostAddress address(addressText);
    const QString portText = text.mid(colon + 1);
    const std::optional<quint16> port
        = portText == QLatin1String("0") ? std::optional<quint16>(0) : parsePort(portText);
    if (address.isNull() || !port)
        return std::nullopt;
    return std::make_pair(address, *port);
}
