#include "platform/metadata_tree.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace lumaro::platform::metadata_tree {

namespace {

using Data = std::vector<unsigned char>;

// The store's formats, version 1: big-endian words, blocks aligned to 4 bytes.
constexpr std::string_view kTreeMagic{"\xda\x1ameta", 6};
constexpr std::string_view kJournalMagic{"\xda\x1ajour", 6};
constexpr std::size_t kTreeHeaderSize = 32, kJournalHeaderSize = 20;
constexpr std::size_t kRotatedOffset = 8, kTagOffset = 12, kRootOffset = 16, kAttributesOffset = 20;
constexpr std::uint32_t kListFlag = 0x80000000u;
enum JournalOp : unsigned char { kSet, kSetList, kUnset, kCopyPath, kRemovePath };
// Linux's number for NFS in statfs: there the service keeps journals in the runtime folder.
constexpr long kNfsMagic = 0x6969;
// A tree replaced by the service while it is read is read again, this many times at most.
constexpr int kAttempts = 8;
constexpr int kMaxLinkDepth = 64;

std::string taken(gchar* text) {
    std::string result = text != nullptr ? text : "";
    g_free(text);
    return result;
}

std::string canonical(const std::string& path) {
    return taken(g_canonicalize_filename(path.c_str(), "/"));
}
std::string joined(const std::string& a, const std::string& b) {
    return taken(g_build_filename(a.c_str(), b.c_str(), nullptr));
}
std::string baseName(const std::string& path) {
    return taken(g_path_get_basename(path.c_str()));
}
std::string dirName(const std::string& path) {
    return taken(g_path_get_dirname(path.c_str()));
}

// The parent, or nothing at the root.
std::optional<std::string> parentOf(const std::string& path) {
    std::string parent = dirName(path);
    if (parent == "." || parent == path) {
        return std::nullopt;
    }
    return parent;
}

std::string followLink(const std::string& link) {
    std::array<char, 4096> value{};
    const ssize_t size = ::readlink(link.c_str(), value.data(), value.size() - 1);
    if (size < 0) {
        return link;
    }
    const std::string target(value.data(), static_cast<std::size_t>(size));
    return canonical(g_path_is_absolute(target.c_str()) ? target : joined(dirName(link), target));
}

// Follows `path` while it is a link (at most 13 steps); the device of what it ends at, 0 if nothing.
dev_t followLinks(std::string& path) {
    struct stat st {};
    for (int steps = 0;;) {
        if (::lstat(path.c_str(), &st) != 0) {
            return 0;
        }
        const bool link = S_ISLNK(st.st_mode);
        if (link) {
            path = followLink(path);
        }
        if (!link || ++steps > 12) {
            return st.st_dev;
        }
    }
}

// Every link of `path` expanded, its own and its parents'.
int expandAll(const std::string& path, dev_t* device, std::string& out, int depth = 0) {
    if (depth > kMaxLinkDepth) {
        return ELOOP;
    }
    std::string resolved = path;
    const dev_t dev = followLinks(resolved);
    if (device != nullptr) {
        *device = dev;
    }
    const auto parent = parentOf(resolved);
    if (!parent) {
        out = resolved;
        return 0;
    }
    std::string expandedParent;
    if (const int error = expandAll(*parent, nullptr, expandedParent, depth + 1); error != 0) {
        return error;
    }
    out = joined(expandedParent, baseName(resolved));
    return 0;
}

bool hasPathPrefix(const std::string& path, const std::string& prefix) {
    const std::size_t n = prefix.size();
    return path.compare(0, n, prefix) == 0 &&
           (n == 0 || prefix[n - 1] == '/' || path.size() == n || path[n] == '/');
}

// The mount point of `file`'s device: its highest ancestor on that device.
std::string mountPointOf(const std::string& file, dev_t device) {
    std::string last = file;
    for (auto dir = parentOf(file); dir; dir = parentOf(last)) {
        struct stat st {};
        if (::lstat(dir->c_str(), &st) != 0 || st.st_dev != device) {
            break;
        }
        last = *dir;
    }
    return parentOf(file) ? last : "/";
}

std::string unescapeMountField(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// The folder of its file system a mount shows at `mountPoint` when it is not that file system's
// root (a bind mount, a subvolume).
std::optional<std::string> mountRootOf(const std::string& mountPoint) {
    constexpr std::size_t kMaxMountInfo = 8u * 1024 * 1024;
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    std::array<char, 65536> buffer{};
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) != 0 && text.size() < kMaxMountInfo;) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        text.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        // id parent major:minor root mount-point …
        std::array<std::string_view, 5> fields;
        std::size_t at = 0, count = 0;
        while (count < fields.size() && at <= line.size()) {
            std::size_t space = line.find(' ', at);
            if (space == std::string_view::npos) {
                space = line.size();
            }
            fields[count++] = line.substr(at, space - at);
            at = space + 1;
        }
        if (count == fields.size() && fields[3] != "/" && unescapeMountField(fields[4]) == mountPoint) {
            return unescapeMountField(fields[3]);
        }
    }
    return std::nullopt;
}

std::uint32_t word(const Data& data, std::size_t at) {
    return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) |
           (std::uint32_t{data[at + 2]} << 8) | std::uint32_t{data[at + 3]};
}

constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[i] = c;
    }
    return table;
}();

std::uint32_t crc32(const unsigned char* bytes, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc = kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// Opens a store file: never through a link, never blocking on a FIFO; only a regular file.
int openStoreFile(const std::string& path, Fd& out, struct stat& st) {
    out.fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (out.fd < 0) {
        return errno == ELOOP ? EIO : errno;
    }
    if (::fstat(out.fd, &st) != 0) {
        return errno;
    }
    return S_ISREG(st.st_mode) ? 0 : EIO;
}

int readAt(int fd, std::size_t offset, std::size_t size, Data& out) {
    out.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            return EIO;  // shorter than it said
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string journalFileOf(const std::string& treeFile, std::uint32_t tag) {
    char hex[9];
    g_snprintf(hex, sizeof hex, "%08x", tag);
    std::string base = treeFile;
    struct statfs fs {};
    if (::statfs(dirName(treeFile).c_str(), &fs) == 0 && fs.f_type == kNfsMagic) {
        const std::string runtime = joined(g_get_user_runtime_dir(), "gvfs-metadata");
        struct stat st {};
        if (::lstat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            base = joined(runtime, baseName(treeFile));
        }
    }
    return base + "-" + hex + ".log";
}

// A view of one tree file's bytes; every offset checked before it is used.
class TreeView {
  public:
    explicit TreeView(const Data& data) : data_(data) {}

    bool block(std::uint32_t at, std::uint64_t size) const {
        return at % 4 == 0 && at <= data_.size() && at + size <= data_.size();
    }
    // The count of an array of `element`-byte entries at `at`, when it fits.
    std::optional<std::uint32_t> array(std::uint32_t at, std::size_t element) const {
        if (!block(at, 4)) {
            return std::nullopt;
        }
        const std::uint32_t count = word(data_, at);
        return block(at, 4 + std::uint64_t{count} * element) ? std::optional(count) : std::nullopt;
    }
    std::optional<std::string_view> string(std::uint32_t at) const {
        if (at >= data_.size()) {
            return std::nullopt;
        }
        const auto* begin = data_.data() + at;
        const void* nul = std::memchr(begin, 0, data_.size() - at);
        if (nul == nullptr) {
            return std::nullopt;
        }
        return std::string_view(reinterpret_cast<const char*>(begin),
                                static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - begin));
    }
    std::uint32_t at(std::size_t offset) const { return word(data_, offset); }

  private:
    const Data& data_;
};

// The key's value at `treePath` in the tree file alone. EIO for anything malformed.
int lookUpInTree(const Data& data, const std::string& treePath, const std::string& key, KeyValue& out) {
    out = {};
    const TreeView tree(data);
    const std::uint32_t root = tree.at(kRootOffset);
    const auto attributeCount = tree.array(tree.at(kAttributesOffset), 4);
    if (!tree.block(root, 16) || !attributeCount) {
        return EIO;
    }
    // The key names, sorted: a key's number is its place.
    std::optional<std::uint32_t> keyId;
    std::string_view previous;
    for (std::uint32_t i = 0; i < *attributeCount; ++i) {
        const auto name = tree.string(tree.at(tree.at(kAttributesOffset) + 4 + 4 * std::size_t{i}));
        if (!name || (i > 0 && !(previous < *name))) {
            return EIO;
        }
        if (*name == key) {
            keyId = i;
        }
        previous = *name;
    }
    std::uint32_t entry = root;  // name, children, metadata, last changed
    std::size_t start = 0;
    while (start < treePath.size()) {
        std::size_t end = treePath.find('/', start);
        if (end == std::string::npos) {
            end = treePath.size();
        }
        const std::string_view component(treePath.data() + start, end - start);
        start = end + 1;
        if (component.empty()) {
            continue;
        }
        const std::uint32_t children = tree.at(entry + 4);
        if (children == 0) {
            return 0;
        }
        const auto count = tree.array(children, 16);
        if (!count) {
            return EIO;
        }
        std::optional<std::uint32_t> found;
        for (std::uint32_t i = 0; i < *count; ++i) {
            const std::uint32_t child = children + 4 + 16 * i;
            const auto name = tree.string(tree.at(child));
            if (!name || (i > 0 && !(previous < *name))) {
                return EIO;  // the service looks names up by halving: they must be sorted
            }
            if (*name == component) {
                found = child;
            }
            previous = *name;
        }
        if (!found) {
            return 0;
        }
        entry = *found;
    }
    const std::uint32_t metadata = tree.at(entry + 8);
    if (metadata == 0) {
        return 0;
    }
    const auto keys = tree.array(metadata, 8);
    if (!keys) {
        return EIO;
    }
    std::optional<std::uint32_t> previousId;
    for (std::uint32_t i = 0; i < *keys; ++i) {
        const std::uint32_t flagged = tree.at(metadata + 4 + 8 * std::size_t{i});
        const std::uint32_t id = flagged & ~kListFlag;
        if (id >= *attributeCount || (previousId && *previousId >= id)) {
            return EIO;
        }
        previousId = id;
        if (keyId && id == *keyId) {
            if ((flagged & kListFlag) != 0) {
                // An array of string offsets.
                const std::uint32_t list = tree.at(metadata + 4 + 8 * std::size_t{i} + 4);
                const auto count = tree.array(list, 4);
                if (!count) {
                    return EIO;
                }
                out.kind = KeyKind::list;
                for (std::uint32_t n = 0; n < *count; ++n) {
                    const auto item = tree.string(tree.at(list + 4 + 4 * std::size_t{n}));
                    if (!item) {
                        return EIO;
                    }
                    out.items.emplace_back(*item);
                }
                return 0;
            }
            const auto value = tree.string(tree.at(metadata + 4 + 8 * std::size_t{i} + 4));
            if (!value) {
                return EIO;
            }
            out = {KeyKind::string, std::string(*value), {}};
            return 0;
        }
    }
    return 0;
}

// A journal entry's strings, each ending before the entry's closing length word.
struct EntryReader {
    const Data& data;
    std::size_t at, end;
    std::optional<std::string_view> next() {
        if (at >= end) {
            return std::nullopt;
        }
        const void* nul = std::memchr(data.data() + at, 0, end - at);
        if (nul == nullptr) {
            return std::nullopt;
        }
        const auto size =
            static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - (data.data() + at));
        const std::string_view text(reinterpret_cast<const char*>(data.data() + at), size);
        at += size + 1;
        return text;
    }
};

// The offsets of the journal's complete entries, each checked (size, both length words, CRC).
int journalEntries(const Data& journal, std::uint32_t tag, std::vector<std::size_t>& entries) {
    entries.clear();
    if (journal.size() < kJournalHeaderSize ||
        std::string_view(reinterpret_cast<const char*>(journal.data()), kJournalMagic.size()) !=
            kJournalMagic ||
        journal[6] != 1 || word(journal, 8) != tag || word(journal, 12) != journal.size()) {
        return EIO;
    }
    const std::uint32_t count = word(journal, 16);
    std::size_t at = kJournalHeaderSize;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (at + 4 > journal.size()) {
            return EIO;
        }
        const std::uint32_t size = word(journal, at);
        // length, CRC, time, type, a path's end and the closing length at least
        if (size % 4 != 0 || size < 24 || size > journal.size() - at ||
            word(journal, at + size - 4) != size ||
            crc32(journal.data() + at + 8, size - 8) != word(journal, at + 4)) {
            return EIO;
        }
        entries.push_back(at);
        at += size;
    }
    return 0;
}

// The path's part after `prefix` (without its slashes), when `prefix` is the path or a parent of it.
std::optional<std::string> remainderAfter(const std::string& path, std::string_view prefix) {
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.remove_suffix(1);
    }
    if (path.compare(0, prefix.size(), prefix) != 0 ||
        (path.size() > prefix.size() && path[prefix.size()] != '/')) {
        return std::nullopt;
    }
    std::size_t at = prefix.size();
    while (at < path.size() && path[at] == '/') {
        ++at;
    }
    return path.substr(at);
}

// One journal entry as read: a key's change at a path (its value; absent for a removal), or a copy
// (from `source`) or removal of a path and all below it.
struct Entry {
    unsigned char op = kSet;
    std::string_view path, key, source;
    KeyValue value;
};

// EIO for an entry malformed or of a kind this reader does not know. The value is checked always
// but kept only when `withValue` asks for it.
int readEntry(const Data& journal, std::size_t at, Entry& out, bool withValue) {
    const std::size_t size = word(journal, at);
    out = {};
    out.op = journal[at + 16];
    EntryReader reader{journal, at + 17, at + size - 4};
    const auto entryPath = reader.next();
    if (!entryPath) {
        return EIO;
    }
    out.path = *entryPath;
    if (out.op == kSet || out.op == kSetList || out.op == kUnset) {
        const auto entryKey = reader.next();
        const auto value = out.op == kSet ? reader.next() : std::optional<std::string_view>("");
        if (!entryKey || !value) {
            return EIO;
        }
        out.key = *entryKey;
        if (out.op == kSet && withValue) {
            out.value = KeyValue{KeyKind::string, std::string(*value), {}};
        } else if (out.op == kSetList) {
            // Padded to a word from the entry's start, a count, then that many strings.
            out.value = KeyValue{KeyKind::list, {}, {}};
            reader.at = at + (reader.at - at + 3) / 4 * 4;
            if (reader.at + 4 > reader.end) {
                return EIO;
            }
            const std::uint32_t count = word(journal, reader.at);
            reader.at += 4;
            for (std::uint32_t n = 0; n < count; ++n) {
                const auto item = reader.next();
                if (!item) {
                    return EIO;
                }
                if (withValue) {
                    out.value.items.emplace_back(*item);
                }
            }
        }
        return 0;
    }
    if (out.op == kCopyPath || out.op == kRemovePath) {
        const auto source = out.op == kCopyPath ? reader.next() : std::optional<std::string_view>("");
        if (!source) {
            return EIO;
        }
        out.source = *source;
        return 0;
    }
    return EIO;  // a change this reader does not know
}

// Applies the journal's entries before `from`, newest first, as the service reads them: the key's
// last change at the path decides; a removed parent removes it; a copied parent sends the look-up
// to the copy's source. Nothing decided: `path` is where to look in the tree.
int lookUpInJournal(const Data& journal, const std::vector<std::size_t>& entries, std::size_t from,
                    std::string& path, const std::string& key, std::optional<KeyValue>& decided) {
    Entry entry;
    for (std::size_t n = from; n-- > 0;) {
        if (const int error = readEntry(journal, entries[n], entry, false); error != 0) {
            return error;
        }
        if (entry.op == kSet || entry.op == kSetList || entry.op == kUnset) {
            if (entry.path == path && entry.key == key) {
                (void)readEntry(journal, entries[n], entry, true);  // read once already
                decided = std::move(entry.value);
                return 0;
            }
        } else if (const auto rest = remainderAfter(path, entry.path)) {
            if (entry.op == kRemovePath) {
                decided = KeyValue{};
                return 0;
            }
            path = joined(std::string(entry.source), *rest);
        }
    }
    return 0;
}

// A tree file and its journal as read at one moment; `tree` null for a missing tree.
struct Snapshot {
    std::shared_ptr<const Data> tree;
    Data journal;
    std::vector<std::size_t> entries;  // the journal's complete entries
    // The journal indexed once, so that a look-up need not read it all: each path and key's
    // newest change, and the copies and removals, by their place in `entries`. Not indexed when
    // some entry cannot be read: each look-up then reads the journal as far as it must.
    bool indexed = false;
    std::unordered_map<std::string, std::size_t> newest;  // path, a NUL, key
    std::vector<std::size_t> moves;
};

std::string indexKey(std::string_view path, std::string_view key) {
    std::string joinedKey(path);
    joinedKey += '\0';
    joinedKey += key;
    return joinedKey;
}

void indexJournal(Snapshot& snapshot) {
    Entry entry;
    for (std::size_t n = 0; n < snapshot.entries.size(); ++n) {
        if (readEntry(snapshot.journal, snapshot.entries[n], entry, false) != 0) {
            snapshot.newest.clear();
            snapshot.moves.clear();
            return;
        }
        if (entry.op == kCopyPath || entry.op == kRemovePath) {
            snapshot.moves.push_back(n);
        } else {
            snapshot.newest.insert_or_assign(indexKey(entry.path, entry.key), n);
        }
    }
    snapshot.indexed = true;
}

// One attempt; EAGAIN when the service replaced the tree meanwhile.
int loadOnce(const std::string& treeFile, Snapshot& out) {
    out = {};
    Fd tree;
    struct stat st {};
    if (const int error = openStoreFile(treeFile, tree, st); error != 0) {
        return error == ENOENT ? 0 : error;
    }
    if (st.st_size < static_cast<off_t>(kTreeHeaderSize)) {
        return EIO;
    }
    if (static_cast<std::uint64_t>(st.st_size) > kMaxTreeFileSize) {
        return EFBIG;
    }
    // The service never changes a tree file in place but for its "rotated" word (it writes a new
    // file and renames it over): the last one read is kept, known by its identity and times.
    thread_local struct {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        timespec modified{}, changed{};
        std::shared_ptr<const Data> bytes;
    } cached;
    const bool same = cached.bytes && cached.device == st.st_dev && cached.inode == st.st_ino &&
                      cached.size == st.st_size && cached.modified.tv_sec == st.st_mtim.tv_sec &&
                      cached.modified.tv_nsec == st.st_mtim.tv_nsec &&
                      cached.changed.tv_sec == st.st_ctim.tv_sec &&
                      cached.changed.tv_nsec == st.st_ctim.tv_nsec;
    if (!same) {
        cached.bytes.reset();
        auto bytes = std::make_shared<Data>();
        if (const int error = readAt(tree.fd, 0, static_cast<std::size_t>(st.st_size), *bytes); error != 0) {
            return error;
        }
        cached.device = st.st_dev, cached.inode = st.st_ino, cached.size = st.st_size;
        cached.modified = st.st_mtim, cached.changed = st.st_ctim;
        cached.bytes = std::move(bytes);
    }
    const Data& data = *cached.bytes;
    if (std::string_view(reinterpret_cast<const char*>(data.data()), kTreeMagic.size()) != kTreeMagic ||
        data[6] != 1) {
        return EIO;
    }
    if (word(data, kRotatedOffset) != 0) {
        return EAGAIN;
    }
    const std::uint32_t tag = word(data, kTagOffset);
    Fd journalFd;
    struct stat journalStat {};
    const int opened = openStoreFile(journalFileOf(treeFile, tag), journalFd, journalStat);
    if (opened != 0 && opened != ENOENT) {
        return opened;
    }
    if (opened == 0) {
        if (static_cast<std::uint64_t>(journalStat.st_size) > kMaxValueSize) {
            return EFBIG;
        }
        if (const int error =
                readAt(journalFd.fd, 0, static_cast<std::size_t>(journalStat.st_size), out.journal);
            error != 0) {
            return error;
        }
    }
    // Replaced while the journal was read: that journal may already be the old one's.
    Data rotated;
    if (const int error = readAt(tree.fd, kRotatedOffset, 4, rotated); error != 0) {
        return error;
    }
    if (word(rotated, 0) != 0) {
        return EAGAIN;
    }
    if (opened == 0 && journalEntries(out.journal, tag, out.entries) != 0) {
        return EAGAIN;  // read again; a journal still damaged then is an error
    }
    out.tree = cached.bytes;
    indexJournal(out);
    return 0;
}

int load(const std::string& treeFile, Snapshot& out) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(attempt));
        }
        const int result = loadOnce(treeFile, out);
        if (result != EAGAIN) {
            return result;
        }
    }
    return EIO;
}

int lookUp(const Snapshot& snapshot, const std::string& treePath, const std::string& key, KeyValue& out) {
    if (!snapshot.tree) {
        out = {};  // a missing tree holds nothing
        return 0;
    }
    std::string path = treePath;
    std::optional<KeyValue> decided;
    std::size_t from = snapshot.entries.size();  // where the journal must be read back from
    if (snapshot.indexed) {
        // The newest change of the key decides unless a copy or removal of the path or a parent
        // came after it: then the journal is read back as the service reads it.
        const auto found = snapshot.newest.find(indexKey(path, key));
        from = found == snapshot.newest.end() ? 0 : found->second + 1;
        const std::size_t after = from;
        Entry move;
        for (auto m = snapshot.moves.rbegin(); m != snapshot.moves.rend() && *m >= after; ++m) {
            if (readEntry(snapshot.journal, snapshot.entries[*m], move, false) != 0 ||
                remainderAfter(path, move.path)) {
                from = snapshot.entries.size();
                break;
            }
        }
    }
    if (const int error = lookUpInJournal(snapshot.journal, snapshot.entries, from, path, key, decided);
        error != 0) {
        return error;
    }
    if (decided) {
        out = *decided;
        return 0;
    }
    return lookUpInTree(*snapshot.tree, path, key, out);
}

}  // namespace

std::string treeFileNamed(const std::string& name) {
    return taken(g_build_filename(g_get_user_data_dir(), "gvfs-metadata", name.c_str(), nullptr));
}

int Locator::locate(const std::string& path, dev_t device, Location& out) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
        return EINVAL;
    }
    if (!home_) {
        const char* home = g_get_home_dir();
        struct stat st {};
        std::string expanded;
        if (const int error = expandAll(canonical(home), nullptr, expanded); error != 0) {
            return error;
        }
        home_.emplace(::stat(home, &st) == 0 ? st.st_dev : 0, expanded);
    }
    std::string expanded = canonical(path);
    dev_t parentDevice = 0;
    if (const auto parent = parentOf(expanded)) {
        if (!lastParent_ || lastParent_->parent != *parent) {
            std::string expandedParent;
            if (const int error = expandAll(*parent, &parentDevice, expandedParent); error != 0) {
                return error;
            }
            // A folder gone with its item: the device it was on is its nearest existing ancestor's.
            for (auto ancestor = parentOf(expandedParent); parentDevice == 0 && ancestor;
                 ancestor = parentOf(*ancestor)) {
                struct stat st {};
                if (::lstat(ancestor->c_str(), &st) == 0) {
                    parentDevice = st.st_dev;
                }
            }
            lastParent_ = Parent{*parent, expandedParent, parentDevice, std::nullopt};
        }
        parentDevice = lastParent_->device;
        expanded = joined(lastParent_->expanded, baseName(expanded));
    }
    if (device == 0) {
        device = parentDevice;
    }
    if (home_->first == device && hasPathPrefix(expanded, home_->second)) {
        const std::string rest = expanded.substr(home_->second.size());
        out = {treeFileNamed("home"), rest.empty() ? "/" : rest};
        return 0;
    }
    auto known = devices_.find(device);
    if (known == devices_.end()) {
        std::string name;
        if (const int error = treeForDevice_(device, name); error != 0) {
            return error;
        }
        known = devices_.emplace(device, name).first;
    }
    if (!known->second.empty()) {
        // Unless the item is a mount point itself, its mount depends on its folder and device alone:
        // looked up once for a folder's items.
        std::optional<Mount> own;
        std::optional<Mount>* cached = lastParent_ && parentOf(expanded) ? &lastParent_->mount : nullptr;
        const Mount* mount =
            cached != nullptr && *cached && (*cached)->device == device ? &**cached : nullptr;
        if (mount == nullptr) {
            std::string point = mountPointOf(expanded, device);
            std::optional<std::string> root = point != "/" ? mountRootOf(point) : std::nullopt;
            std::optional<Mount>& slot = cached != nullptr && point != expanded ? *cached : own;
            slot = Mount{device, std::move(point), std::move(root)};
            mount = &*slot;
        }
        if (mount->point != "/") {
            std::string prefix = expanded.substr(mount->point.size());
            if (prefix.empty()) {
                prefix = "/";
            }
            if (mount->root) {
                prefix = joined(*mount->root, prefix);
            }
            out = {treeFileNamed(known->second), prefix};
            return 0;
        }
    }
    out = {treeFileNamed("root"), expanded};
    return 0;
}

int readKey(const std::string& treeFile, const std::string& treePath, const std::string& key, KeyValue& out) {
    Snapshot snapshot;
    if (const int error = load(treeFile, snapshot); error != 0) {
        return error;
    }
    return lookUp(snapshot, treePath, key, out);
}

struct TreeSnapshots::Loaded {
    Snapshot snapshot;
};

int TreeSnapshots::readKey(const std::string& treeFile, const std::string& treePath, const std::string& key,
                           KeyValue& out) {
    std::shared_ptr<const Loaded>& loaded = trees_[treeFile];
    if (!loaded) {
        auto fresh = std::make_shared<Loaded>();
        // A failed load is not kept: the tree's next look-up tries again.
        if (const int error = load(treeFile, fresh->snapshot); error != 0) {
            return error;
        }
        loaded = std::move(fresh);
    }
    return lookUp(loaded->snapshot, treePath, key, out);
}

int syncTree(const std::string& treeFile, const std::function<void(const std::string&)>& synced) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Fd tree;
        struct stat st {};
        if (const int error = openStoreFile(treeFile, tree, st); error != 0) {
            return error == ENOENT ? 0 : error;
        }
        Data header;
        if (const int error = readAt(tree.fd, 0, kTreeHeaderSize, header); error != 0) {
            return error;
        }
        if (std::string_view(reinterpret_cast<const char*>(header.data()), kTreeMagic.size()) != kTreeMagic) {
            return EIO;
        }
        if (::fsync(tree.fd) != 0) {
            return errno;
        }
        synced(treeFile);
        if (word(header, kRotatedOffset) != 0) {
            continue;  // replaced: the new tree holds what this one and its journal held
        }
        const std::string journal = journalFileOf(treeFile, word(header, kTagOffset));
        Fd journalFd;
        struct stat journalStat {};
        if (const int error = openStoreFile(journal, journalFd, journalStat); error != 0) {
            return error == ENOENT ? 0 : error;
        }
        if (::fsync(journalFd.fd) != 0) {
            return errno;
        }
        synced(journal);
        if (const std::string folder = dirName(journal); folder != dirName(treeFile)) {
            Fd folderFd{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
            if (folderFd.fd < 0 || ::fsync(folderFd.fd) != 0) {
                return errno;
            }
        }
        return 0;
    }
    return EIO;
}

}  // namespace lumaro::platform::metadata_tree
