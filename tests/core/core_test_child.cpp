// A repository link in a process of its own, for tests that need one to die at a chosen moment.
//
//   core_test_child <endpoint> hold-lock <id>...   takes the edit lock, says "locked", waits
//   core_test_child <endpoint> upload <id>...      starts a large version, says "uploading" when
//                                                  several chunks are written, and goes on
//                                                  writing until it is killed
//
// <endpoint> is "local:<data folder>" or "postgres:<host>:<port>:<database>:<login>" (a login
// the server trusts). The ids form the document's id path.
#include <tarvo/core.h>

#include <boost/uuid/string_generator.hpp>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(separator, start)) != std::string::npos;
         start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

std::shared_ptr<tarvo::IRepository> ConnectTo(const std::string& endpoint) {
    const auto parts = Split(endpoint, ':');
    if (parts.size() == 5 && parts[0] == "postgres") {
        tarvo::endpoint::Remote remote{Wide(parts[1]),
                                       static_cast<std::uint16_t>(std::stoi(parts[2])),
                                       Wide(parts[3]), L"disable"};
        return tarvo::CreateCore()->Connect(remote, tarvo::auth::Basic{Wide(parts[4]), L""});
    }
    const std::string localPrefix = "local:";
    if (endpoint.rfind(localPrefix, 0) != 0) {
        throw std::runtime_error("unknown endpoint " + endpoint);
    }
    ::setenv("KELVO_DATA_DIR", endpoint.substr(localPrefix.size()).c_str(), 1);
    return tarvo::CreateCore()->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
}

void HoldLock(tarvo::IItemStore& store, const tarvo::IdPath& path) {
    std::wstring holder;
    const int state = store.LockForEdit(path, holder);
    std::cout << (state == tarvo::lock_state::kTaken ? "locked" : "refused") << std::endl;
    std::this_thread::sleep_for(std::chrono::minutes(5));
}

void Upload(tarvo::IItemStore& store, const tarvo::IdPath& path) {
    auto version = store.BeginVersion(path, L"never finished");
    auto writer = version->CreateBlob(tarvo::GenerateUuid());
    auto buffer = tarvo::CreateBuffer(writer->GetChunkSize());
    for (int chunk = 0; chunk < 100000; ++chunk) {
        std::memset(buffer->GetData(), 0xEE, buffer->GetSize());
        writer->Write(buffer);
        if (chunk == 8) {
            std::cout << "uploading" << std::endl;
        }
        if (chunk > 8) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::cout << "not killed" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: core_test_child <endpoint> hold-lock|upload <id>...\n";
        return 2;
    }
    try {
        auto repository = ConnectTo(argv[1]);
        auto store = repository->OpenItemStore();
        tarvo::IdPath path;
        for (int index = 3; index < argc; ++index) {
            path.push_back(boost::uuids::string_generator()(argv[index]));
        }
        const std::string mode = argv[2];
        if (mode == "hold-lock") {
            HoldLock(*store, path);
        } else if (mode == "upload") {
            Upload(*store, path);
        } else {
            std::cerr << "unknown mode " << mode << "\n";
            return 2;
        }
    } catch (const std::exception& error) {
        std::cout << "error " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
