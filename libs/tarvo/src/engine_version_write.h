#pragma once

#include "engine.h"
#include "link_identity.h"

#include <optional>
#include <string>
#include <utility>

namespace tarvo::detail {

// What both engines' version writers hold: the pooled connection they write through, who writes,
// the document (or, for a new one, its parent and description) and the version's comment.
template <class Lease>
class EngineVersionWrite : public VersionWrite {
public:
    struct NewDocument {
        ItemId parent{};
        FileCreateInfo info;
    };

    EngineVersionWrite(Lease lease, const LinkIdentity& identity, ItemId document,
                       std::optional<NewDocument> creation, std::wstring comment)
        : m_lease(std::move(lease)),
          m_identity(identity),
          m_document(document),
          m_creation(std::move(creation)),
          m_comment(std::move(comment)) {}

protected:
    Lease m_lease;  // declared first: every transaction of the writer ends before it goes back
    const LinkIdentity& m_identity;
    const ItemId m_document;
    const std::optional<NewDocument> m_creation;
    const std::wstring m_comment;
    bool m_checked = false;  // the document was checked before the first content went in
    bool m_finished = false;
};

}  // namespace tarvo::detail
