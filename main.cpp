#include "ConnectionsStorage.h"

#include <singleapplication.h>

int main(int argc, char* argv[]) {
    SingleApplication app(argc, argv, true, SingleApplication::NotifyOnSecondary, 1000);
    return 0;
}
