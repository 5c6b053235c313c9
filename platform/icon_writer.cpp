#include "platform/icon_writer.h"

#include <fcntl.h>

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <cerrno>
#include <cstring>

#include "platform/paths.h"
#include "platform/resource_fork.h"

namespace lumaro::platform {

namespace {

constexpr const char* kFinderInfo = "com.apple.FinderInfo";
constexpr const char* kResourceFork = "com.apple.ResourceFork";
constexpr const char* kIconFile = "Icon\r";
constexpr std::size_t kFinderInfoSize = 32;
constexpr std::uint64_t kMaxForkRead = 16777216;

// An 8-bit RGBA PNG (colour type 6) of the image at `size` x `size`, at the highest compression.
Bytes renderPng(const QImage& image, int size) {
    QImage rendition = image.width() == size && image.height() == size
                           ? image
                           : image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    rendition = rendition.convertToFormat(QImage::Format_ARGB32);
    // A fresh image carries no text or colour-space metadata from the source file, so the
    // output depends on the pixels alone.
    QImage clean(size, size, QImage::Format_ARGB32);
    for (int y = 0; y < size; ++y) {
        std::memcpy(clean.scanLine(y), rendition.constScanLine(y), static_cast<std::size_t>(size) * 4);
    }
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    writer.setQuality(0);  // the highest zlib compression
    if (!writer.write(clean)) {
        return {};
    }
    return Bytes(encoded.begin(), encoded.end());
}

void put32(Bytes& b, std::uint64_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        b.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

// The current attribute value, bounded; nothing when absent. Errors other than a missing
// attribute are returned.
int readAttribute(FileSystem& fs, const std::string& path, const char* name, std::optional<Bytes>& out) {
    out.reset();
    std::size_t size = 0;
    int err = fs.getAttribute(path, name, nullptr, 0, size);
    if (err == ENODATA) {
        return 0;
    }
    if (err != 0) {
        return err;
    }
    if (size > kMaxForkRead) {
        return EFBIG;
    }
    Bytes value(size + 1);
    std::size_t length = 0;
    err = fs.getAttribute(path, name, value.data(), value.size(), length);
    if (err != 0) {
        return err;
    }
    value.resize(length);
    out = std::move(value);
    return 0;
}

// The item's Finder information with the custom-icon flag set; 32 zero bytes stand in for a
// missing value, and a value of any other length is refused.
int flaggedFinderInfo(FileSystem& fs, const std::string& path, Bytes& out) {
    std::optional<Bytes> finder;
    const int err = readAttribute(fs, path, kFinderInfo, finder);
    if (err != 0) {
        return err;
    }
    out = finder.value_or(Bytes(kFinderInfoSize, 0));
    if (out.size() != kFinderInfoSize) {
        return EINVAL;
    }
    out[8] |= 0x04;
    return 0;
}

}  // namespace

Bytes makeIconFamily(const char elementType[4], const Bytes& png) {
    Bytes family = {'i', 'c', 'n', 's'};
    put32(family, 16 + png.size());
    family.insert(family.end(), elementType, elementType + 4);
    put32(family, 8 + png.size());
    family.insert(family.end(), png.begin(), png.end());
    return family;
}

IconWriter::IconWriter(const QImage& image) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) {
        return;
    }
    const Bytes png128 = renderPng(image, 128);
    const Bytes png64 = renderPng(image, 64);
    if (png128.empty() || png64.empty()) {
        return;
    }
    family128_ = makeIconFamily("ic07", png128);
    family64_ = makeIconFamily("ic11", png64);
}

Bytes IconWriter::forkWithIcon(const std::optional<Bytes>& existing, const Bytes& family) {
    std::vector<Resource> resources;
    if (existing) {
        if (auto parsed = parseResourceFork(*existing)) {
            resources = std::move(*parsed);
        }
    }
    Resource icon;
    icon.type = {'i', 'c', 'n', 's'};
    icon.id = kCustomIconResourceId;
    icon.data = family;
    bool replaced = false;
    for (Resource& resource : resources) {
        if (resource.type == icon.type && resource.id == icon.id) {
            resource.data = icon.data;
            replaced = true;
        }
    }
    if (!replaced) {
        resources.push_back(std::move(icon));
    }
    auto fork = buildResourceFork(resources);
    if (!fork || fork->size() > kIconForkBudget) {
        return {};
    }
    return std::move(*fork);
}

int IconWriter::writeIcon(FileSystem& fs, const std::string& target) const {
    std::optional<Bytes> existing;
    int err = readAttribute(fs, target, kResourceFork, existing);
    if (err != 0) {
        return err;
    }
    Bytes fork = forkWithIcon(existing, family128_);
    if (fork.empty()) {
        fork = forkWithIcon(existing, family64_);
    }
    if (fork.empty()) {
        return EFBIG;
    }
    return fs.setAttribute(target, kResourceFork, fork.data(), fork.size());
}

int IconWriter::setIcon(FileSystem& fs, const std::string& path) const {
    if (!valid()) {
        return EINVAL;
    }
    FileStatus st;
    int err = fs.lstat(path, st);
    if (err != 0) {
        return err;
    }
    if (!st.isRegular() && !st.isDirectory()) {
        return st.type() == 0120000 ? ELOOP : EINVAL;
    }
    // Everything is checked before anything is written.
    Bytes finder;
    err = flaggedFinderInfo(fs, path, finder);
    if (err != 0) {
        return err;
    }
    if (st.isRegular()) {
        err = writeIcon(fs, path);
        return err != 0 ? err : fs.setAttribute(path, kFinderInfo, finder.data(), finder.size());
    }
    const std::string iconFile = appendPathComponent(path, kIconFile);
    FileStatus iconStatus;
    err = fs.lstat(iconFile, iconStatus);
    if (err == 0) {
        if (!iconStatus.isRegular() || iconStatus.linkCount != 1) {
            return EINVAL;
        }
    } else if (err == ENOENT) {
        Descriptor fd;
        err = openDescriptor(fs, iconFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK, 0644, fd);
        if (err == 0) {
            err = fs.fchmod(fd.get(), 0644);
        }
        if (err == 0) {
            err = fd.close();
        }
        if (err != 0) {
            return err;
        }
    } else {
        return err;
    }
    err = writeIcon(fs, iconFile);
    if (err != 0) {
        return err;
    }
    Bytes invisible(kFinderInfoSize, 0);
    invisible[8] = 0x40;
    err = fs.setAttribute(iconFile, kFinderInfo, invisible.data(), invisible.size());
    return err != 0 ? err : fs.setAttribute(path, kFinderInfo, finder.data(), finder.size());
}

}  // namespace lumaro::platform
