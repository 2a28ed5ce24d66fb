#include <tarvo_utils/qt_conv.h>

#include <gtest/gtest.h>

TEST(QtConversion, KeepsCyrillicAndCharactersOutsideTheBasicPlane) {
    const std::wstring text = L"Хранилище \U0001F4C4 документов";
    const QString converted = qt_conv::FromStdWString(text);
    EXPECT_EQ(converted, QString::fromUtf8("Хранилище \xF0\x9F\x93\x84 документов"));
    EXPECT_EQ(converted.toStdWString(), text);
}

TEST(QtConversion, EmptyTextStaysEmpty) {
    EXPECT_TRUE(qt_conv::FromStdWString(L"").isEmpty());
}
