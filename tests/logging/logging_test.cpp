#include <logging/logging.h>

#include "test_support.h"

#include <QTemporaryDir>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Each test logs into a folder of its own.
class LogFile : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_temporary.isValid());
        m_folder = m_temporary.path().toStdString();
    }

    void initialize(std::size_t maxFileSize = 1024 * 1024, std::size_t maxFiles = 3) {
        logging::Settings settings;
        settings.directory = m_folder;
        settings.maxFileSize = maxFileSize;
        settings.maxFiles = maxFiles;
        settings.toStandardError = false;
        logging::Initialize(settings);
    }

    std::vector<std::string> lines() const {
        logging::Flush();
        std::ifstream stream(m_folder / "KelvoDrive.log");
        std::vector<std::string> result;
        std::string line;
        while (std::getline(stream, line)) {
            result.push_back(line);
        }
        return result;
    }

    std::string lastLine() const {
        const auto all = lines();
        return all.empty() ? std::string() : all.back();
    }

    QTemporaryDir m_temporary;
    std::filesystem::path m_folder;
};

TEST_F(LogFile, RecordsFromManyThreadsStayWholeAndSeparate) {
    initialize(64 * 1024 * 1024);
    constexpr int kThreads = 8;
    constexpr int kRecordsPerThread = 250;
    const std::wstring payload(300, L'ж');
    std::vector<std::thread> writers;
    for (int thread = 0; thread < kThreads; ++thread) {
        writers.emplace_back([thread, &payload] {
            for (int record = 0; record < kRecordsPerThread; ++record) {
                KELVO_LOG(logging::kInfo)
                    << L"writer " << thread << L" record " << record << L" " << payload << L" end";
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }

    std::string payloadUtf8;
    for (int index = 0; index < 300; ++index) {
        payloadUtf8 += "ж";
    }
    const std::regex wholeRecord(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[\d+\] \[1\] tests\\logging\\logging_test:\d+ )"
        R"(writer (\d+) record (\d+) )" +
        payloadUtf8 + " end");
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : lines()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, wholeRecord)) << line.substr(0, 200);
        seen.emplace(std::stoi(match[1]), std::stoi(match[2]));
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kRecordsPerThread));
}

TEST_F(LogFile, RotationKeepsTheConfiguredNumberOfFiles) {
    initialize(2048, 3);
    for (int record = 0; record < 200; ++record) {
        KELVO_LOG(logging::kWarning) << L"record " << record << L" " << std::wstring(80, L'x');
    }
    logging::Flush();
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_folder)) {
        names.insert(entry.path().filename().string());
        EXPECT_LE(entry.file_size(), 2048u) << entry.path();
    }
    EXPECT_EQ(names,
              (std::set<std::string>{"KelvoDrive.log", "KelvoDrive.1.log", "KelvoDrive.2.log"}));
    // The newest records are in the current file.
    EXPECT_NE(lastLine().find("record 199 "), std::string::npos);
}

TEST_F(LogFile, RecordNamesItsSourceRelativeToTheProjectWithBackslashes) {
    initialize();
    {
        logging::detail::LogMessage record(KELVO_SOURCE_ROOT "Driver/FSDriver.cpp", 42,
                                           logging::kError);
        record.stream() << L"Ошибка: нет связи с хранилищем";
    }
    const std::string driverRecord = lastLine();
    EXPECT_NE(driverRecord.find(" [4] Driver\\FSDriver:42 Ошибка: нет связи с хранилищем"),
              std::string::npos)
        << driverRecord;

    logging::detail::LogMessage(KELVO_SOURCE_ROOT "ConnectionsStorage.cpp", 7, logging::kInfo)
            .stream()
        << L"removed";
    EXPECT_NE(lastLine().find(" [1] ConnectionsStorage:7 removed"), std::string::npos)
        << lastLine();

    EXPECT_EQ(logging::SourceName(KELVO_SOURCE_ROOT "SingleApplication/singleapplication.cpp"),
              "SingleApplication\\singleapplication");
    EXPECT_EQ(logging::SourceName("/elsewhere/lib/other.cc"), "other");
    EXPECT_EQ(logging::SourceName("Driver/FSDriver.cpp"), "Driver\\FSDriver");
    EXPECT_EQ(logging::SourceName("../../Driver/FSDriver.cpp"), "Driver\\FSDriver");
}

TEST_F(LogFile, QtMessagesLandInTheLogWithTheirSeverity) {
    initialize();
    logging::InstallQtMessageHandler();
    qDebug("SingleApplication: debug text");
    EXPECT_NE(lastLine().find(" [1] "), std::string::npos) << lastLine();
    EXPECT_NE(lastLine().find(" SingleApplication: debug text"), std::string::npos);
    qWarning("SingleApplication: warning text %d", 5);
    EXPECT_NE(lastLine().find(" [2] "), std::string::npos) << lastLine();
    EXPECT_NE(lastLine().find(" SingleApplication: warning text 5"), std::string::npos);
    qCritical("SingleApplication: critical text");
    EXPECT_NE(lastLine().find(" [4] "), std::string::npos) << lastLine();
    EXPECT_NE(lastLine().find(" SingleApplication: critical text"), std::string::npos);
    qInstallMessageHandler(nullptr);
}

TEST_F(LogFile, OtherLibrariesWriteUtf8RecordsUnderTheirOwnName) {
    initialize();
    logging::WriteRecord("fuse", logging::kWarning, "fuse: устройство занято");
    EXPECT_NE(lastLine().find(" [2] fuse fuse: устройство занято"), std::string::npos)
        << lastLine();
}

TEST_F(LogFile, EnvironmentChoosesTheFolderWhenSettingsLeaveItOpen) {
    const std::filesystem::path fromEnvironment = m_folder / "from-environment";
    kelvo_test::ScopedEnvironment environment("KELVO_LOG_DIR", fromEnvironment.string());
    logging::Settings settings;
    settings.toStandardError = false;
    logging::Initialize(settings);
    EXPECT_EQ(logging::LogDirectory(), fromEnvironment);
    KELVO_LOG(logging::kInfo) << L"here";
    logging::Flush();
    EXPECT_TRUE(std::filesystem::exists(fromEnvironment / "KelvoDrive.log"));
}

TEST_F(LogFile, UnusableFolderFallsBackToStandardError) {
    const std::filesystem::path blocker = m_folder / "a-file";
    std::ofstream(blocker) << "not a folder";
    logging::Settings settings;
    settings.directory = blocker / "logs";
    settings.toStandardError = false;
    testing::internal::CaptureStderr();
    logging::Initialize(settings);
    KELVO_LOG(logging::kError) << L"still written";
    logging::Flush();
    const std::string standardError = testing::internal::GetCapturedStderr();
    EXPECT_NE(standardError.find("cannot open the log file"), std::string::npos) << standardError;
    EXPECT_NE(standardError.find("still written"), std::string::npos) << standardError;
}

}  // namespace
