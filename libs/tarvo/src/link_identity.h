#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <string>

namespace tarvo::detail {

// Who a repository link is: recorded with every edit lock it takes, so that another link can
// tell the user who holds a document and can recognise a lock whose owner has died.
struct LinkIdentity {
    ItemId linkId{};
    std::wstring userName;
    std::string host;
    std::int64_t processId = 0;
    // Start time of the process in clock ticks since boot (0 when unknown): a reused process id
    // then does not keep a dead owner's lock alive.
    std::int64_t processStart = 0;

    // A fresh identity for a new link of this process.
    static LinkIdentity ForNewLink();

    // "user on host (process N)", what the lock holder text says.
    std::wstring HolderText() const;
};

// The user part of a text that HolderText made (it is what versions record as their author);
// empty when the text is not of that form.
std::wstring UserOfHolderText(const std::wstring& holderText);

// True only when the owner can be proven gone: it ran on this host and its process has ended
// (or its id now belongs to a younger process). Owners on other hosts are presumed alive.
bool IsOwnerGone(const std::string& host, std::int64_t processId, std::int64_t processStart);

}  // namespace tarvo::detail
