#include "platform/desktop_metadata.h"

#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "platform/metadata_tree.h"
#include "platform/paths.h"
#include "platform/session_bus.h"
#include "platform/text.h"

namespace lumaro::platform {

namespace {

// Once connected, the session bus activates its single metadata daemon.
int errnoOf(const GError* error) {
    if (error == nullptr) {
        return EIO;
    }
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
            case G_IO_ERROR_NOT_FOUND:
                return ENOENT;
            case G_IO_ERROR_PERMISSION_DENIED:
                return EACCES;
            case G_IO_ERROR_CANCELLED:
            case G_IO_ERROR_TIMED_OUT:
                return ETIMEDOUT;
            case G_IO_ERROR_NOT_SUPPORTED:
                return ENOTSUP;
            case G_IO_ERROR_TOO_MANY_LINKS:
                return ELOOP;
            default:
                return EIO;
        }
    }
    if (error->domain == G_DBUS_ERROR &&
        (error->code == G_DBUS_ERROR_NO_REPLY || error->code == G_DBUS_ERROR_TIMEOUT ||
         error->code == G_DBUS_ERROR_TIMED_OUT)) {
        return ETIMEDOUT;
    }
    return EIO;
}

template <typename T>
using GObjectPtr = std::unique_ptr<T, decltype([](T* p) { g_object_unref(p); })>;
using ErrorPtr = std::unique_ptr<GError, decltype([](GError* e) { g_error_free(e); })>;

// One call handed to the worker. The caller may stop waiting; the job then finishes unseen.
struct Job {
    std::function<int(GCancellable*)> run;
    GCancellable* cancellable = g_cancellable_new();
    int result = 0;
    bool done = false;
    bool abandoned = false;
    std::shared_ptr<const void> owner;  // what `run` uses: alive while the job is
    ~Job() { g_object_unref(cancellable); }
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
};

// The answers of one job of many calls, guarded by the queue's mutex.
template <class Answer>
struct Answers {
    std::vector<Answer> results;
    std::size_t wanted = SIZE_MAX;  // the answer a caller waits for
    bool dropped = false;           // none will be taken any more
};
using Reads = Answers<std::pair<int, IconMetadata>>;

struct Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Job>> jobs;
    bool stopping = false;
    bool busy = false;
    bool stuck = false;  // the worker's current job was given up on
    // Answers given and jobs finished so far: the service's signs of life that every waiting
    // caller goes by, whatever job it waits on.
    std::size_t progress = 0;
    // How often a caller waiting on a job's answers hears of them, and when it last did.
    std::chrono::steady_clock::duration progressEvery{};
    std::chrono::steady_clock::time_point progressNoted{};
};

// On the worker, under the queue's lock: one more of a job's items answered. A caller waiting for
// that one (`awaited`) is woken at once; others now and then, not for each: waking them (and their
// taking the lock back) would cost more than the answer. They give up only when no answer came for
// a whole wait.
void noteAnswered(Queue& queue, bool awaited = false) {
    ++queue.progress;
    const auto now = std::chrono::steady_clock::now();
    if (awaited || now - queue.progressNoted >= queue.progressEvery) {
        queue.progressNoted = now;
        queue.changed.notify_all();
    }
}

// GIO calls run on one thread with a main context of its own (never the window's), so a call
// stuck in the service blocks only that thread; callers wait a bounded time.
void runWorker(const std::shared_ptr<Queue>& queue) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    std::unique_lock lock(queue->mutex);
    while (true) {
        queue->changed.wait(lock, [&] { return queue->stopping || !queue->jobs.empty(); });
        if (queue->jobs.empty()) {
            break;
        }
        std::shared_ptr<Job> job = queue->jobs.front();
        queue->jobs.pop_front();
        if (job->abandoned) {
            continue;
        }
        queue->busy = true;
        queue->stuck = false;  // whatever was given up on has ended
        lock.unlock();
        const int result = job->run(job->cancellable);
        while (g_main_context_iteration(context, FALSE)) {
        }
        lock.lock();
        queue->busy = false;
        ++queue->progress;
        job->result = result;
        job->done = true;
        queue->changed.notify_all();
    }
    lock.unlock();
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

bool isUtf8(const std::string& text) {
    return text.find('\0') == std::string::npos && isValidUtf8(text);
}

int readKey(GFileInfo* info, const char* key, std::optional<std::string>& out) {
    out.reset();
    const GFileAttributeType type = g_file_info_get_attribute_type(info, key);
    if (type == G_FILE_ATTRIBUTE_TYPE_INVALID) {
        return 0;
    }
    if (type != G_FILE_ATTRIBUTE_TYPE_STRING) {
        return EINVAL;
    }
    const char* value = g_file_info_get_attribute_string(info, key);
    if (value == nullptr) {
        return 0;
    }
    const std::size_t size = std::strlen(value);
    if (size > kMaxValueSize) {
        return EFBIG;
    }
    out.emplace(value, size);
    return 0;
}

// Syncs every regular file of the store's folder and the folder itself: when the trees written
// to are not known. Opened without following links or blocking on a FIFO; a missing folder holds
// nothing to sync.
int syncStoreFiles(const std::function<void(const std::string&)>& synced) {
    const std::string folder = metadata_tree::treeFileNamed("");
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        return errno == ENOENT ? 0 : errno;
    }
    const int listFd = ::dup(dirFd);
    DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (dir == nullptr) {
        const int error = errno;
        if (listFd >= 0) {
            ::close(listFd);
        }
        ::close(dirFd);
        return error;
    }
    int result = 0;
    constexpr int kMaxEntries = 65536;
    int seen = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (++seen > kMaxEntries) {
            result = result != 0 ? result : E2BIG;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            // A link, or a file the daemon just replaced: neither holds values to sync.
            if (errno != ELOOP && errno != ENOENT && result == 0) {
                result = errno;
            }
            continue;
        }
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            if (::fsync(fd) != 0 && result == 0) {
                result = errno;
            }
            synced(appendPathComponent(folder, name));
        }
        ::close(fd);
    }
    ::closedir(dir);
    if (::fsync(dirFd) != 0 && result == 0) {
        result = errno;
    }
    ::close(dirFd);
    return result;
}

int syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? 0 : errno;
    }
    const int result = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return result;
}

int readKeys(const std::string& path, IconMetadata& out, GCancellable* cancellable) {
    GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
    GError* raw = nullptr;
    const std::string keys = std::string(kCustomIconKey) + "," + kCustomIconNameKey;
    GObjectPtr<GFileInfo> info(
        g_file_query_info(file.get(), keys.c_str(), G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, cancellable, &raw));
    ErrorPtr error(raw);
    if (!info) {
        return errnoOf(error.get());
    }
    if (const int e = readKey(info.get(), kCustomIconKey, out.customIcon); e != 0) {
        return e;
    }
    return readKey(info.get(), kCustomIconNameKey, out.customIconName);
}

// The keys as GIO sets them: an invalid type is how a metadata key is removed.
GObjectPtr<GFileInfo> keysInfo(const IconMetadata& value) {
    GObjectPtr<GFileInfo> info(g_file_info_new());
    const std::pair<const char*, const std::optional<std::string>*> keys[] = {
        {kCustomIconKey, &value.customIcon}, {kCustomIconNameKey, &value.customIconName}};
    for (const auto& [key, text] : keys) {
        if (*text) {
            g_file_info_set_attribute_string(info.get(), key, (*text)->c_str());
        } else {
            g_file_info_set_attribute(info.get(), key, G_FILE_ATTRIBUTE_TYPE_INVALID, nullptr);
        }
    }
    return info;
}

int writeKeys(const std::string& path, const IconMetadata& value, GCancellable* cancellable) {
    GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
    GError* raw = nullptr;
    const gboolean ok = g_file_set_attributes_from_info(
        file.get(), keysInfo(value).get(), G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, cancellable, &raw);
    ErrorPtr error(raw);
    return ok ? 0 : errnoOf(error.get());
}

// The emblem list: a string list, bounded in count and in total size like one value.
int readEmblemList(const std::string& path, std::vector<std::string>& out, GCancellable* cancellable) {
    out.clear();
    GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
    GError* raw = nullptr;
    GObjectPtr<GFileInfo> info(
        g_file_query_info(file.get(), kEmblemsKey, G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, cancellable, &raw));
    ErrorPtr error(raw);
    if (!info) {
        return errnoOf(error.get());
    }
    const GFileAttributeType type = g_file_info_get_attribute_type(info.get(), kEmblemsKey);
    if (type == G_FILE_ATTRIBUTE_TYPE_INVALID) {
        return 0;
    }
    if (type != G_FILE_ATTRIBUTE_TYPE_STRINGV) {
        return EINVAL;
    }
    std::size_t total = 0;
    char** names = g_file_info_get_attribute_stringv(info.get(), kEmblemsKey);
    for (char** name = names; name != nullptr && *name != nullptr; ++name) {
        total += std::strlen(*name) + 1;
        if (total > kMaxValueSize) {
            out.clear();
            return EFBIG;
        }
        out.emplace_back(*name);
    }
    return 0;
}

int writeEmblemList(const std::string& path, const std::vector<std::string>& names,
                    GCancellable* cancellable) {
    GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
    GObjectPtr<GFileInfo> info(g_file_info_new());
    if (names.empty()) {
        g_file_info_set_attribute(info.get(), kEmblemsKey, G_FILE_ATTRIBUTE_TYPE_INVALID, nullptr);
    } else {
        std::vector<char*> list;
        for (const std::string& name : names) {
            list.push_back(const_cast<char*>(name.c_str()));
        }
        list.push_back(nullptr);
        g_file_info_set_attribute_stringv(info.get(), kEmblemsKey, list.data());
    }
    GError* raw = nullptr;
    const gboolean ok = g_file_set_attributes_from_info(
        file.get(), info.get(), G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, cancellable, &raw);
    ErrorPtr error(raw);
    return ok ? 0 : errnoOf(error.get());
}

int validateKeys(const IconMetadata& value) {
    for (const auto& key : {value.customIcon, value.customIconName}) {
        if (key && key->size() > kMaxValueSize) {
            return EFBIG;
        }
        if (key && (!isUtf8(*key) || key->find('\0') != std::string::npos)) {
            return EINVAL;
        }
    }
    return 0;
}

constexpr const char* kServiceName = "org.gtk.vfs.Metadata";
constexpr const char* kServicePath = "/org/gtk/vfs/metadata";
constexpr int kPending = -1;

// A startWrites in progress; its results (kPending until answered) as Answers says.
struct Batch : Answers<int>, std::enable_shared_from_this<Batch> {
    std::shared_ptr<Queue> queue;
    std::vector<std::pair<std::string, IconMetadata>> items;
    std::size_t inFlight = 0;  // the worker's own
};

struct BatchCall {
    std::shared_ptr<Batch> batch;
    std::size_t index;
};

// On the worker: the item's result, for the caller.
void settleBatchItem(Batch& batch, std::size_t index, int result) {
    const std::lock_guard lock(batch.queue->mutex);
    batch.results[index] = result;
    noteAnswered(*batch.queue, index == batch.wanted);
}

void answerBatchItem(const BatchCall& call, int result) {
    --call.batch->inFlight;
    settleBatchItem(*call.batch, call.index, result);
}

void batchItemDone(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<BatchCall> call(static_cast<BatchCall*>(data));
    GError* raw = nullptr;
    GFileInfo* info = nullptr;
    const gboolean ok = g_file_set_attributes_finish(G_FILE(source), result, &info, &raw);
    ErrorPtr error(raw);
    if (info != nullptr) {
        g_object_unref(info);
    }
    answerBatchItem(*call, ok ? 0 : errnoOf(error.get()));
}

// The service's answer to a Set sent directly: an empty reply, or an error as GIO's client gets it.
void batchSetDone(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<BatchCall> call(static_cast<BatchCall*>(data));
    GError* raw = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &raw);
    ErrorPtr error(raw);
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
    answerBatchItem(*call, reply != nullptr ? 0 : errnoOf(error.get()));
}

// What GIO's client gives for a failed lstat of the item.
int errnoOfSystemError(int error) {
    const ErrorPtr gioError(g_error_new_literal(G_IO_ERROR, g_io_error_from_errno(error), ""));
    return errnoOf(gioError.get());
}

// The store itself. Every job handed to the worker holds it (Job::owner): one the service leaves
// running past the owner's going keeps it alive, and it goes with the last of them.
class GioStore final : public DesktopMetadata, public std::enable_shared_from_this<GioStore> {
  public:
    GioStore(std::chrono::milliseconds wait, std::function<void(const std::string&)> synced)
        : wait_(wait),
          synced_(synced ? std::move(synced) : [](const std::string&) {}),
          locator_([this](dev_t device, std::string& name) { return treeForDevice(device, name); }),
          queue_([wait] {
              auto queue = std::make_shared<Queue>();
              queue->progressEvery = wait / 4;
              return queue;
          }()),
          worker_([queue = queue_] { runWorker(queue); }) {}

    // The owner's going: jobs not started are dropped; a worker stuck in the service is left
    // behind after the wait, and must not hold up the program's exit.
    void stop() {
        std::unique_lock lock(queue_->mutex);
        queue_->stopping = true;
        for (const auto& job : queue_->jobs) {
            job->abandoned = true;
        }
        queue_->changed.notify_all();
        const bool idle = queue_->changed.wait_for(lock, wait_, [&] { return !queue_->busy; });
        lock.unlock();
        if (idle) {
            worker_.join();
        } else {
            worker_.detach();
        }
    }

    int available(const std::string& path) override {
        return call([this, path](GCancellable*) { return checkAvailable(path); });
    }

    int read(const std::string& path, IconMetadata& out) override {
        auto result = std::make_shared<IconMetadata>();
        const int status = call([this, path, result](GCancellable* cancellable) {
            if (const int unavailable = checkAvailable(path); unavailable != 0) {
                return unavailable;
            }
            return readKeys(path, *result, cancellable);
        });
        if (status == 0) {
            out = *result;
        }
        return status;
    }

    int write(const std::string& path, const IconMetadata& value) override {
        if (const int invalid = validateKeys(value); invalid != 0) {
            return invalid;
        }
        return call([this, path, value](GCancellable* cancellable) {
            if (const int unavailable = checkAvailable(path); unavailable != 0) {
                return unavailable;
            }
            noteWrite(path);
            return writeKeys(path, value, cancellable);
        });
    }

    std::unique_ptr<PendingWrites> startWrites(
        const std::vector<std::pair<std::string, IconMetadata>>& items) override {
        auto batch = std::make_shared<Batch>();
        batch->queue = queue_;
        batch->items = items;
        batch->results.resize(items.size());
        std::size_t pending = 0;
        for (std::size_t i = 0; i < items.size(); ++i) {
            batch->results[i] = validateKeys(items[i].second);
            if (batch->results[i] == 0) {
                batch->results[i] = kPending;
                ++pending;
            }
        }
        auto job = std::make_shared<Job>();
        job->run = [this, batch](GCancellable* cancellable) { return runBatch(*batch, cancellable); };
        std::unique_lock lock(queue_->mutex);
        const bool queued = pending > 0 && enqueue(job);
        return std::make_unique<Started<int>>(shared_from_this(), std::move(job), std::move(batch), queued);
    }

    std::unique_ptr<PendingReads> startReads(const std::vector<std::string>& paths) override {
        auto reads = std::make_shared<Reads>();
        reads->results.assign(paths.size(), {kPending, {}});
        auto job = std::make_shared<Job>();
        job->run = [this, paths, reads, queue = queue_](GCancellable* cancellable) {
            // A folder on the way may have become a link, a device number another disk, meanwhile.
            locator_.forgetDevices();
            metadata_tree::TreeSnapshots trees;  // the group's reads answered from one look at each tree
            for (std::size_t i = 0; i < paths.size(); ++i) {
                {
                    const std::lock_guard lock(queue->mutex);
                    if (reads->dropped || queue->stopping || g_cancellable_is_cancelled(cancellable)) {
                        break;
                    }
                }
                IconMetadata value;
                int result = checkAvailable(paths[i]);
                result = result != 0 ? result : readMapped(paths[i], value, trees, cancellable);
                const std::lock_guard lock(queue->mutex);
                reads->results[i] = {result, result == 0 ? std::move(value) : IconMetadata{}};
                noteAnswered(*queue, i == reads->wanted);
            }
            return 0;
        };
        std::unique_lock lock(queue_->mutex);
        const bool queued = !paths.empty() && enqueue(job);
        return std::make_unique<Started<std::pair<int, IconMetadata>>>(shared_from_this(), std::move(job),
                                                                       std::move(reads), queued);
    }

    int clearIfOurs(const std::string& path, const std::string& expectedUri) override {
        return clearByPath(path, kCustomIconKey, [expectedUri](const metadata_tree::KeyValue& value) {
            const bool ours =
                value == metadata_tree::KeyValue{metadata_tree::KeyKind::string, expectedUri, {}};
            return ours ? g_variant_new_byte(0) : nullptr;
        });
    }

    int flush() override {
        return call([this](GCancellable*) {
            if (written_.empty() && !writtenUnknown_) {
                return 0;
            }
            int result = 0;
            if (writtenUnknown_) {
                result = syncStoreFiles(synced_);
            } else {
                std::set<std::string> folders;
                for (const std::string& tree : written_) {
                    if (const int error = metadata_tree::syncTree(tree, synced_); error != 0 && result == 0) {
                        result = error;
                    }
                    folders.insert(deletingLastPathComponent(tree));
                }
                for (const std::string& folder : folders) {
                    if (const int error = syncFolder(folder); error != 0 && result == 0) {
                        result = error;
                    }
                }
            }
            if (result == 0) {
                written_.clear();
                writtenUnknown_ = false;
                locator_.forgetDevices();
            }
            return result;
        });
    }

    int clearEmblem(const std::string& path, const std::string& emblem) override {
        return clearByPath(path, kEmblemsKey, [emblem](const metadata_tree::KeyValue& value) -> GVariant* {
            std::vector<const char*> rest;
            for (const std::string& name : value.items) {
                if (name != emblem) {
                    rest.push_back(name.c_str());
                }
            }
            if (value.kind != metadata_tree::KeyKind::list || rest.size() == value.items.size()) {
                return nullptr;
            }
            rest.push_back(nullptr);
            return rest.size() == 1 ? g_variant_new_byte(0) : g_variant_new_strv(rest.data(), -1);
        });
    }

    int readEmblems(const std::string& path, std::vector<std::string>& out) override {
        auto result = std::make_shared<std::vector<std::string>>();
        const int status = call([this, path, result](GCancellable* cancellable) {
            if (const int unavailable = checkAvailable(path); unavailable != 0) {
                return unavailable;
            }
            return readEmblemList(path, *result, cancellable);
        });
        if (status == 0) {
            out = std::move(*result);
        }
        return status;
    }

    int writeEmblems(const std::string& path, const std::vector<std::string>& names) override {
        std::size_t total = 0;
        for (const std::string& name : names) {
            total += name.size() + 1;
            // An empty name would end the list early.
            if (name.empty() || !isUtf8(name) || name.find('\0') != std::string::npos) {
                return EINVAL;
            }
        }
        if (total > kMaxValueSize) {
            return EFBIG;
        }
        return call([this, path, names](GCancellable* cancellable) {
            if (const int unavailable = checkAvailable(path); unavailable != 0) {
                return unavailable;
            }
            noteWrite(path);
            return writeEmblemList(path, names, cancellable);
        });
    }

  private:
    // On the worker. The default layer, once GIO made it, stays for the process.
    int checkAvailable(const std::string& path) {
        if (!capable_) {
            if (!sessionBusExists()) {
                return ENOTSUP;
            }
            GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
            GError* raw = nullptr;
            GFileAttributeInfoList* list = g_file_query_writable_namespaces(file.get(), nullptr, &raw);
            ErrorPtr error(raw);
            if (list == nullptr) {
                return errnoOf(error.get());
            }
            const bool capable = g_file_attribute_info_list_lookup(list, "metadata") != nullptr;
            g_file_attribute_info_list_unref(list);
            if (!capable) {
                return ENOTSUP;
            }
            capable_ = true;
        }
        return 0;
    }

    // On the worker, after checkAvailable: the session's bus exists and GIO is connected to it.
    GDBusConnection* bus(GError** error) {
        if (!bus_) {
            bus_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error));
        }
        return bus_.get();
    }

    // `timeout` in milliseconds; -1 for the bus's default, as GIO's client calls.
    int serviceCall(const char* method, GVariant* parameters, const GVariantType* replyType, GVariant** reply,
                    int timeout, GCancellable* cancellable) {
        GError* raw = nullptr;
        GDBusConnection* connection = bus(&raw);
        if (connection == nullptr) {
            g_variant_unref(g_variant_ref_sink(parameters));
            ErrorPtr error(raw);
            return errnoOf(error.get());
        }
        GVariant* result = g_dbus_connection_call_sync(connection, kServiceName, kServicePath, kServiceName,
                                                       method, parameters, replyType, G_DBUS_CALL_FLAGS_NONE,
                                                       timeout, cancellable, &raw);
        ErrorPtr error(raw);
        if (result == nullptr) {
            return errnoOf(error.get());
        }
        if (reply != nullptr) {
            *reply = result;
        } else {
            g_variant_unref(result);
        }
        return 0;
    }

    // The name the service gives a device's own tree, as its client asks for it: with no bound of
    // its own, so that a call given up on keeps the worker until the service answers, and the calls
    // behind a hung service fail at once.
    int treeForDevice(dev_t device, std::string& name) {
        GVariant* reply = nullptr;
        const int error =
            serviceCall("GetTreeFromDevice", g_variant_new("(uu)", major(device), minor(device)),
                        G_VARIANT_TYPE("(s)"), &reply, -1, nullptr);
        if (error != 0) {
            return error;
        }
        const gchar* tree = nullptr;
        g_variant_get(reply, "(&s)", &tree);
        name = tree;
        g_variant_unref(reply);
        return 0;
    }

    // The tree a write to `path` goes to, noted before the call (one given up on may still land).
    void noteWrite(const std::string& path) {
        struct stat st {};
        metadata_tree::Location location;
        if (::lstat(path.c_str(), &st) != 0) {
            return;  // GIO writes nothing for a missing path
        }
        if (locator_.locate(path, st.st_dev, location) == 0) {
            written_.insert(location.treeFile);
        } else {
            writtenUnknown_ = true;
        }
    }

    // What a clear at a path sends for the key's value as the service's files hold it (floating),
    // or null when that value holds nothing of ours.
    using Replacement = std::function<GVariant*(const metadata_tree::KeyValue&)>;

    // Takes what is ours out of one key of `path`, which may be vanished or hold another object:
    // the value is read from the service's files and the replacement sent through the service, as
    // GIO's client sends it (Set with the tree file, the path within it and the new value; a byte
    // unsets the key). Nothing is made at or beside `path`.
    int clearByPath(const std::string& path, const char* metadataKey, Replacement replace) {
        if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
            return EINVAL;
        }
        return call([this, path, metadataKey, replace = std::move(replace)](GCancellable* cancellable) {
            if (const int unavailable = checkAvailable(deletingLastPathComponent(path)); unavailable != 0) {
                return unavailable;
            }
            return clearKey(path, metadataKey + std::strlen("metadata::"), replace, cancellable);
        });
    }

    // On the worker.
    int clearKey(const std::string& path, const std::string& key, const Replacement& replace,
                 GCancellable* cancellable) {
        locator_.forgetDevices();
        struct stat st {};
        metadata_tree::Location location;
        const dev_t device = ::lstat(path.c_str(), &st) == 0 ? st.st_dev : 0;
        if (const int error = locator_.locate(path, device, location); error != 0) {
            return error;
        }
        // The replacement for what the files hold now (sunk, for the caller to unref), or null.
        const auto next = [&](int& error) -> GVariant* {
            metadata_tree::KeyValue value;
            error = metadata_tree::readKey(location.treeFile, location.treePath, key, value);
            GVariant* replacement = error == 0 ? replace(value) : nullptr;
            return replacement != nullptr ? g_variant_ref_sink(replacement) : nullptr;
        };
        int error = 0;
        GVariant* replacement = next(error);
        if (replacement == nullptr) {
            return error;
        }
        written_.insert(location.treeFile);
        GVariantBuilder keys;
        g_variant_builder_init(&keys, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&keys, "{sv}", key.c_str(), replacement);
        g_variant_unref(replacement);
        error = serviceCall(
            "Set",
            g_variant_new("(^ay^aya{sv})", location.treeFile.c_str(), location.treePath.c_str(), &keys),
            nullptr, nullptr, static_cast<int>(wait_.count()), cancellable);
        if (error != 0) {
            return error;
        }
        // The service's files now hold nothing of ours, or this mapping is not the service's.
        if (GVariant* still = next(error)) {
            g_variant_unref(still);
            return EIO;
        }
        return error;
    }

    // How the write of one batch item goes out: an error GIO's client gives before any call, a Set
    // sent directly to the place GIO's client would send it to, or, where this mapping cannot be
    // sure to be GIO's, through GIO itself.
    struct Send {
        int error = 0;
        bool direct = false;
        metadata_tree::Location location;
    };

    // On the worker; the tree written is noted before the call (one given up on may still land).
    Send prepare(const std::string& path) {
        // GIO's client looks at the item's canonical path, the last link not followed. A path its
        // layer maps elsewhere (a remote mount's local view) is not a local file here.
        GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
        const char* local = g_file_is_native(file.get()) ? g_file_peek_path(file.get()) : nullptr;
        struct stat st {};
        Send send;
        if (local != nullptr && ::lstat(local, &st) != 0) {
            send.error = errnoOfSystemError(errno);  // nothing is written for a missing path
        } else if (local != nullptr && locator_.locate(local, st.st_dev, send.location) == 0) {
            send.direct = true;
            written_.insert(send.location.treeFile);
        } else {
            noteWrite(path);
        }
        return send;
    }

    // On the worker: read() for a batch. Outside home GIO's client asks the service for the device's
    // tree on each read; where this mapping is sure to be that client's, the keys are read from the
    // service's files as the client reads them, the service asked once for the batch and each tree
    // file read once (`trees`).
    int readMapped(const std::string& path, IconMetadata& out, metadata_tree::TreeSnapshots& trees,
                   GCancellable* cancellable) {
        GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
        const char* local = g_file_is_native(file.get()) ? g_file_peek_path(file.get()) : nullptr;
        struct stat st {};
        metadata_tree::Location location;
        if (local != nullptr && ::lstat(local, &st) != 0) {
            return errnoOfSystemError(errno);
        }
        if (local == nullptr || locator_.locate(local, st.st_dev, location) != 0 ||
            location.treeFile == metadata_tree::treeFileNamed("home")) {
            return readKeys(path, out, cancellable);
        }
        IconMetadata keys;
        for (const auto& [key, text] : {std::pair(kCustomIconKey, &keys.customIcon),
                                        std::pair(kCustomIconNameKey, &keys.customIconName)}) {
            metadata_tree::KeyValue value;
            if (const int error = trees.readKey(location.treeFile, location.treePath,
                                                key + std::strlen("metadata::"), value);
                error != 0) {
                return error;
            }
            if (value.kind == metadata_tree::KeyKind::list) {
                return EINVAL;  // as readKeys() finds a value that is no string
            }
            if (value.kind == metadata_tree::KeyKind::string) {
                if (value.text.size() > kMaxValueSize) {
                    return EFBIG;
                }
                *text = std::move(value.text);
            }
        }
        out = std::move(keys);
        return 0;
    }

    // Sends the Set GIO's client sends for the item: each key's text, or a byte to unset it. The
    // reply must be empty; the service answers the calls of one connection in order.
    void sendSet(Batch& batch, std::size_t i, const metadata_tree::Location& location) {
        GError* raw = nullptr;
        GDBusConnection* connection = bus(&raw);
        if (connection == nullptr) {
            const ErrorPtr error(raw);
            settleBatchItem(batch, i, errnoOf(error.get()));
            return;
        }
        const IconMetadata& value = batch.items[i].second;
        GVariantBuilder keys;
        g_variant_builder_init(&keys, G_VARIANT_TYPE_VARDICT);
        for (const auto& [key, text] : {std::pair(kCustomIconKey, &value.customIcon),
                                        std::pair(kCustomIconNameKey, &value.customIconName)}) {
            g_variant_builder_add(&keys, "{sv}", key + std::strlen("metadata::"),
                                  *text ? g_variant_new_string((*text)->c_str()) : g_variant_new_byte(0));
        }
        ++batch.inFlight;
        // No cancellable and GIO's client's own timeout: a Set given up on keeps the worker until
        // the service answers it, so that calls behind a hung service fail at once.
        g_dbus_connection_call(
            connection, kServiceName, kServicePath, kServiceName, "Set",
            g_variant_new("(^ay^aya{sv})", location.treeFile.c_str(), location.treePath.c_str(), &keys),
            G_VARIANT_TYPE_UNIT, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, batchSetDone,
            new BatchCall{batch.shared_from_this(), i});
    }

    void sendViaGio(Batch& batch, std::size_t i, GCancellable* cancellable) {
        GObjectPtr<GFile> file(g_file_new_for_path(batch.items[i].first.c_str()));
        ++batch.inFlight;
        g_file_set_attributes_async(file.get(), keysInfo(batch.items[i].second).get(),
                                    G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS, G_PRIORITY_DEFAULT, cancellable,
                                    batchItemDone, new BatchCall{batch.shared_from_this(), i});
    }

    // On the worker: starts the batch's writes, keeping a window of them in flight, and returns
    // when every started one has answered (given up on, or the store going: no more are started).
    int runBatch(Batch& batch, GCancellable* cancellable) {
        // The service takes one call at a time: measured, more in flight were no faster, and fewer
        // are left unknown behind a hung service.
        constexpr std::size_t kWindow = 64;
        GMainContext* context = g_main_context_get_thread_default();
        // A folder on the way may have become a link, a device number another disk, meanwhile.
        locator_.forgetDevices();
        const auto going = [&] {
            const std::lock_guard lock(batch.queue->mutex);
            return batch.queue->stopping || g_cancellable_is_cancelled(cancellable);
        };
        std::size_t next = 0;
        std::optional<Send> held;  // items[next]'s, waiting for the calls of the other kind to end
        bool directInFlight = true;
        while (true) {
            while (next < batch.items.size() && batch.inFlight < kWindow && !going()) {
                const std::size_t i = next;
                const std::string& path = batch.items[i].first;
                if (batch.results[i] == kPending && !held) {
                    const int unavailable = checkAvailable(path);
                    held = unavailable != 0 ? Send{unavailable, false, {}} : prepare(path);
                }
                if (batch.results[i] != kPending || held->error != 0) {
                    if (batch.results[i] == kPending) {
                        settleBatchItem(batch, i, held->error);
                    }
                    held.reset(), ++next;
                    continue;
                }
                // GIO's calls take other paths to the service: the calls of one kind end before
                // those of the other start, so that neither overtakes the other.
                if (batch.inFlight > 0 && held->direct != directInFlight) {
                    break;
                }
                directInFlight = held->direct;
                held->direct ? sendSet(batch, i, held->location) : sendViaGio(batch, i, cancellable);
                held.reset(), ++next;
            }
            if (batch.inFlight == 0 && (next == batch.items.size() || going())) {
                return 0;
            }
            g_main_context_iteration(context, TRUE);
        }
    }

    // Under the queue's lock: hands the job to the worker; false (the job dropped) while a call the
    // service left unanswered holds it: nothing is started behind such a call.
    bool enqueue(const std::shared_ptr<Job>& job) {
        if (queue_->busy && queue_->stuck) {
            return false;
        }
        queue_->stuck = false;
        job->owner = shared_from_this();
        queue_->jobs.push_back(job);
        queue_->changed.notify_all();
        return true;
    }

    // Under the queue's lock: waits until `ready` holds or the queued job is done. When the worker
    // gives no answer at all (to this job or one before it) for the whole wait, the job is given
    // up and the worker known stuck.
    void await(std::unique_lock<std::mutex>& lock, Job& job, const std::function<bool()>& ready) {
        const std::size_t& progress = queue_->progress;
        for (std::size_t seen = progress; !job.done && !job.abandoned && !ready(); seen = progress) {
            if (!queue_->changed.wait_for(
                    lock, wait_, [&] { return job.done || job.abandoned || progress != seen || ready(); })) {
                job.abandoned = true;
                queue_->stuck = true;
                g_cancellable_cancel(job.cancellable);
            }
        }
    }

    // One call: ETIMEDOUT when the service left it unanswered for the whole wait, or when a call
    // it left unanswered still holds the worker (every item would otherwise wait its whole bound
    // in turn behind it).
    int call(std::function<int(GCancellable*)> run) {
        auto job = std::make_shared<Job>();
        job->run = std::move(run);
        std::unique_lock lock(queue_->mutex);
        if (enqueue(job)) {
            await(lock, *job, [] { return false; });
        }
        return job->done ? job->result : ETIMEDOUT;
    }

    // What startReads() and startWrites() give: each answer waited for when it is taken.
    template <class Answer>
    class Started final : public PendingAnswers<Answer> {
      public:
        Started(std::shared_ptr<GioStore> store, std::shared_ptr<Job> job,
                std::shared_ptr<Answers<Answer>> calls, bool queued)
            : store_(std::move(store)), job_(std::move(job)), calls_(std::move(calls)), queued_(queued) {}
        ~Started() override {
            const std::lock_guard lock(store_->queue_->mutex);
            calls_->dropped = true;
        }
        Answer take(std::size_t i) override {
            std::unique_lock lock(store_->queue_->mutex);
            Answer& answer = calls_->results.at(i);
            if (queued_) {
                calls_->wanted = i;
                store_->await(lock, *job_, [&] { return status(answer) != kPending; });
                calls_->wanted = SIZE_MAX;
            }
            if (status(answer) == kPending) {
                status(answer) = ETIMEDOUT;
            }
            return std::move(answer);
        }

      private:
        static int& status(int& answer) { return answer; }
        static int& status(std::pair<int, IconMetadata>& answer) { return answer.first; }

        std::shared_ptr<GioStore> store_;
        std::shared_ptr<Job> job_;
        std::shared_ptr<Answers<Answer>> calls_;
        bool queued_;
    };

    const std::chrono::milliseconds wait_;
    const std::function<void(const std::string&)> synced_;
    // Only the worker touches these.
    bool capable_ = false;
    GObjectPtr<GDBusConnection> bus_;
    metadata_tree::Locator locator_;
    std::set<std::string> written_;  // tree files written since the last flush
    bool writtenUnknown_ = false;    // a write whose tree could not be told
    std::shared_ptr<Queue> queue_;
    std::thread worker_;
};

}  // namespace

namespace {

// Answers all given at once.
template <class Answer>
class Answered final : public PendingAnswers<Answer> {
  public:
    explicit Answered(std::vector<Answer> results) : results_(std::move(results)) {}
    Answer take(std::size_t i) override { return std::move(results_.at(i)); }

  private:
    std::vector<Answer> results_;
};

}  // namespace

std::unique_ptr<PendingWrites> DesktopMetadata::startWrites(
    const std::vector<std::pair<std::string, IconMetadata>>& items) {
    std::vector<int> results;
    results.reserve(items.size());
    for (const auto& [path, value] : items) {
        results.push_back(write(path, value));
    }
    return std::make_unique<Answered<int>>(std::move(results));
}

std::vector<int> DesktopMetadata::writeAll(const std::vector<std::pair<std::string, IconMetadata>>& items) {
    const std::unique_ptr<PendingWrites> pending = startWrites(items);
    std::vector<int> results;
    results.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        results.push_back(pending->take(i));
    }
    return results;
}

std::unique_ptr<PendingReads> DesktopMetadata::startReads(const std::vector<std::string>& paths) {
    std::vector<std::pair<int, IconMetadata>> results(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        results[i].first = read(paths[i], results[i].second);
    }
    return std::make_unique<Answered<std::pair<int, IconMetadata>>>(std::move(results));
}

std::vector<std::pair<int, IconMetadata>> DesktopMetadata::readAll(const std::vector<std::string>& paths) {
    const std::unique_ptr<PendingReads> pending = startReads(paths);
    std::vector<std::pair<int, IconMetadata>> results;
    results.reserve(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        results.push_back(pending->take(i));
    }
    return results;
}

namespace {

// What callers hold: the store, stopped when they let it go.
class GioDesktopMetadata final : public DesktopMetadata {
  public:
    explicit GioDesktopMetadata(std::shared_ptr<GioStore> store) : store_(std::move(store)) {}
    GioDesktopMetadata(const GioDesktopMetadata&) = delete;
    GioDesktopMetadata& operator=(const GioDesktopMetadata&) = delete;
    ~GioDesktopMetadata() override { store_->stop(); }
    int available(const std::string& path) override { return store_->available(path); }
    int read(const std::string& path, IconMetadata& out) override { return store_->read(path, out); }
    std::unique_ptr<PendingReads> startReads(const std::vector<std::string>& paths) override {
        return store_->startReads(paths);
    }
    int write(const std::string& path, const IconMetadata& value) override {
        return store_->write(path, value);
    }
    std::unique_ptr<PendingWrites> startWrites(
        const std::vector<std::pair<std::string, IconMetadata>>& items) override {
        return store_->startWrites(items);
    }
    int clearIfOurs(const std::string& path, const std::string& expectedUri) override {
        return store_->clearIfOurs(path, expectedUri);
    }
    int flush() override { return store_->flush(); }
    int readEmblems(const std::string& path, std::vector<std::string>& out) override {
        return store_->readEmblems(path, out);
    }
    int writeEmblems(const std::string& path, const std::vector<std::string>& names) override {
        return store_->writeEmblems(path, names);
    }
    int clearEmblem(const std::string& path, const std::string& emblem) override {
        return store_->clearEmblem(path, emblem);
    }

  private:
    std::shared_ptr<GioStore> store_;
};

}  // namespace

std::unique_ptr<DesktopMetadata> makeGioDesktopMetadata(std::chrono::milliseconds wait,
                                                        std::function<void(const std::string&)> synced) {
    return std::make_unique<GioDesktopMetadata>(std::make_shared<GioStore>(wait, std::move(synced)));
}

std::optional<std::string> fileUriOfPath(const std::string& path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    if (uri == nullptr) {
        return std::nullopt;
    }
    std::string result(uri);
    g_free(uri);
    return result;
}

IconMetadata skinnedIconMetadata(const std::string& iconFilePath) {
    return IconMetadata{fileUriOfPath(iconFilePath), std::nullopt};
}

int ensureIconFile(FileSystem& fs, const std::string& iconPath, const Bytes& png) {
    Bytes current;
    FileStatus status;
    if (readRegularFile(fs, iconPath, png.size(), current) == 0 && current == png &&
        fs.lstat(iconPath, status) == 0 && status.isRegular() && (status.mode & 07777) == 0644) {
        return 0;
    }
    if (const int error = writeFileAtomically(fs, iconPath, png.data(), png.size(), 0644); error != 0) {
        return error;
    }
    return syncDirectory(fs, deletingLastPathComponent(iconPath));
}

int DesktopMetadata::readEmblems(const std::string&, std::vector<std::string>& out) {
    out.clear();
    return ENOTSUP;
}

int DesktopMetadata::writeEmblems(const std::string&, const std::vector<std::string>&) {
    return ENOTSUP;
}

int DesktopMetadata::clearEmblem(const std::string&, const std::string&) {
    return ENOTSUP;
}

bool desktopDrawsEmblemsOnly(std::string_view currentDesktop) {
    while (!currentDesktop.empty()) {
        const std::size_t end = std::min(currentDesktop.find(':'), currentDesktop.size());
        const std::string_view name = currentDesktop.substr(0, end);
        for (const std::string_view known : {"XFCE", "LXDE"}) {
            if (name.size() == known.size() &&
                g_ascii_strncasecmp(name.data(), known.data(), name.size()) == 0) {
                return true;
            }
        }
        currentDesktop.remove_prefix(std::min(end + 1, currentDesktop.size()));
    }
    return false;
}

std::string emblemIconPath(const std::string& dataHome) {
    return appendPathComponent(dataHome,
                               std::string("icons/hicolor/128x128/emblems/") + kFurballEmblemName + ".png");
}

}  // namespace lumaro::platform
