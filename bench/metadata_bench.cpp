// What the desktop metadata store costs per item: N writes one after the other (write()), N writes
// kept in flight together (writeAll()), N reads one after the other (read()) and together
// (readAll()), and the store files each flush syncs, beside the files a flush of the whole store
// folder would sync.
//
//   scripts/with-private-session.sh metadata_bench [--dir FOLDER] [--count N] [--rounds R] [--json]
//
// FOLDER (default: $HOME) holds the scratch items; the store keeps paths under home in a tree of
// their own, and paths elsewhere cost more round trips. Run only on a private session bus.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/desktop_metadata.h"

namespace {

using Clock = std::chrono::steady_clock;
using lumaro::platform::IconMetadata;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// What a flush of the whole folder syncs: each regular file in it, and the folder.
int wholeFolderSyncs(const std::string& folder) {
    int count = 1;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            struct stat st {};
            const std::string path = folder + "/" + entry->d_name;
            count += ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
        }
        ::closedir(dir);
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const char* home = std::getenv("HOME");
    std::string base = home != nullptr ? home : "/tmp";
    int count = 1000, rounds = 3;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc) {
            base = argv[++i];
        } else if (arg == "--count" && i + 1 < argc) {
            count = std::atoi(argv[++i]);
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (arg == "--json") {
            json = true;
        } else {
            std::fprintf(stderr, "usage: metadata_bench [--dir FOLDER] [--count N] [--rounds R] [--json]\n");
            return 2;
        }
    }
    if (std::getenv("LUMARO_PRIVATE_SESSION") == nullptr) {
        std::fprintf(stderr, "run through scripts/with-private-session.sh\n");
        return 2;
    }
    std::string folder = base + "/metadata-bench-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        paths.push_back(folder + "/item " + std::to_string(i));
        if (FILE* f = std::fopen(paths.back().c_str(), "w")) {
            std::fclose(f);
        }
    }
    int synced = 0;
    const auto store = lumaro::platform::makeGioDesktopMetadata(std::chrono::seconds(5),
                                                                [&](const std::string&) { ++synced; });
    if (store->available(folder) != 0) {
        std::fprintf(stderr, "the desktop metadata store is not available here\n");
        return 1;
    }
    const std::string storeFolder =
        std::string(std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "") + "/gvfs-metadata";
    nlohmann::json result = {{"dir", base}, {"count", count}, {"runs", nlohmann::json::array()}};
    for (int round = 0; round < rounds; ++round) {
        // Two different values per round, so that every call changes both keys' journal.
        const IconMetadata one{"file:///bench/one-" + std::to_string(round) + ".png", std::nullopt};
        const IconMetadata two{"file:///bench/two-" + std::to_string(round) + ".png", "name"};
        auto start = Clock::now();
        int failures = 0;
        for (const std::string& path : paths) {
            failures += store->write(path, one) != 0;
        }
        const double sequential = msSince(start);
        synced = 0;
        start = Clock::now();
        failures += store->flush() != 0;
        const double flushSequential = msSince(start);
        const int syncedSequential = synced;

        std::vector<std::pair<std::string, IconMetadata>> items;
        for (const std::string& path : paths) {
            items.emplace_back(path, two);
        }
        start = Clock::now();
        for (const int r : store->writeAll(items)) {
            failures += r != 0;
        }
        const double pipelined = msSince(start);
        synced = 0;
        start = Clock::now();
        failures += store->flush() != 0;
        const double flushPipelined = msSince(start);
        IconMetadata value;
        start = Clock::now();
        for (const std::string& path : paths) {
            failures += store->read(path, value) != 0;
        }
        const double reads = msSince(start);
        start = Clock::now();
        for (const auto& [error, keys] : store->readAll(paths)) {
            failures += error != 0 || keys != two;
        }
        const double readsTogether = msSince(start);
        nlohmann::json run = {{"writeMsPerItem", sequential / count},
                              {"writeAllMsPerItem", pipelined / count},
                              {"readMsPerItem", reads / count},
                              {"readAllMsPerItem", readsTogether / count},
                              {"flushMsAfterWrite", flushSequential},
                              {"flushMsAfterWriteAll", flushPipelined},
                              {"filesSyncedPerFlush", syncedSequential},
                              {"filesSyncedPerFlushAfterWriteAll", synced},
                              {"wholeFolderSyncsPerFlush", wholeFolderSyncs(storeFolder)},
                              {"failures", failures}};
        result["runs"].push_back(run);
        if (!json) {
            std::printf(
                "N=%d round %d: write %.3f ms/item, writeAll %.3f ms/item, read %.3f ms/item, readAll %.3f "
                "ms/item; flush %.1f / %.1f ms, files synced %d / %d (+ the folder), whole-folder flush "
                "would sync %d; failures %d\n",
                count, round, sequential / count, pipelined / count, reads / count, readsTogether / count,
                flushSequential, flushPipelined, syncedSequential, synced,
                run["wholeFolderSyncsPerFlush"].get<int>(), failures);
        }
    }
    if (json) {
        std::printf("%s\n", result.dump().c_str());
    }
    const std::string cleanup = "rm -rf '" + folder + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
