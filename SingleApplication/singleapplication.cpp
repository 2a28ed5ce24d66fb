#include "singleapplication.h"

SingleApplication::SingleApplication(int& argc, char* argv[], bool, Modes, int)
    : QApplication(argc, argv) {}

qint64 SingleApplication::primaryPid() const { return applicationPid(); }
