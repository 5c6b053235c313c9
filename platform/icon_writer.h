// Writes a custom icon the way macOS stores one, so the same bytes mean a custom icon to a Mac:
// an "icns" resource (ID -16455) in the item's resource fork, and the custom-icon flag in its
// Finder information. A folder's icon lives on the hidden file "Icon\r" inside it.
#pragma once

#include <optional>
#include <string>

#include "platform/file_ops.h"
#include "platform/file_system.h"
#include "platform/item_handle.h"

class QImage;

namespace lumaro::platform {

// The largest resource fork the writer produces: with the Finder information it stays inside
// the single 4 KiB attribute block ext4 gives a file.
inline constexpr std::size_t kIconForkBudget = 3500;
// The Mac form's names and sizes, shared by the writer and the records.
inline constexpr const char* kFinderInfoAttribute = "com.apple.FinderInfo";
inline constexpr const char* kResourceForkAttribute = "com.apple.ResourceFork";
inline constexpr const char* kIconFileName = "Icon\r";
inline constexpr std::size_t kFinderInfoSize = 32;
inline constexpr std::size_t kCustomIconFlagByte = 8;
inline constexpr std::uint8_t kCustomIconFlag = 0x04;
inline constexpr std::int16_t kCustomIconResourceId = -16455;

class IconWriter {
  public:
    // Renders the icon family once. An image that is null or has no pixels gives a writer that
    // is not valid().
    explicit IconWriter(const QImage& image);

    bool valid() const { return !family128_.empty(); }

    // The icon families: one "ic07" (128 x 128) or "ic11" (64 x 64) element holding an 8-bit RGBA
    // PNG at the highest compression. The same image always gives the same bytes.
    const Bytes& family128() const { return family128_; }
    const Bytes& family64() const { return family64_; }

    // Each call works through the open item only and returns 0 or the errno of the failing step
    // (EFBIG when no rendition fits the budget).
    //
    // A folder's "Icon\r" (created with mode 0644 when missing; anything but a regular file with
    // one link is refused with EINVAL) gets the icon in its resource fork and the invisible flag.
    int writeFolderIconFile(const ItemHandle& folder) const;
    // The item gets the custom-icon flag, and a file the icon in its resource fork first. A folder
    // shows it only once its "Icon\r" holds the icon.
    int markCustomIcon(const ItemHandle& item) const;
    // Both, in that order.
    int setIcon(const ItemHandle& item) const;

    // The resource fork `existing` becomes once it carries `family` (kept resources, if
    // `existing` parses, plus the icon); empty when it does not fit the budget.
    static Bytes forkWithIcon(const std::optional<Bytes>& existing, const Bytes& family);

  private:
    int writeIcon(FileSystem& fs, int fd) const;

    Bytes family128_;
    Bytes family64_;
};

// The "icns" family of one PNG element.
Bytes makeIconFamily(const char elementType[4], const Bytes& png);

}  // namespace lumaro::platform
