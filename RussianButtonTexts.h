#pragma once

#include <QTranslator>

// Qt's own Russian translation leaves the OK button in Latin letters ("OK"); this translator,
// installed after it, gives "ОК" in Cyrillic, as everywhere else the user reads Russian.
class RussianButtonTexts : public QTranslator {
public:
    using QTranslator::QTranslator;

    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int count) const override;
};
