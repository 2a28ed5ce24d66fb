#include <tarvo_cm/helpers.h>

#include <tarvo_utils/qt_conv.h>

namespace tarvo_cm::helpers {

QString FormatDisplayName(const Connection& connection) {
    const QString name = qt_conv::FromStdWString(connection.name).trimmed();
    const auto* remote = std::get_if<tarvo::endpoint::Remote>(&connection.endpoint);
    if (remote == nullptr) {
        return name.isEmpty() ? QStringLiteral("Локальное хранилище") : name;
    }
    const QString address = QStringLiteral("%1:%2/%3")
                                .arg(qt_conv::FromStdWString(remote->host))
                                .arg(remote->port)
                                .arg(qt_conv::FromStdWString(remote->database));
    if (name.isEmpty()) {
        return QStringLiteral("Хранилище на сервере %1").arg(address);
    }
    return QStringLiteral("%1 (%2)").arg(name, address);
}

}  // namespace tarvo_cm::helpers
