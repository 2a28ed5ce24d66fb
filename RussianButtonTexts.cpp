#include "RussianButtonTexts.h"

#include <cstring>

QString RussianButtonTexts::translate(const char* context, const char* sourceText,
                                      const char* /*disambiguation*/, int /*count*/) const {
    if (context == nullptr || sourceText == nullptr) {
        return {};
    }
    // The standard buttons take their texts from the platform theme, QDialogButtonBox's own
    // from its context; both spell OK with or without the accelerator mark.
    const bool buttonContext = std::strcmp(context, "QPlatformTheme") == 0 ||
                               std::strcmp(context, "QDialogButtonBox") == 0;
    if (buttonContext &&
        (std::strcmp(sourceText, "OK") == 0 || std::strcmp(sourceText, "&OK") == 0)) {
        return QStringLiteral("ОК");
    }
    return {};  // everything else: the translators installed before this one
}
