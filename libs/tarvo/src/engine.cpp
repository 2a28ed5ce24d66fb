#include "engine.h"

namespace tarvo::detail {

BrowserItemInfo ItemRecord::ToBrowserItemInfo() const {
    BrowserItemInfo info;
    info.id = id;
    info.name = name;
    info.creationTime = creationTime;
    info.modificationTime = modificationTime;
    info.size = size;
    info.folder = folder;
    info.visible = visible;
    return info;
}

}  // namespace tarvo::detail
