#include "discovery/announcement.h"

#include "discovery/objectliteral.h"

#include <QStringList>

namespace {
const QString kHostIpKey = QStringLiteral("host ip");
const QString kDataPortKey = QStringLiteral("data port");
const QString kAtPortKey = QStringLiteral("atcomd port");
const QString kHostNameKey = QStringLiteral("hostname");
} // namespace

QString announcementText(const QByteArray &payload)
{
    const int nul = payload.indexOf('\0');
    const QByteArray text = nul < 0 ? payload : payload.left(nul);
    return QString::fromUtf8(text.constData(), text.size());
}

std::optional<Announcement> parseAnnouncement(const QByteArray &payload)
{
    const std::optional<LiteralProperties> properties
        = parseObjectLiteral(announcementText(payload));
    if (!properties)
        return std::nullopt;
    Announcement announcement;
    for (const auto &property : *properties) {
        if (property.first == kHostIpKey)
            announcement.hostIp = property.second;
        else if (property.first == kDataPortKey)
            announcement.dataPort = property.second;
        else if (property.first == kAtPortKey)
            announcement.atPort = property.second;
        else if (property.first == kHostNameKey)
            announcement.hostName = property.second;
    }
    return announcement;
}

bool isModuleAddress(const QString &text)
{
    constexpr int kParts = 4;
    constexpr int kMaxPartDigits = 3;
    constexpr int kMaxPartValue = 255;
    constexpr int kThisNetwork = 0;
    constexpr int kFirstMulticast = 224;
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != kParts)
        return false;
    int values[kParts] = {};
    for (int i = 0; i < kParts; ++i) {
        const QString &part = parts.at(i);
        if (part.isEmpty() || part.size() > kMaxPartDigits
            || (part.size() > 1 && part.at(0) == QLatin1Char('0')))
            return false;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        values[i] = part.toInt();
        if (values[i] > kMaxPartValue)
            return false;
    }
    // 224.0.0.0 and up: multicast, the reserved block and the broadcast address.
    return values[0] != kThisNetwork && values[0] < kFirstMulticast;
}
