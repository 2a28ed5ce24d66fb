// The behaviour suite of this program runs against the embedded engine.
#include "repository_under_test.h"

#include "test_support.h"

#include <QTemporaryDir>

#include <stdexcept>

namespace kelvo_test {

namespace {

// The embedded engine: a fresh data folder per repository.
class LocalRepositoryUnderTest : public RepositoryUnderTest {
public:
    LocalRepositoryUnderTest()
        : m_environment("KELVO_DATA_DIR", m_folder.path().toStdString()),
          m_core(tarvo::CreateCore()) {
        if (!m_folder.isValid()) {
            throw std::runtime_error("no temporary folder");
        }
    }

    std::shared_ptr<tarvo::IRepository> Connect() override {
        return m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    }

    std::string ChildEndpoint() const override { return "local:" + m_folder.path().toStdString(); }

private:
    QTemporaryDir m_folder;
    ScopedEnvironment m_environment;
    std::shared_ptr<tarvo::ICore> m_core;
};

}  // namespace

std::vector<EngineFactory> EngineFactories() {
    return {
        {"Sqlite", [] { return std::make_unique<LocalRepositoryUnderTest>(); }},
    };
}

}  // namespace kelvo_test
