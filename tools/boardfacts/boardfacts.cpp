#include "boardfacts.h"

QByteArray BoardTraits::signatureBytes() const
{
    return QByteArray(reinterpret_cast<const char *>(signature.data()), int(signature.size()));
}

std::optional<BoardKind> boardKindFromName(const QString &name)
{
    for (BoardKind kind : { BoardKind::Uno, BoardKind::Mega }) {
        if (name.compare(QLatin1String(boardTraits(kind).name), Qt::CaseInsensitive) == 0)
            return kind;
    }
    return std::nullopt;
}
