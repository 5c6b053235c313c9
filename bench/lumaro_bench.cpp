// What an apply and a restore cost, against the cost of the durable writes themselves.
//
//   lumaro_bench [--dir FOLDER] [--sizes 10,100,300,1000] [--plain] [--metadata] [--json]
//
// For each size N, in a child process of its own (so peak memory is the run's own): creates N
// items in a scratch folder under FOLDER (plain files, files carrying attributes and a resource
// fork, folders, folders with an "Icon\r", ".app" folders), runs a batch apply and a batch
// restore, and measures wall and CPU time, the bytes written to "backup.json", the fsync calls
// and peak resident memory. The floor replays, in the same run, the same sequence of durable
// atomic replacements of a file of the same sizes, and as many flushes of a just-changed
// attribute as the run flushed items: what the durable writes the design requires cost with
// nothing else done. The saves-only floor is reported beside it. --plain makes every item a plain file
// without attributes. --metadata runs each size twice, without and then with the session's desktop
// metadata store (run it through scripts/with-private-session.sh, never on a person's own session).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "batch/icon_batch_engine.h"
#include "platform/desktop_metadata.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/resource_fork.h"
#include "resources/resources.h"

namespace {

using lumaro::platform::FileSystem;

// Counts what the durable writes of "backup.json" cost and remembers each save's size.
class CountingFileSystem final : public lumaro::platform::ForwardingFileSystem {
  public:
    using ForwardingFileSystem::ForwardingFileSystem;
    std::uint64_t fsyncs = 0;
    std::uint64_t manifestBytes = 0;
    std::uint64_t itemFlushes = 0;  // of items and their "Icon\r" files, under `items`
    std::vector<std::size_t> manifestSaves;
    std::string items;

    int open(const std::string& path, int flags, unsigned mode, int& fd) override {
        const int err = ForwardingFileSystem::open(path, flags, mode, fd);
        if (err == 0) {
            manifestTemp_[fd] = lumaro::platform::lastPathComponent(path).starts_with(".backup.json.");
            item_[fd] = !items.empty() && path.starts_with(items + "/");
        }
        return err;
    }
    int openAt(int folder, const std::string& name, int flags, unsigned mode, int& fd) override {
        const int err = ForwardingFileSystem::openAt(folder, name, flags, mode, fd);
        if (err == 0) {
            item_[fd] = item_[folder];
        }
        return err;
    }
    int write(int fd, const void* data, std::size_t size, std::size_t& written) override {
        const int err = ForwardingFileSystem::write(fd, data, size, written);
        if (err == 0 && manifestTemp_[fd]) {
            manifestBytes += written;
            pending_[fd] += written;
        }
        return err;
    }
    int fsync(int fd) override {
        ++fsyncs;
        itemFlushes += item_[fd] ? 1u : 0u;
        return ForwardingFileSystem::fsync(fd);
    }
    int close(int fd) override {
        if (manifestTemp_[fd]) {
            manifestSaves.push_back(pending_[fd]);
        }
        manifestTemp_.erase(fd);
        item_.erase(fd);
        pending_.erase(fd);
        return ForwardingFileSystem::close(fd);
    }

  private:
    std::map<int, bool> manifestTemp_;
    std::map<int, bool> item_;
    std::map<int, std::size_t> pending_;
};

struct Cost {
    double wall = 0;
    double user = 0;
    double system = 0;
};

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

template <typename F>
Cost measure(F&& run) {
    rusage before{};
    rusage after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    run();
    const auto end = std::chrono::steady_clock::now();
    ::getrusage(RUSAGE_SELF, &after);
    return {std::chrono::duration<double>(end - start).count(),
            seconds(after.ru_utime) - seconds(before.ru_utime),
            seconds(after.ru_stime) - seconds(before.ru_stime)};
}

void writeFile(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

bool gPlainOnly = false;

void makeItems(const std::string& root, int count) {
    ::mkdir(root.c_str(), 0755);
    lumaro::platform::Resource note;
    note.type = {'T', 'E', 'X', 'T'};
    note.id = 128;
    note.data = lumaro::platform::Bytes(200, 'n');
    const auto fork = *lumaro::platform::buildResourceFork({note});
    std::vector<std::uint8_t> finder(32, 0);
    finder[9] = 0x0C;
    for (int i = 0; i < count; ++i) {
        char name[64];
        const std::string path = root + "/";
        switch (gPlainOnly ? 0 : i % 5) {
            case 0:
                std::snprintf(name, sizeof name, "file %04d.txt", i);
                writeFile(path + name, "plain");
                break;
            case 1:
                std::snprintf(name, sizeof name, "tagged %04d.doc", i);
                writeFile(path + name, "tagged");
                ::setxattr((path + name).c_str(), "user.com.apple.FinderInfo", finder.data(), finder.size(),
                           0);
                ::setxattr((path + name).c_str(), "user.com.apple.ResourceFork", fork.data(), fork.size(), 0);
                break;
            case 2:
                std::snprintf(name, sizeof name, "folder %04d", i);
                ::mkdir((path + name).c_str(), 0755);
                break;
            case 3:
                std::snprintf(name, sizeof name, "iconic %04d", i);
                ::mkdir((path + name).c_str(), 0755);
                writeFile(path + name + "/Icon\r", "icon");
                break;
            default:
                std::snprintf(name, sizeof name, "Tool %04d.app", i);
                ::mkdir((path + name).c_str(), 0755);
                break;
        }
    }
}

// Replays the saves: the same durable steps as a manifest save, with bytes of the same sizes.
Cost floorOf(const std::string& directory, const std::vector<std::size_t>& sizes, std::uint64_t flushes) {
    FileSystem& fs = FileSystem::real();
    const std::string path = directory + "/floor.json";
    const std::string item = directory + "/floor-item";
    std::string data;
    lumaro::platform::Descriptor itemFd;
    lumaro::platform::openDescriptor(fs, item, O_RDWR | O_CREAT | O_NOFOLLOW, 0600, itemFd);
    return measure([&] {
        for (std::uint64_t i = 0; i < flushes; ++i) {
            const std::uint64_t value = i;
            fs.fsetAttribute(itemFd.get(), "floor", &value, sizeof value);
            fs.fsync(itemFd.get());
        }
        for (const std::size_t size : sizes) {
            data.assign(size, 'x');
            lumaro::platform::writeFileAtomically(fs, path, data.data(), data.size(), 0600);
            lumaro::platform::Descriptor fd;
            lumaro::platform::openDescriptor(fs, path, O_RDONLY | O_NOFOLLOW, 0, fd);
            fs.fsync(fd.get());
            lumaro::platform::syncDirectory(fs, directory);
        }
    });
}

class NoApplications final : public lumaro::platform::Workspace {
  public:
    std::vector<lumaro::platform::RunningApplication> runningApplications() override { return {}; }
    lumaro::platform::DesktopMetadata& desktopMetadata() override {
        return store ? *store : Workspace::desktopMetadata();
    }
    std::unique_ptr<lumaro::platform::DesktopMetadata> store;  // none: the form is unavailable
};

nlohmann::json runSize(const std::string& base, int count, bool withMetadata) {
    const std::string scratch = base + "/lumaro-bench-" + std::to_string(::getpid());
    ::mkdir(scratch.c_str(), 0700);
    const std::string root = scratch + "/Desktop";
    const std::string state = scratch + "/state";
    makeItems(root, count);
    CountingFileSystem fs(FileSystem::real());
    NoApplications workspace;
    if (withMetadata) {
        workspace.store = lumaro::platform::makeGioDesktopMetadata();
    }
    nlohmann::json result;
    result["metadata"] = withMetadata && workspace.store->available(scratch) == 0;
    {
        const lumaro::IconBatchEngine engine(fs, workspace, state, lumaro::loadFurball(),
                                             std::vector<std::string>{scratch + "/Applications"}, false);
        for (const char* phase : {"apply", "restore"}) {
            fs.fsyncs = 0;
            fs.manifestBytes = 0;
            fs.manifestSaves.clear();
            fs.itemFlushes = 0;
            fs.items = root;
            lumaro::OperationReport report;
            const bool apply = std::strcmp(phase, "apply") == 0;
            const Cost cost = measure([&] { report = apply ? engine.apply(root, true) : engine.restore(); });
            const Cost floor = floorOf(scratch, fs.manifestSaves, fs.itemFlushes);
            const Cost savesFloor = floorOf(scratch, fs.manifestSaves, 0);
            result[phase] = {{"wall", cost.wall},
                             {"user", cost.user},
                             {"system", cost.system},
                             {"succeeded", report.succeeded},
                             {"errors", report.errors.size()},
                             {"manifestBytes", fs.manifestBytes},
                             {"saves", fs.manifestSaves.size()},
                             {"fsyncs", fs.fsyncs},
                             {"itemFlushes", fs.itemFlushes},
                             {"floor", floor.wall},
                             {"ratio", floor.wall > 0 ? cost.wall / floor.wall : 0.0},
                             {"savesFloor", savesFloor.wall},
                             {"savesRatio", savesFloor.wall > 0 ? cost.wall / savesFloor.wall : 0.0},
                             {"largestManifest",
                              fs.manifestSaves.empty()
                                  ? 0
                                  : *std::max_element(fs.manifestSaves.begin(), fs.manifestSaves.end())}};
        }
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    result["n"] = count;
    result["peakRssKiB"] = usage.ru_maxrss;
    const std::string cleanup = "rm -rf '" + scratch + "'";
    [[maybe_unused]] const int status = std::system(cleanup.c_str());
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    std::string directory = "/tmp";
    std::vector<int> sizes = {10, 100, 300, 1000};
    bool json = false;
    bool metadata = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc) {
            directory = argv[++i];
        } else if (arg == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) {
                sizes.push_back(std::stoi(item));
            }
        } else if (arg == "--plain") {
            gPlainOnly = true;
        } else if (arg == "--metadata") {
            metadata = true;
        } else if (arg == "--json") {
            json = true;
        } else {
            std::fprintf(stderr, "usage: lumaro_bench [--dir FOLDER] [--sizes 10,100,300,1000] [--plain] "
                                 "[--metadata] [--json]\n");
            return 64;
        }
    }
    QCoreApplication application(argc, argv);
    if (!json) {
        std::printf("%6s %-4s %-8s %9s %8s %8s %9s %7s %9s %7s %10s %8s %6s %7s %9s\n", "N", "meta", "phase",
                    "wall s", "user s", "sys s", "floor s", "ratio", "saves s", "ratio", "json MiB", "fsyncs", "saves",
                    "flushes", "peak MiB");
    }
    std::vector<bool> modes = {false};
    if (metadata) {
        modes.push_back(true);
    }
    for (const int count : sizes) {
        for (const bool withMetadata : modes) {
            int pipe[2];
            if (::pipe(pipe) != 0) {
                return 1;
            }
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(pipe[0]);
                const std::string text = runSize(directory, count, withMetadata).dump();
                [[maybe_unused]] const ssize_t written = ::write(pipe[1], text.data(), text.size());
                ::_exit(0);
            }
            ::close(pipe[1]);
            std::string text;
            char buffer[4096];
            for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
                text.append(buffer, static_cast<std::size_t>(n));
            }
            ::close(pipe[0]);
            ::waitpid(child, nullptr, 0);
            const auto result = nlohmann::json::parse(text);
            if (withMetadata && !result["metadata"].get<bool>()) {
                std::fprintf(stderr, "the desktop metadata store is not available here: run through "
                                     "scripts/with-private-session.sh\n");
                return 1;
            }
            if (json) {
                std::printf("%s\n", result.dump().c_str());
                continue;
            }
            for (const char* phase : {"apply", "restore"}) {
                const auto& r = result[phase];
                std::printf("%6d %-4s %-8s %9.3f %8.3f %8.3f %9.3f %7.2f %9.3f %7.2f %10.2f %8llu %6llu %7llu %9.1f\n",
                            count, withMetadata ? "yes" : "no", phase, r["wall"].get<double>(),
                            r["user"].get<double>(), r["system"].get<double>(), r["floor"].get<double>(),
                            r["ratio"].get<double>(), r["savesFloor"].get<double>(), r["savesRatio"].get<double>(),
                            static_cast<double>(r["manifestBytes"].get<std::uint64_t>()) / 1048576.0,
                            static_cast<unsigned long long>(r["fsyncs"].get<std::uint64_t>()),
                            static_cast<unsigned long long>(r["saves"].get<std::uint64_t>()),
                            static_cast<unsigned long long>(r["itemFlushes"].get<std::uint64_t>()),
                            static_cast<double>(result["peakRssKiB"].get<long>()) / 1024.0);
            }
            std::fflush(stdout);
        }
    }
    return 0;
}
