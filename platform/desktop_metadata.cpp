#include "platform/desktop_metadata.h"

#include <dirent.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/paths.h"

namespace lumaro::platform {

namespace {

// GLib resolves the session bus from DBUS_SESSION_BUS_ADDRESS, then $XDG_RUNTIME_DIR/bus, and
// as a last resort "autolaunch:", which with $DISPLAY set spawns dbus-launch and so a bus of our
// own. Setting GIO_USE_VFS would only pick the layer, not stop that. So GIO is touched only
// when one of the first two names a bus the session already runs; otherwise the form is
// unavailable. Once connected, the session bus then activates its single metadata daemon.
bool sessionBusExists() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        address != nullptr && *address != '\0') {
        return std::string_view(address).find("autolaunch:") == std::string_view::npos;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime != '/') {
        return false;
    }
    struct stat st {};
    const std::string bus = std::string(runtime) + "/bus";
    return ::stat(bus.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid();
}

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
    ~Job() { g_object_unref(cancellable); }
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
};

struct Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Job>> jobs;
    bool stopping = false;
    bool busy = false;
    bool stuck = false;  // the worker's current job was given up on
};

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
        lock.unlock();
        const int result = job->run(job->cancellable);
        while (g_main_context_iteration(context, FALSE)) {
        }
        lock.lock();
        queue->busy = false;
        job->result = result;
        job->done = true;
        queue->changed.notify_all();
    }
    lock.unlock();
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
}

bool isUtf8(const std::string& text) {
    return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
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
    if (size > kMaxMetadataValueSize) {
        return EFBIG;
    }
    out.emplace(value, size);
    return 0;
}

std::string userDataDirectory() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        return standardizePath(data);
    }
    const char* home = std::getenv("HOME");
    return appendPathComponent(home != nullptr && *home == '/' ? home : g_get_home_dir(), ".local/share");
}

// Syncs every regular file of the store's folder and the folder itself. Opened without
// following links or blocking on a FIFO; a missing folder holds nothing to sync.
int syncStoreFiles() {
    const std::string folder = appendPathComponent(userDataDirectory(), "gvfs-metadata");
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
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fsync(fd) != 0 && result == 0) {
            result = errno;
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

int writeKeys(const std::string& path, const IconMetadata& value, GCancellable* cancellable) {
    GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
    GObjectPtr<GFileInfo> info(g_file_info_new());
    const std::pair<const char*, const std::optional<std::string>*> keys[] = {
        {kCustomIconKey, &value.customIcon}, {kCustomIconNameKey, &value.customIconName}};
    for (const auto& [key, text] : keys) {
        if (*text) {
            g_file_info_set_attribute_string(info.get(), key, (*text)->c_str());
        } else {
            // An invalid type is how a metadata key is removed.
            g_file_info_set_attribute(info.get(), key, G_FILE_ATTRIBUTE_TYPE_INVALID, nullptr);
        }
    }
    GError* raw = nullptr;
    const gboolean ok = g_file_set_attributes_from_info(file.get(), info.get(), G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS,
                                                        cancellable, &raw);
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
        if (total > kMaxMetadataValueSize) {
            out.clear();
            return EFBIG;
        }
        out.emplace_back(*name);
    }
    return 0;
}

int writeEmblemList(const std::string& path, const std::vector<std::string>& names, GCancellable* cancellable) {
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
    const gboolean ok = g_file_set_attributes_from_info(file.get(), info.get(), G_FILE_QUERY_INFO_NOFOLLOW_SYMLINKS,
                                                        cancellable, &raw);
    ErrorPtr error(raw);
    return ok ? 0 : errnoOf(error.get());
}

// GIO reads and writes only the keys of a path that exists, and the store keeps a missing
// path's keys until that name is used again. So an empty placeholder stands at the path for
// the moment of the read and the removal, made with O_EXCL (never over anything) and removed
// only while it is still the file made here.
int clearAtMissingPath(const std::string& path, const std::string& expectedUri, GCancellable* cancellable) {
    const std::string name = lastPathComponent(path);
    const int folder =
        ::open(deletingLastPathComponent(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        return errno;
    }
    const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        ::close(folder);
        return error;
    }
    struct stat made {};
    const bool known = ::fstat(fd, &made) == 0;
    ::close(fd);
    IconMetadata keys;
    int result = readKeys(path, keys, cancellable);
    if (result == 0 && keys.customIcon == expectedUri) {
        keys.customIcon.reset();
        result = writeKeys(path, keys, cancellable);
    }
    struct stat now {};
    if (known && ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == made.st_dev &&
        now.st_ino == made.st_ino) {
        ::unlinkat(folder, name.c_str(), 0);
    }
    ::close(folder);
    return result;
}

class GioDesktopMetadata final : public DesktopMetadata {
  public:
    explicit GioDesktopMetadata(std::chrono::milliseconds wait)
        : wait_(wait), queue_(std::make_shared<Queue>()), worker_([queue = queue_] { runWorker(queue); }) {}

    ~GioDesktopMetadata() override {
        std::unique_lock lock(queue_->mutex);
        queue_->stopping = true;
        for (const auto& job : queue_->jobs) {
            job->abandoned = true;
        }
        queue_->changed.notify_all();
        // A worker stuck in the service must not hold up the program's exit.
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
        for (const auto& key : {value.customIcon, value.customIconName}) {
            if (key && key->size() > kMaxMetadataValueSize) {
                return EFBIG;
            }
            if (key && (!isUtf8(*key) || key->find('\0') != std::string::npos)) {
                return EINVAL;
            }
        }
        return call([this, path, value](GCancellable* cancellable) {
            if (const int unavailable = checkAvailable(path); unavailable != 0) {
                return unavailable;
            }
            return writeKeys(path, value, cancellable);
        });
    }

    int clearIfOurs(const std::string& path, const std::string& expectedUri) override {
        return call([this, path, expectedUri](GCancellable* cancellable) {
            if (const int unavailable = checkAvailable(deletingLastPathComponent(path)); unavailable != 0) {
                return unavailable;
            }
            return clearAtMissingPath(path, expectedUri, cancellable);
        });
    }

    int flush() override {
        return call([](GCancellable*) { return syncStoreFiles(); });
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
        if (total > kMaxMetadataValueSize) {
            return EFBIG;
        }
        return call([this, path, names](GCancellable* cancellable) {
            if (const int unavailable = checkAvailable(path); unavailable != 0) {
                return unavailable;
            }
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

    int call(std::function<int(GCancellable*)> run) {
        auto job = std::make_shared<Job>();
        job->run = std::move(run);
        std::unique_lock lock(queue_->mutex);
        // A call the service left unanswered still holds the worker: every item would otherwise
        // wait its whole bound in turn behind it.
        if (queue_->busy && queue_->stuck) {
            return ETIMEDOUT;
        }
        queue_->stuck = false;
        queue_->jobs.push_back(job);
        queue_->changed.notify_all();
        if (!queue_->changed.wait_for(lock, wait_, [&] { return job->done; })) {
            job->abandoned = true;
            queue_->stuck = true;
            g_cancellable_cancel(job->cancellable);
            return ETIMEDOUT;
        }
        return job->result;
    }

    const std::chrono::milliseconds wait_;
    bool capable_ = false;  // only the worker touches it
    std::shared_ptr<Queue> queue_;
    std::thread worker_;
};

}  // namespace

std::unique_ptr<DesktopMetadata> makeGioDesktopMetadata(std::chrono::milliseconds wait) {
    return std::make_unique<GioDesktopMetadata>(wait);
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

bool desktopDrawsEmblemsOnly(std::string_view currentDesktop) {
    while (!currentDesktop.empty()) {
        const std::size_t end = std::min(currentDesktop.find(':'), currentDesktop.size());
        const std::string_view name = currentDesktop.substr(0, end);
        for (const std::string_view known : {"XFCE", "LXDE"}) {
            if (name.size() == known.size() && g_ascii_strncasecmp(name.data(), known.data(), name.size()) == 0) {
                return true;
            }
        }
        currentDesktop.remove_prefix(std::min(end + 1, currentDesktop.size()));
    }
    return false;
}

std::string emblemIconPath(const std::string& dataHome) {
    return appendPathComponent(dataHome, std::string("icons/hicolor/128x128/emblems/") + kFurballEmblemName + ".png");
}

}  // namespace lumaro::platform
