#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct ExitStatus {
    bool killedBySignal = false;
    int signalNumber = 0;
    int exitCode = -1;
};

// Runs the crash helper in its own process (so every run gets a fresh address-space layout) and
// reports how it ended.
ExitStatus RunHelper(const std::string& mode, const std::filesystem::path& folder) {
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit noCoreFiles{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCoreFiles);
        ::execl(KELVO_CRASH_HELPER, KELVO_CRASH_HELPER, mode.c_str(), folder.c_str(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ExitStatus result;
    if (WIFSIGNALED(status)) {
        result.killedBySignal = true;
        result.signalNumber = WTERMSIG(status);
    } else if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

std::vector<std::filesystem::path> FilesWithExtension(const std::filesystem::path& folder,
                                                      const std::string& extension) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == extension) {
            files.push_back(entry.path());
        }
    }
    return files;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream stream(path);
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

struct CrashCase {
    const char* mode;
    int signalNumber;
    const char* crashingFunction;
};

class CrashReport : public testing::TestWithParam<CrashCase> {};

TEST_P(CrashReport, OneReportNamesTheCrashingFunctionAndTheProcessDiesByTheSignal) {
    const CrashCase& crash = GetParam();
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    const std::filesystem::path folder = temporary.filePath("dumps").toStdString();

    const ExitStatus crashed = RunHelper(crash.mode, folder);
    ASSERT_TRUE(crashed.killedBySignal) << "exit code " << crashed.exitCode;
    EXPECT_EQ(crashed.signalNumber, crash.signalNumber);
    EXPECT_EQ(FilesWithExtension(folder, ".dump").size(), 1u);

    // The next start of the program turns the dump into the readable report.
    const ExitStatus restarted = RunHelper("symbolize", folder);
    ASSERT_FALSE(restarted.killedBySignal) << "signal " << restarted.signalNumber;
    ASSERT_EQ(restarted.exitCode, 0);
    EXPECT_TRUE(FilesWithExtension(folder, ".dump").empty());
    const auto reports = FilesWithExtension(folder, ".txt");
    ASSERT_EQ(reports.size(), 1u);

    const std::string report = ReadFile(reports.front());
    EXPECT_NE(report.find("Signal: " + std::to_string(crash.signalNumber) + " ("),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Version: 9.8.7-crash-test"), std::string::npos) << report;
    EXPECT_NE(report.find("Time: 20"), std::string::npos) << report;
    EXPECT_NE(report.find(crash.crashingFunction), std::string::npos) << report;
    EXPECT_NE(report.find("crash_helper.cpp:"), std::string::npos) << report;

    // A later start finds nothing new to report.
    ASSERT_EQ(RunHelper("symbolize", folder).exitCode, 0);
    EXPECT_EQ(FilesWithExtension(folder, ".txt").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(FatalSignals, CrashReport,
                         testing::Values(CrashCase{"segv", SIGSEGV, "CrashByInvalidMemoryAccess"},
                                         CrashCase{"abort", SIGABRT, "CrashByAbort"},
                                         CrashCase{"fpe", SIGFPE, "CrashByDivisionByZero"},
                                         CrashCase{"ill", SIGILL, "CrashByIllegalInstruction"},
                                         CrashCase{"bus", SIGBUS, "CrashByBusError"},
                                         CrashCase{"overflow", SIGSEGV, "OverflowTheStack"},
                                         CrashCase{"exception", SIGABRT, "ThrowUncaughtError"}),
                         [](const testing::TestParamInfo<CrashCase>& parameter) {
                             return std::string(parameter.param.mode);
                         });

TEST(CrashReportOfUncaughtException, CarriesTheExceptionTypeAndText) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    const std::filesystem::path folder = temporary.path().toStdString();
    ASSERT_TRUE(RunHelper("exception", folder).killedBySignal);
    ASSERT_EQ(RunHelper("symbolize", folder).exitCode, 0);
    const auto reports = FilesWithExtension(folder, ".txt");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(ReadFile(reports.front())
                  .find("Exception: uncaught std::runtime_error: the disk went away"),
              std::string::npos)
        << ReadFile(reports.front());
}

TEST(CrashReportsOfSuccessiveCrashes, EachNamesItsOwnCrashingFunction) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    const std::filesystem::path folder = temporary.path().toStdString();
    // The second run reads the first run's dump (and maps the program's files for that) before it
    // crashes itself; its own dump must still resolve.
    ASSERT_TRUE(RunHelper("abort", folder).killedBySignal);
    ASSERT_TRUE(RunHelper("overflow", folder).killedBySignal);
    ASSERT_EQ(RunHelper("symbolize", folder).exitCode, 0);
    std::string allReports;
    const auto reports = FilesWithExtension(folder, ".txt");
    ASSERT_EQ(reports.size(), 2u);
    for (const auto& report : reports) {
        allReports += ReadFile(report);
    }
    EXPECT_NE(allReports.find("CrashByAbort()"), std::string::npos) << allReports;
    EXPECT_NE(allReports.find("OverflowTheStack(int)"), std::string::npos) << allReports;
    EXPECT_EQ(allReports.find("?? in "), std::string::npos) << allReports;
}

TEST(CrashReportOfDamagedDump, KeepsTheRawContent) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    const std::filesystem::path folder = temporary.path().toStdString();
    std::ofstream(folder / "crash-1-2.dump") << "not a dump at all\n";
    ASSERT_EQ(RunHelper("symbolize", folder).exitCode, 0);
    EXPECT_TRUE(FilesWithExtension(folder, ".dump").empty());
    const auto reports = FilesWithExtension(folder, ".txt");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(ReadFile(reports.front()).find("not a dump at all"), std::string::npos);
}

}  // namespace
