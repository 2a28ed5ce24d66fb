// Loads a connections file of many records the way the program's start does (both files read,
// every connection registered; none has a drive letter, so nothing is mounted), then saves once
// after a change, and prints the times. The start-up target is under 3 s for 10,000 connections.
//
//   bench_startup [connections, default 10000] [rounds, default 3]
//
// The best round is reported. Nothing is asserted.
#include <ConnectionsStorage.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void WriteFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
}

// Distinct servers, so no record is refused as a duplicate.
QByteArray ConnectionsFile(int count) {
    QByteArray text =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<config>\r\n"
        "\t<connections_manager>\r\n\t\t<connections>\r\n";
    for (int index = 0; index < count; ++index) {
        text += "\t\t\t<connection>\r\n\t\t\t\t<id>" +
                QByteArray::fromStdString(boost::uuids::to_string(tarvo::GenerateUuid())) +
                "</id>\r\n\t\t\t\t<name>Архив " + QByteArray::number(index) +
                "</name>\r\n\t\t\t\t<endpoint>\r\n\t\t\t\t\t<kind>remote</kind>\r\n"
                "\t\t\t\t\t<host>db" +
                QByteArray::number(index % 50) +
                ".example</host>\r\n\t\t\t\t\t<port>5432</port>\r\n\t\t\t\t\t<database>docs" +
                QByteArray::number(index) +
                "</database>\r\n\t\t\t\t\t<ssl_mode>prefer</ssl_mode>\r\n"
                "\t\t\t\t</endpoint>\r\n\t\t\t\t<credentials>\r\n\t\t\t\t\t<kind>current</kind>\r\n"
                "\t\t\t\t</credentials>\r\n\t\t\t</connection>\r\n";
    }
    return text + "\t\t</connections>\r\n\t</connections_manager>\r\n</config>\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    // No keyring is involved; a session bus that is not there keeps any probe short.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelvo-bench-bus", 1);
    QCoreApplication application(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

    QTemporaryDir folder;
    ::setenv("KELVO_DRIVES_DIR", qPrintable(folder.filePath(QStringLiteral("drives"))), 1);
    const ConnectionsStorage::Paths paths{
        folder.filePath(QStringLiteral("KelvoIII_2013/ConnectionsConfig.xml")),
        folder.filePath(QStringLiteral("KelvoDrive/mount_points.xml"))};
    WriteFile(paths.connectionsConfigPath, ConnectionsFile(count));
    // The file exists and gives no connection a letter: nothing is mounted.
    WriteFile(paths.mountPointsPath, "<config><mount_points/></config>");

    double bestLoad = 1e9;
    double bestSave = 1e9;
    std::size_t loaded = 0;
    for (int round = 0; round < rounds; ++round) {
        const auto loadStart = Clock::now();
        ConnectionsStorage storage(paths, tarvo::CreateCore());
        bestLoad = std::min(bestLoad, Seconds(loadStart));
        loaded = storage.connections().size();

        // One user action: a display name for the first connection, saved to both files.
        const auto saveStart = Clock::now();
        storage.updateConnection(storage.connections().front()->connection,
                                 {QString(), QStringLiteral("Отчёты")});
        bestSave = std::min(bestSave, Seconds(saveStart));
    }

    char loadLabel[64];
    std::snprintf(loadLabel, sizeof(loadLabel), "start-up, %zu of %d connections loaded", loaded,
                  count);
    std::printf("| %-44s | %8s | %8s |\n", "measure", "seconds", "target");
    std::printf("|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(10, '-').c_str(),
                std::string(10, '-').c_str());
    std::printf("| %-44s | %8.3f | %8s |\n", loadLabel, bestLoad, count == 10000 ? "< 3 s" : "");
    std::printf("| %-44s | %8.3f | %8s |\n", "one change saved to both files", bestSave, "");
    return loaded == static_cast<std::size_t>(count) ? 0 : 1;
}
