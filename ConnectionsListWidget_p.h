#pragma once

#include <tarvo_cm/connection.h>

#include <QString>

#include <vector>

struct ConnectionHandle;

// Why `candidate` may not join `connections`: an entry with the same id, or one with the same
// address; empty when there is no conflict. `skipped` (may be null) is the handle being edited.
// The first conflicting entry decides, and for one entry the id is tested before the address.
QString findDuplicateConnection(const tarvo_cm::Connection& candidate,
                                const std::vector<ConnectionHandle*>& connections,
                                const ConnectionHandle* skipped);
