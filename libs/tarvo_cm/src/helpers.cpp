// Placeholder until the display name lands.
#include <tarvo_cm/helpers.h>

namespace tarvo_cm::helpers {

QString FormatDisplayName(const Connection& connection) {
    return QString::fromStdWString(connection.name);
}

}  // namespace tarvo_cm::helpers
