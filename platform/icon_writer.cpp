#include "platform/icon_writer.h"

#include <fcntl.h>

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <cerrno>
#include <cstring>

#include "platform/file_ops.h"
#include "platform/paths.h"
#include "platform/resource_fork.h"

namespace lumaro::platform {

namespace {

constexpr const char* kFinderInfo = kFinderInfoAttribute;
constexpr const char* kResourceFork = kResourceForkAttribute;
constexpr const char* kIconFile = kIconFileName;

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

// The object's Finder information with the custom-icon flag set; 32 zero bytes stand in for a
// missing value, and a value of any other length is refused.
int flaggedFinderInfo(FileSystem& fs, int fd, Bytes& out) {
    std::optional<Bytes> finder;
    const int err = readAttribute(fs, fd, kFinderInfo, finder);
    if (err != 0) {
        return err;
    }
    out = finder.value_or(Bytes(kFinderInfoSize, 0));
    if (out.size() != kFinderInfoSize) {
        return EINVAL;
    }
    out[kCustomIconFlagByte] |= kCustomIconFlag;
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

int IconWriter::writeIcon(FileSystem& fs, int fd) const {
    std::optional<Bytes> existing;
    int err = readAttribute(fs, fd, kResourceFork, existing);
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
    return fs.fsetAttribute(fd, kResourceFork, fork.data(), fork.size());
}

int IconWriter::writeFolderIconFile(const ItemHandle& folder) const {
    if (!valid()) {
        return EINVAL;
    }
    if (!folder.isDirectory()) {
        return ENOTDIR;
    }
    FileSystem& fs = folder.fs();
    Descriptor fd;
    int err = folder.openChild(kIconFile, O_RDONLY, 0, fd);
    if (err == ENOENT) {
        err = folder.openChild(kIconFile, O_WRONLY | O_CREAT | O_EXCL, 0644, fd);
        if (err == 0) {
            err = fs.fchmod(fd.get(), 0644);
        }
    }
    if (err != 0) {
        return err;
    }
    FileStatus st;
    err = fs.fstat(fd.get(), st);
    if (err != 0) {
        return err;
    }
    if (!st.isRegular() || st.linkCount != 1) {
        return EINVAL;
    }
    err = writeIcon(fs, fd.get());
    if (err != 0) {
        return err;
    }
    Bytes invisible(kFinderInfoSize, 0);
    invisible[8] = 0x40;
    err = fs.fsetAttribute(fd.get(), kFinderInfo, invisible.data(), invisible.size());
    return err != 0 ? err : fd.close();
}

int IconWriter::markCustomIcon(const ItemHandle& item) const {
    if (!valid()) {
        return EINVAL;
    }
    FileSystem& fs = item.fs();
    // Everything is checked before anything is written.
    Bytes finder;
    int err = flaggedFinderInfo(fs, item.fd(), finder);
    if (err != 0) {
        return err;
    }
    if (!item.isDirectory()) {
        err = writeIcon(fs, item.fd());
        if (err != 0) {
            return err;
        }
    }
    return fs.fsetAttribute(item.fd(), kFinderInfo, finder.data(), finder.size());
}

int IconWriter::setIcon(const ItemHandle& item) const {
    if (item.isDirectory()) {
        if (const int err = writeFolderIconFile(item); err != 0) {
            return err;
        }
    }
    return markCustomIcon(item);
}

}  // namespace lumaro::platform
